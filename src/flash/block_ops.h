// Steps shared by the image blocks and the partition table block: the bad
// block check, the erase before programming, and a positioned write (or
// read) that either lands whole or fails.
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

// Why program_at failed. Only an EIO from the write is the chip's own
// report that the program failed; the other failures say nothing about the
// block.
enum ProgramFault {
    kSeekFailed,   // the lseek to the block failed
    kWriteFailed,  // a write failed with an error other than EIO, or made no progress
    kChipFailed,   // a write failed with EIO
};

// Seeks to `offset` and writes all `size` bytes, carrying on after short
// counts and retrying interrupted writes. Returns `size`, or -1 with `fault`
// saying what failed.
long program_at(MtdDevice& device, uint64_t offset, const uint8_t* data, size_t size, ProgramFault& fault);

// Prints the "Write failed at ..., skipping..." line of a block whose
// program failed and that the caller passes over.
void report_write_failed(uint64_t offset);

// Seeks to `offset` and reads `size` bytes, carrying on after short counts
// and retrying interrupted reads: 0, or -1 when the seek or a read fails or
// the device ends first.
int read_at(MtdDevice& device, uint64_t offset, uint8_t* into, size_t size);
