// Block allocator and writer: image blocks go into the non-Filesystem
// partition from its top downward, one whole erase block per write, skipping
// blocks that are bad. A block whose erase or program fails with EIO, or
// that does not read back, is marked bad and passed over; the image block
// goes into the next good block. Blocks 0 and 1 are never written.
#pragma once

#include <cstdint>

#include "device/mtd_device.h"
#include "flash/old_partition_table.h"
#include "flash/write_context.h"

// Number of the next candidate erase block; only ever counts down.
using AllocatorCursor = uint16_t;

// Sets the cursor to nonfs_bytes / erasesize (0 when erasesize is 0).
// Returns the cursor, or -1 with a message when the partition holds more
// blocks than the 16-bit cursor can count.
int init_cursor(uint32_t nonfs_bytes, uint32_t erasesize, AllocatorCursor& cursor);

// Erases and writes `buffer` (exactly erasesize bytes) into the next good
// block below the cursor, and reads it back when `context` verifies.
// Returns that block's number (never 0 or 1), or -1 after a message when an
// erase or write failed other than with EIO, a read-back could not read, no
// good block is left, or the run's marks are used up. With `old_table`
// pending, the old partition table is invalidated just before the first
// erase, once a good block has been found (see old_partition_table.h: that
// step also refuses a device with no good block for the partition table).
int write_next_block(MtdDevice& device, WriteContext& context, uint32_t erasesize, AllocatorCursor& cursor,
                     const uint8_t* buffer, OldPartitionTable* old_table = nullptr);
