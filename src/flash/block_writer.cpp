#include "flash/block_writer.h"

#include <cstdio>

#include "common/messages.h"
#include "flash/block_ops.h"

namespace {
const char kPartitionTooLarge[] = "Non-Filesystem partition too large!\n";
const char kWriteFailed[] = "Write erase block failed\n";
const char kNoGoodBlock[] = "No good block left in the non-Filesystem partition!\n";
}  // namespace

int init_cursor(uint32_t nonfs_bytes, uint32_t erasesize, AllocatorCursor& cursor) {
    uint32_t blocks = erasesize == 0 ? 0 : nonfs_bytes / erasesize;
    if (blocks > UINT16_MAX) {
        // A 16-bit cursor would wrap and start far below the partition's top.
        print_fixed(kPartitionTooLarge);
        return -1;
    }
    cursor = static_cast<AllocatorCursor>(blocks);
    return cursor;
}

int write_next_block(MtdDevice& device, uint32_t erasesize, AllocatorCursor& cursor, const uint8_t* buffer,
                     OldPartitionTable* old_table) {
    while (cursor != 0) {
        AllocatorCursor candidate = cursor--;
        uint32_t offset = static_cast<uint32_t>(candidate) * erasesize;
        if (check_block_good(device, offset) != 0) continue;
        // Block 1 is examined but never written: the boot loader lives below.
        if (cursor == 0) break;
        if (old_table && old_table->pending) {
            old_table->pending = false;
            invalidate_old_partition_table(device, old_table->search_end, erasesize);
        }
        if (erase_block(device, offset, erasesize) != 0) continue;
        if (program_at(device, offset, buffer, erasesize) < 0) {
            print_fixed(kWriteFailed);
            return -1;
        }
        return candidate;
    }
    print_fixed(kNoGoodBlock);
    return -1;
}
