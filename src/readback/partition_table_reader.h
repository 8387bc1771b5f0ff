// Finds and reads the partition table block the way the loader does: the
// first good erase block from 3.5 MiB up, carrying the magic and both tags.
#pragma once

#include <cstdint>
#include <vector>

#include "image/block_assembler.h"

struct FoundTable {
    uint64_t offset = 0;        // of the partition table block
    std::vector<uint8_t> page;  // as read from the flash
    BlockTable table;           // entries up to the first zero
};

// Opens `flash_path` (MTD device or dump), then searches. 0, or -1 after a
// message saying what is missing.
int open_flash(const char* flash_path);
int find_partition_table(FoundTable& found);
