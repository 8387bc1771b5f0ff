#include "flash/config_block.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>

#include "common/messages.h"
#include "flash/block_ops.h"
#include "flash/old_partition_table.h"
#include "flash/read_back.h"
#include "flash/retire_block.h"

namespace {
const char kNoSpace[] = "Not enough space/too many bad blocks\n";
const char kOverlapFormat[] = "Image overlaps partition table block at %08lx!\n";
const char kOutOfMemory[] = "Out of memory!\n";
const char kWriteFailed[] = "Write of partition table failed\n";
const char kWritten[] = "Partition table written...\n";

// Erases the block at `offset`, writes the partition table page there and
// reads the block back when the run verifies. 0 when the block holds the
// table; 1 when it failed and is now marked bad, so the next good block is
// the loader's; -1 after the message when the run stops.
int place_table(MtdDevice& device, WriteContext& context, uint64_t offset, uint32_t erasesize,
                const uint8_t* page, size_t page_size) {
    const uint32_t at = static_cast<uint32_t>(offset);
    const int erased = erase_block(device, at, erasesize);
    if (erased < 0) return -1;
    const bool programmed = erased == 0;
    if (programmed) {
        ProgramFault fault;
        int error;
        if (program_at(device, offset, page, page_size, fault, error) < 0) {
            if (fault != kChipFailed) {
                print_fixed(kWriteFailed);
                report_reason(error);
                // Part of a page of several write units may be on the flash.
                if (fault == kRequestFailed) erase_again(device, at, erasesize);
                return -1;
            }
            report_write_failed(offset);
        } else if (!context.verify) {
            return 0;
        } else {
            const int checked = read_back(device, context, offset, page, page_size, erasesize);
            if (checked == 0) return 0;
            if (checked < 0) {
                // A table nobody read back is no complete install.
                erase_again(device, at, erasesize);
                return -1;
            }
        }
    }
    // The loader reads the first block from 3.5 MiB up that is not marked
    // bad: passed over unmarked, this block would still be the one it reads.
    if (retire_block(device, context, offset) == 1) return 1;
    // Unmarked, it must at least not offer the loader a page that did not
    // write or read back whole.
    if (programmed) erase_again(device, at, erasesize);
    return -1;
}
}  // namespace

bool table_page_fits(uint32_t writesize, uint32_t erasesize) {
    return partition_table_page_size(writesize) <= erasesize;
}

void report_no_table_block() { print_fixed(kNoSpace); }

int write_config_block(MtdDevice& device, WriteContext& context, const mtd_info_user& geometry,
                       uint64_t search_end, const BlockTable& table) {
    const uint32_t erasesize = geometry.erasesize;
    const size_t page_size = partition_table_page_size(geometry.writesize);
    std::unique_ptr<uint8_t[]> page(new (std::nothrow) uint8_t[page_size]);
    if (!page) {
        print_fixed(kOutOfMemory);
        return -1;
    }
    encode_partition_table_page(table, page.get(), page_size);

    const bool page_fits = table_page_fits(geometry.writesize, erasesize);
    for (uint64_t offset = partition_table_search_start(erasesize); page_fits && offset < search_end;
         offset += erasesize) {
        const bool in_image = table_holds_block(table, static_cast<uint32_t>(offset / erasesize));
        const int bad = mtd_block_is_bad(device, offset);
        const int query_error = errno;
        if (bad < 0 && !in_image && !marked_this_run(context, offset)) {
            if (retire_unanswered_block(device, context, offset, erasesize, query_error) < 0) return -1;
            continue;
        }
        if (bad != 0) {
            report_bad_block(offset);
            continue;
        }
        if (in_image) {
            // Erasing it would destroy an image block the table points to.
            print_message(kOverlapFormat, static_cast<unsigned long>(offset));
            return -1;
        }
        const int placed = place_table(device, context, offset, erasesize, page.get(), page_size);
        if (placed < 0) return -1;
        if (placed == 1) continue;
        print_fixed(kWritten);
        return 0;
    }
    report_no_table_block();
    return -1;
}
