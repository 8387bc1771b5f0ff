#include "flash/block_writer.h"

#include <cstdio>

#include "common/messages.h"
#include "flash/block_ops.h"
#include "flash/read_back.h"
#include "flash/retire_block.h"

namespace {
const char kPartitionTooLarge[] = "Non-Filesystem partition too large!\n";
const char kWriteFailed[] = "Write erase block failed\n";
const char kNoGoodBlock[] = "No good block left in the non-Filesystem partition!\n";

// Erases the block at `offset`, programs `buffer` into it and reads it back
// when the run verifies. 0 when the block holds the image block; 1 when the
// block wore out (its message printed, a mark tried) and the image block
// goes to the next candidate; -1 after the message when the run stops.
int place_block(MtdDevice& device, WriteContext& context, uint32_t offset, uint32_t erasesize,
                const uint8_t* buffer) {
    const int erased = erase_block(device, offset, erasesize);
    if (erased < 0) return -1;
    if (erased == 0) {
        ProgramFault fault;
        int error;
        if (program_at(device, offset, buffer, erasesize, fault, error) < 0) {
            // Only the chip's own report of a failed program says the block
            // is worn; anything else would fail the same way on the next one.
            if (fault != kChipFailed) {
                print_fixed(kWriteFailed);
                report_reason(error);
                // Part of the block may be programmed already.
                if (fault == kRequestFailed) erase_again(device, offset, erasesize);
                return -1;
            }
            report_write_failed(offset);
        } else if (!context.verify) {
            return 0;
        } else {
            const int checked = read_back(device, context, offset, buffer, erasesize, erasesize);
            if (checked <= 0) return checked;
        }
    }
    // A mark that fails does not stop the install: the partition table
    // names the blocks, so the loader never needs the mark.
    const int retired = retire_block(device, context, offset);
    if (retired == 1) return 1;
    // Unmarked, a block that took part of a program keeps what did not
    // verify; from 3.5 MiB up the loader may read it, and an image block
    // that begins with the partition table magic would pass for a table.
    // Erased, it holds nothing anyone can mistake.
    if (retired < 0) {
        if (erased == 0) erase_again(device, offset, erasesize);
        return -1;
    }
    // An erase the chip fails leaves it as it is; any other failure stops.
    if (erased == 0 && erase_block(device, offset, erasesize) < 0) return -1;
    return 1;
}
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

int write_next_block(MtdDevice& device, WriteContext& context, uint32_t erasesize, AllocatorCursor& cursor,
                     const uint8_t* buffer, OldPartitionTable* old_table) {
    while (cursor != 0) {
        AllocatorCursor candidate = cursor--;
        uint32_t offset = static_cast<uint32_t>(candidate) * erasesize;
        if (check_block_good(device, offset) != 0) continue;
        // Block 1 is examined but never written: the boot loader lives below.
        if (cursor == 0) break;
        if (old_table && old_table->pending) {
            old_table->pending = false;
            if (invalidate_old_partition_table(device, context, *old_table, erasesize) < 0) return -1;
            // The invalidation may have marked this very block (a partition
            // reaching into the search window): it is never programmed.
            if (marked_this_run(context, offset)) {
                report_bad_block(offset);
                continue;
            }
        }
        const int placed = place_block(device, context, offset, erasesize, buffer);
        if (placed < 0) return -1;
        if (placed == 0) return candidate;
    }
    print_fixed(kNoGoodBlock);
    return -1;
}
