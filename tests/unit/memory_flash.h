// An in-memory NAND behind the MTD device requests, for in-process tests:
// it enforces erase-before-program and alignment like the chip, answers with
// the errnos the kernel gives, records every request, and can be told to
// fail any of them. A block marked bad stays in `bad_blocks`.
#pragma once

#include <mtd/mtd-user.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/mtd_device.h"

// One request as the flash answered it.
struct FlashRequest {
    enum Kind : uint8_t { kQuery, kUnlock, kErase, kSeek, kWrite, kRead, kMark, kLock };
    Kind kind;
    uint64_t offset;  // bytes; the block's first byte for a query, an erase or a mark
    uint64_t length;  // bytes asked for
    long result;      // as returned: a count, 0/1, or -1
    int error;        // errno when result is -1
    // A read, in a block programmed since its last erase, that raised the
    // uncorrectable count, or that met a byte that did not hold.
    bool uncorrectable;
    bool wrong_bytes;
};

// A corrupt write: the first program into the block after an erase leaves
// the bit `mask` at `offset` within the block wrong. Inside the bytes
// programmed, the bit does not hold; elsewhere in the block it is a stray
// bit programmed into erased cells, as a disturbed program leaves one.
struct CorruptCell {
    uint32_t offset = 0;
    uint8_t mask = 0x01;
};

struct MemoryFlash {
    mtd_info_user info{};
    std::vector<uint8_t> bytes;  // the cells; may be longer than the chip (info.size)
    std::set<uint32_t> bad_blocks, fail_query, fail_erase, fail_write, fail_read;
    int erase_error = EIO;             // errno of an erase in fail_erase (a bad block's is EIO)
    int write_error = EIO;             // errno of a write in fail_write
    int read_error = EIO;              // errno of a read that starts in fail_read
    std::set<uint32_t> fail_mark;      // MEMSETBADBLOCK fails with EIO
    bool cannot_mark = false;          // MEMSETBADBLOCK fails with EOPNOTSUPP, as on NOR
    std::set<uint32_t> corrupt_write;  // a write succeeds but one bit in the block does not hold
    CorruptCell corrupt_cell;          // where, in each of those blocks
    std::set<uint32_t> ecc_fail;       // reads count an uncorrectable ECC error
    bool ecc_once = false;             // ... only the first read after each program (or ever)
    std::set<uint32_t> bitflips;       // reads count a corrected bitflip
    mtd_ecc_stats ecc{};               // what ECCGETSTATS answers
    bool fail_info = false;
    bool fail_seek = false;
    bool locked_elsewhere = false;  // another process holds the device's lock
    int eintr_writes = 0;           // the next n writes fail with EINTR
    size_t short_write = 0;         // when nonzero, each write takes at most this many bytes
    bool zero_write = false;        // writes make no progress
    std::vector<std::string> log;   // one line per request, while log_lines is on
    bool log_lines = true;          // off: only `requests`, which costs no formatting
    std::vector<FlashRequest> requests;
    int violations = 0;  // programs of pages that were not erased, bad writes
    uint64_t position = 0;

    // Per block, whether a write reached it since its last erase, and
    // whether it was read since its last write or erase.
    std::vector<bool> programmed, read_since;
    // A corrupt block's wrong cell, from its first program after an erase
    // until the next erase: where it is and what the installer's writes
    // would have left there.
    struct WrongCell {
        uint64_t at;
        uint8_t intended;
    };
    std::map<uint32_t, WrongCell> wrong_cells;
};

constexpr const char* kMemoryFlashPath = "/dev/mtd-memory";

// Gives `flash` its geometry: size, erase size and write size in bytes,
// contents erased.
void attach_memory_flash(MemoryFlash& flash, uint32_t size, uint32_t erasesize, uint32_t writesize);

// The same over cells the caller keeps erased: `bytes` must hold at least
// `size` bytes, each 0xFF. Only the geometry and the per-block state change,
// so a caller that runs many installs pays nothing for the chip's size.
void reattach_memory_flash(MemoryFlash& flash, uint32_t size, uint32_t erasesize, uint32_t writesize);

// A device, already open, whose requests go to `flash`; opening it again
// succeeds only for kMemoryFlashPath.
MtdDevice memory_flash_device(MemoryFlash& flash);
