// The partition table block: what the boot loader reads to find the image.
// One page at the start of the first good erase block from 3.5 MiB up: the
// magic, two tags and the block table, then 0xFF; the rest of the block
// erased. Both the installer and drimlet-inspect use this one description.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/mtd_device.h"

constexpr int kTableEntries = 466;
constexpr size_t kBlockTableBytes = 936;
constexpr uint64_t kPartitionTableSearchStart = 0x380000;
constexpr size_t kPartitionTablePayloadBytes = 960;  // magic, two tags, block table
constexpr size_t kPartitionTableMagicBytes = 16;

// Stored unchanged in the partition table page: the leading word 64, then
// one 16-bit device block number per image block, zero after the last.
struct BlockTable {
    uint32_t leading_word = 64;
    uint16_t entries[kTableEntries] = {};
    uint32_t table_count = 0;  // entries filled so far
};

// True when device block `block` holds an image block.
bool table_holds_block(const BlockTable& table, uint32_t block);

// Size of the page written: the write size, or its smallest multiple that
// holds the 960 payload bytes on small-page flash (a write size of 0 counts
// as 1).
size_t partition_table_page_size(uint32_t writesize);

// Offset where the search for the partition table block begins: 3.5 MiB,
// rounded up to a whole erase block so erases and writes stay aligned.
uint64_t partition_table_search_start(uint32_t erasesize);

// Fills `page` (partition_table_page_size bytes): payload, then 0xFF.
void encode_partition_table_page(const BlockTable& table, uint8_t* page, size_t page_size);

// True when `bytes` (at least 16) begin with the partition table magic.
bool has_partition_table_magic(const uint8_t* bytes);

// Reads a page back: 0 with `table` holding the entries up to the first
// zero, or -1 with `problem` naming what is wrong ("no magic", "bad leading
// word", "bad tags").
int decode_partition_table_page(const uint8_t* page, size_t page_size, BlockTable& table,
                                const char*& problem);

// The block the loader would read: the first erase block at or above the
// search start whose bad-block query answers 0, below `device_size`. Its
// offset, or -1 when there is none. Prints nothing: callers that report
// skipped blocks walk the blocks themselves.
int64_t find_partition_table_block(MtdDevice& device, uint64_t device_size, uint32_t erasesize);
