// One pass over every erase block of a flash: which blocks are bad, what
// the others hold (erased, the partition table the loader reads, image
// blocks that table lists, other data) and what ECC said while each was
// read. drimlet-inspect map draws it; the reading is kept apart from the
// drawing so the text and the JSON tell the same story.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inspect/inspect_flash.h"
#include "table/partition_table.h"

// What the map shows for a block, in the order the characters are tried:
// a bad block is never read; a block whose read failed says nothing about
// its contents; corrected bitflips stand in for an image block or other
// data, which is where they warn of wear.
enum class BlockKind : uint8_t { kBad, kUnreadable, kTable, kCorrected, kImage, kErased, kData };
constexpr int kBlockKinds = 7;

struct BlockReading {
    bool bad = false;          // the bad-block query said so, or failed
    bool read_error = false;   // the read itself failed
    bool erased = false;       // every byte read back 0xFF
    EccCount ecc;              // counted while the block was read
    int32_t image_block = -1;  // its entry in the partition table, or -1
    BlockKind kind = BlockKind::kData;
};

// A table entry the board could not boot from.
struct ListedProblem {
    uint32_t image_block = 0;
    uint32_t device_block = 0;
    const char* what = "";  // "bad", "erased", "unreadable", "past the end of the flash"
};

struct FlashMap {
    uint32_t block_count = 0;
    std::vector<BlockReading> blocks;
    uint64_t search_start = 0;            // where the loader begins to look for the partition table
    int64_t loader_block = -1;            // the first good block from there up, or -1
    bool table_valid = false;             // the loader's block holds a partition table
    const char* table_problem = nullptr;  // why not, when there is a loader block
    BlockTable table;
    std::vector<ListedProblem> listed_problems;
    uint32_t counts[kBlockKinds] = {};
    uint32_t blocks_corrected = 0;  // of any kind, with corrected bitflips
    EccWatch ecc;
};

// Reads every block of `flash` once, in order, and classifies it; with
// `progress`, a count drawn in place on a terminal. 0, or -1 after a message
// when not even one erase block can be held in memory. A block whose read
// fails is noted and the pass goes on.
int map_flash(InspectFlash& flash, FlashMap& map, bool progress);

// The character the map draws for `kind`: B X T c # . o.
char block_symbol(BlockKind kind);
// "bad", "unreadable", "table", "corrected", "image", "erased", "data".
const char* block_kind_name(BlockKind kind);

// True when the loader's block holds a partition table, read without an
// uncorrectable error, and every block it lists is inside the flash, good
// and readable. (An erased entry is readable: it is flagged, as it is what
// the installer leaves for an image block without data, which is rare.)
bool table_readable(const FlashMap& map);
