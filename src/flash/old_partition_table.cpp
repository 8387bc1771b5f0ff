#include "flash/old_partition_table.h"

#include <cerrno>

#include "common/messages.h"
#include "flash/block_ops.h"
#include "flash/config_block.h"
#include "flash/read_back.h"
#include "flash/retire_block.h"
#include "table/partition_table.h"

namespace {
const char kQueryFailedFormat[] = "Bad block query failed at %08lx\n";
}  // namespace

bool may_hold_table(MtdDevice& device, WriteContext& context, uint64_t offset) {
    uint8_t head[kPartitionTableMagicBytes];
    EccEvents events;
    if (read_counted(device, context, offset, head, sizeof head, events) != 0) return true;
    return events.uncorrectable || has_partition_table_magic(head);
}

int retire_unanswered_block(MtdDevice& device, WriteContext& context, uint64_t offset, uint32_t erasesize,
                            int error) {
    print_message(kQueryFailedFormat, static_cast<unsigned long>(offset));
    report_reason(error);
    // A block that failed to erase (EIO) is marked all the same: the mark is
    // what keeps the loader away from it.
    if (may_hold_table(device, context, offset) &&
        erase_block(device, static_cast<uint32_t>(offset), erasesize) < 0)
        return -1;
    return retire_block(device, context, offset) == 1 ? 1 : -1;
}

int invalidate_old_partition_table(MtdDevice& device, WriteContext& context,
                                   const OldPartitionTable& old_table, uint32_t erasesize) {
    if (!table_page_fits(old_table.writesize, erasesize)) {
        report_no_table_block();
        return -1;
    }
    for (uint64_t offset = partition_table_search_start(erasesize); offset < old_table.search_end;
         offset += erasesize) {
        const int bad = mtd_block_is_bad(device, offset);
        const int query_error = errno;
        if (bad > 0) continue;
        if (bad < 0) {
            if (retire_unanswered_block(device, context, offset, erasesize, query_error) < 0) return -1;
            continue;
        }
        if (!may_hold_table(device, context, offset)) return 0;
        const int erased = erase_block(device, static_cast<uint32_t>(offset), erasesize);
        if (erased == 0) return 1;
        // The loader would go on reading the old table from a block that
        // failed to erase: only a mark moves it on to the next good block,
        // which is looked at in turn.
        if (erased < 0 || retire_block(device, context, offset) != 1) return -1;
    }
    report_no_table_block();
    return -1;
}
