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
    uint32_t writesize = 0;   // the run's, for the size of the table page
};

// Whether the block at `offset` may hold a partition table the loader
// would read: its first 16 bytes are the magic, cannot be read, or read
// with an uncorrectable ECC error (what drimlet cannot read, the loader may
// still decode as a table).
bool may_hold_table(MtdDevice& device, WriteContext& context, uint64_t offset);

// A block of the partition table search window whose bad-block query
// failed with `error`: the loader, asking for itself, may still read it.
// Prints the "Bad block query failed" line with the reason, erases the
// block when it may hold a table, then marks it bad so the loader passes
// over it. 1 when marked; -1 after the message when the erase stopped the
// run, the mark failed or the run's marks are used up.
int retire_unanswered_block(MtdDevice& device, WriteContext& context, uint64_t offset, uint32_t erasesize,
                            int error);

// Walks the search window to the block the loader would read (no "Bad
// block" lines: the partition table phase prints those), treating a block
// whose query fails as above. When the loader's block may hold a table, it
// is erased; an erase that fails with EIO prints the "Erase failed" line and
// marks the block bad, and the next good block is then the loader's and is
// looked at the same way. Returns 1 when a partition table was erased, 0
// when there was none, -1 after the message when the run must stop, before
// any image block is touched: an erase failed otherwise than with EIO, a
// mark failed or the run's marks are used up, or the device has no good
// block for the partition table (or its page is larger than an erase
// block), which the partition table phase would only find after every
// image block was written.
int invalidate_old_partition_table(MtdDevice& device, WriteContext& context,
                                   const OldPartitionTable& old_table, uint32_t erasesize);
