// An in-memory NAND behind the MTD device requests, for in-process tests:
// it enforces erase-before-program and alignment like the chip, records every
// request, and can be told to fail any of them. A block marked bad stays in
// `bad_blocks`.
#pragma once

#include <mtd/mtd-user.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "device/mtd_device.h"

struct MemoryFlash {
    mtd_info_user info{};
    std::vector<uint8_t> bytes;
    std::set<uint32_t> bad_blocks, fail_query, fail_erase, fail_write;
    std::set<uint32_t> fail_mark;      // MEMSETBADBLOCK fails with EIO
    bool cannot_mark = false;          // MEMSETBADBLOCK fails with EOPNOTSUPP, as on NOR
    std::set<uint32_t> corrupt_write;  // a write succeeds but one bit of it does not hold
    std::set<uint32_t> ecc_fail;       // reads count an uncorrectable ECC error
    std::set<uint32_t> bitflips;       // reads count a corrected bitflip
    mtd_ecc_stats ecc{};               // what ECCGETSTATS answers
    bool fail_info = false;
    bool fail_seek = false;
    bool locked_elsewhere = false;  // another process holds the device's lock
    int eintr_writes = 0;           // the next n writes fail with EINTR
    size_t short_write = 0;         // when nonzero, each write takes at most this many bytes
    bool zero_write = false;        // writes make no progress
    std::vector<std::string> log;   // one line per request
    int violations = 0;             // programs of pages that were not erased, bad writes
    uint64_t position = 0;
};

constexpr const char* kMemoryFlashPath = "/dev/mtd-memory";

// Gives `flash` its geometry: size, erase size and write size in bytes,
// contents erased.
void attach_memory_flash(MemoryFlash& flash, uint32_t size, uint32_t erasesize, uint32_t writesize);

// A device, already open, whose requests go to `flash`; opening it again
// succeeds only for kMemoryFlashPath.
MtdDevice memory_flash_device(MemoryFlash& flash);
