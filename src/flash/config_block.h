// The partition table block: the first good erase block from 3.5 MiB up,
// holding one page with the magic, two tags and the block table, by which the
// boot loader finds every image block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct BlockTable;
struct FlashRun;

constexpr uint64_t kConfigSearchStart = 0x380000;
constexpr size_t kConfigPayloadBytes = 960;  // magic, two tags, block table

// Size of the page written: the write size, or its smallest multiple that
// holds the 960 payload bytes on small-page flash (a write size of 0 counts
// as 1).
size_t config_page_size(uint32_t writesize);

// Offset where the search for the partition table block begins: 3.5 MiB,
// rounded up to a whole erase block so erases and writes stay aligned.
uint64_t config_search_start(uint32_t erasesize);

// Fills `page` (config_page_size bytes): payload, then 0xFF.
void build_config_page(const BlockTable& table, uint8_t* page, size_t page_size);

// Finds, erases and writes the partition table block. 0 on success (after
// the "Partition table written" line), -1 after printing why not.
int write_config_block(FlashRun& run, const BlockTable& table);
