// What one install carries from block to block about the blocks it writes:
// whether each is read back, and how many worn blocks it has met so far.
// One record per run, passed explicitly to every phase that writes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct WriteContext {
    bool verify = false;                  // read every block back after writing it
    std::unique_ptr<uint8_t[]> readback;  // one erase block, when verifying
    bool ecc_unanswered = false;          // the device refused ECCGETSTATS once: no longer asked
    int marks_tried = 0;                  // MEMSETBADBLOCK requests so far, failed ones included
    std::vector<uint64_t> marked;         // offsets of the blocks this run marked bad
    uint32_t corrected_blocks = 0;        // blocks read back with corrected bitflips
};
