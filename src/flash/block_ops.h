// Steps shared by the image blocks and the partition table block: the bad
// block check, the erase before programming, and a positioned write (or
// read) that either lands whole or fails.
//
// Only the chip's own reports say a block is worn: an erase or a write that
// fails with EIO. Any other failure (EINVAL, ENOMEM, EFAULT, a seek that
// fails, a request that makes no progress) says nothing about the block and
// would fail the same way on the next one, so it stops the run, unmarked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/mtd_device.h"

// 0 when the block at `offset` may be used. Otherwise prints the "Bad block"
// line and returns -1: a failed query is as good as a bad answer, since
// programming a block nobody vouched for can destroy data.
int check_block_good(MtdDevice& device, uint64_t offset);

// Prints the "Bad block" line of a block passed over.
void report_bad_block(uint64_t offset);

// Prints why a request failed, on a line of its own under the line that says
// which request: the system's text for `error`, or "No progress" for 0 (a
// write or read that returned 0).
void report_reason(int error);

// Unlocks (result ignored: most NAND drivers do not support it) and erases
// one erase block. 0 when erased. 1 when the chip failed the erase (EIO):
// the block is unusable, since writing it would program flash that is not
// erased; prints the "Erase failed" line, and the caller marks it and moves
// on. -1 when the erase failed otherwise: prints the "Erase of block"
// line with the reason, and the run stops.
int erase_block(MtdDevice& device, uint32_t offset, uint32_t erasesize);

// The erase of a block that may hold part of a page that did not write or
// read back whole, so the loader finds no table there: 0, or -1 after the
// "Erase of block" line with the reason, whatever the error.
int erase_again(MtdDevice& device, uint32_t offset, uint32_t erasesize);

// Why program_at failed.
enum ProgramFault {
    kSeekFailed,     // the lseek to the block failed
    kRequestFailed,  // a write failed with an error other than EIO, or made no progress
    kChipFailed,     // a write failed with EIO: the chip's report that the program failed
};

// Seeks to `offset` and writes all `size` bytes, carrying on after short
// counts and retrying interrupted writes. Returns `size`, or -1 with `fault`
// saying what failed and `error` its errno (0 for a write that made no
// progress).
long program_at(MtdDevice& device, uint64_t offset, const uint8_t* data, size_t size, ProgramFault& fault,
                int& error);

// Prints the "Write failed at ..., skipping..." line of a block whose
// program failed and that the caller passes over.
void report_write_failed(uint64_t offset);

// Seeks to `offset` and reads `size` bytes, carrying on after short counts
// and retrying interrupted reads: 0, or -1 when the seek or a read fails or
// the device ends first, with errno saying why (0 when the device ended).
int read_at(MtdDevice& device, uint64_t offset, uint8_t* into, size_t size);
