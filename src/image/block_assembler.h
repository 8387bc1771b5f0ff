// Erase-block assembler: lays the image's records into erase blocks at the
// place their addresses give, relative to the image start address, writes
// each completed block through the allocator, and notes in the block table
// which device block holds each image block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/bin_reader.h"

struct FlashRun;

constexpr int kTableEntries = 466;
constexpr size_t kBlockTableBytes = 936;

// Stored unchanged in the partition table block: the leading word 64, then
// one 16-bit device block number per image block, zero after the last.
struct BlockTable {
    uint32_t leading_word = 64;
    uint16_t entries[kTableEntries] = {};
    uint32_t table_count = 0;  // entries filled so far
};

// The table's 936 on-flash bytes, little-endian, into `out`.
void encode_block_table(const BlockTable& table, uint8_t* out);

// True when device block `block` holds an image block.
bool table_holds_block(const BlockTable& table, uint32_t block);

// Takes each completed image block (erasesize bytes) and returns the device
// block number it went to, or -1 to stop the run (after its own message).
struct BlockSink {
    int (*put)(void* context, const uint8_t* block);
    void* context;
};

// Lays the records from the first record header to the end record into
// image blocks and hands each to `sink`, noting the numbers in `table`.
// Returns the number of image blocks, or -1 after the failing step's message.
int assemble_image(FlashRun& run, const BinImageHeader& header, BlockTable& table, BlockSink sink);

// assemble_image with every block written through the allocator, then the
// "Image written" line. Returns the number of image blocks written, or
// -1 after the failing step has printed its message (if it has one).
int stream_image(FlashRun& run, const BinImageHeader& header, BlockTable& table);
