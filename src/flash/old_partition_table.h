// Before an install erases its first image block, the partition table of an
// earlier install must go: otherwise a failed or interrupted install would
// leave the loader a table pointing at blocks that now hold a mix of two
// images. After any failure or power cut the flash then holds the old
// install intact, no partition table, or the complete new install.
#pragma once

#include <cstdint>

#include "device/mtd_device.h"

struct OldPartitionTable {
    bool pending = true;      // not yet looked for
    uint64_t search_end = 0;  // the partition table search stops below this offset
};

// Finds the block the loader would read (no "Bad block" lines: the
// partition table phase prints those), reads its first 16 bytes and, when
// they are the partition table magic, unlocks and erases the block. An
// erase that fails prints the "Erase failed" line; the install goes on. A
// read that fails, or a block without the magic, is left alone. Returns 1
// when a partition table was erased, 0 otherwise.
int invalidate_old_partition_table(MtdDevice& device, uint64_t search_end, uint32_t erasesize);
