#include "flash/old_partition_table.h"

#include "flash/block_ops.h"
#include "flash/retire_block.h"
#include "table/partition_table.h"

int invalidate_old_partition_table(MtdDevice& device, WriteContext& context, uint64_t search_end,
                                   uint32_t erasesize) {
    for (;;) {
        const int64_t offset = find_partition_table_block(device, search_end, erasesize);
        if (offset < 0) return 0;
        uint8_t head[kPartitionTableMagicBytes];
        // What drimlet cannot read, the loader may still read as a table.
        const bool unreadable = read_at(device, static_cast<uint64_t>(offset), head, sizeof head) != 0;
        if (!unreadable && !has_partition_table_magic(head)) return 0;
        if (erase_block(device, static_cast<uint32_t>(offset), erasesize) == 0) return 1;
        // The loader would go on reading the old table from a block that
        // failed to erase: only a mark moves it on to the next good block,
        // which is looked at in turn.
        if (retire_block(device, context, static_cast<uint64_t>(offset)) != 1) return -1;
    }
}
