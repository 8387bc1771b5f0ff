// check's answer to whether an image fits a non-Filesystem partition,
// worked out without a flash.
#pragma once

#include <cstdint>

// How the image would fit a non-Filesystem partition with no bad blocks:
// image block 0 goes to block top = nonfs / erase size, the next ones
// below it, down to block 2.
struct PartitionFit {
    uint32_t bytes = 0;
    uint64_t top = 0;
    uint64_t room = 0;  // image blocks that fit
    bool too_large = false;
    bool fits = false;
    uint64_t table_block = 0;  // where the partition table goes when no block is bad
    bool reaches_table = false;
};

PartitionFit fit_partition(uint32_t nonfs_bytes, uint32_t erasesize, uint64_t image_blocks);
