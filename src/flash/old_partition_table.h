// Before an install erases its first image block, the partition table of an
// earlier install must go: otherwise a failed or interrupted install would
// leave the loader a table pointing at blocks that now hold a mix of two
// images. After any failure or power cut the flash then holds the old
// install intact, no partition table, or the complete new install.
#pragma once

#include <cstdint>

#include "device/mtd_device.h"
#include "flash/write_context.h"

struct OldPartitionTable {
    bool pending = true;      // not yet looked for
    uint64_t search_end = 0;  // the partition table search stops below this offset
};

// Finds the block the loader would read (no "Bad block" lines: the
// partition table phase prints those), reads its first 16 bytes and, when
// they are the partition table magic or cannot be read, unlocks and erases
// the block. A block without the magic is left alone. An erase that fails
// prints the "Erase failed" line and marks the block bad; the next good
// block is then the loader's and is looked at the same way. Returns 1 when
// a partition table was erased, 0 when there was none, -1 after the message
// when a mark failed or the run's marks are used up: the run must stop,
// before any image block is touched.
int invalidate_old_partition_table(MtdDevice& device, WriteContext& context, uint64_t search_end,
                                   uint32_t erasesize);
