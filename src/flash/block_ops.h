// Steps shared by the image blocks and the partition table block: the bad
// block check, the erase before programming, and a positioned write that
// either lands whole or fails.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/mtd_device.h"

// 0 when the block at `offset` may be used. Otherwise prints the "Bad block"
// line and returns -1: a failed query is as good as a bad answer, since
// programming a block nobody vouched for can destroy data.
int check_block_good(MtdDevice& device, uint64_t offset);

// Unlocks (result ignored: most NAND drivers do not support it) and erases
// one erase block. A failed erase leaves the block unusable, because writing
// it would program flash that is not erased: prints the "Erase failed" line
// and returns -1 so the caller moves on to the next candidate.
int erase_block(MtdDevice& device, uint32_t offset, uint32_t erasesize);

// Seeks to `offset` and writes all `size` bytes, carrying on after short
// counts and retrying interrupted writes. Returns `size`, or -1 when the seek
// fails, a write fails, or a write makes no progress.
long program_at(MtdDevice& device, uint64_t offset, const uint8_t* data, size_t size);
