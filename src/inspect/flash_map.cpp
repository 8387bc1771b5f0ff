#include "inspect/flash_map.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "common/messages.h"

namespace {

// A pass over a whole chip checks every byte of every good block: compared
// a piece at a time with one erased piece that stays in the cache, through
// the C library's vectorised memcmp.
bool all_erased(const uint8_t* data, size_t size) {
    static uint8_t erased[4096];
    if (erased[0] != 0xFF) memset(erased, 0xFF, sizeof erased);
    for (size_t at = 0; at < size; at += sizeof erased) {
        const size_t piece = size - at < sizeof erased ? size - at : sizeof erased;
        if (memcmp(data + at, erased, piece) != 0) return false;
    }
    return true;
}

// The query answers 1 for bad; a query that fails counts as bad too, as it
// does for the installer and the loader's search.
bool query_bad(InspectFlash& flash, uint32_t block) {
    const int answer = mtd_block_is_bad(flash.device, uint64_t{block} * flash.info.erasesize);
    if (answer < 0)
        print_message("drimlet-inspect: the bad-block query of block %u failed (%s): counted as bad\n", block,
                      strerror(errno));
    return answer != 0;
}

// The loader's block read back: the partition table it holds, or why none.
void decode_loader_block(const InspectFlash& flash, const uint8_t* data, FlashMap& map) {
    const BlockReading& reading = map.blocks[static_cast<size_t>(map.loader_block)];
    const size_t page_size = partition_table_page_size(flash.info.writesize);
    if (reading.read_error)
        map.table_problem = "its read failed";
    else if (page_size > flash.info.erasesize)
        map.table_problem = "the partition table page is larger than an erase block";
    else
        map.table_valid = decode_partition_table_page(data, page_size, map.table, map.table_problem) == 0;
}

// Every table entry the board could not boot from; the others name their
// block's image block.
void mark_listed_blocks(FlashMap& map) {
    for (uint32_t k = 0; k < map.table.table_count; ++k) {
        const uint32_t block = map.table.entries[k];
        if (block >= map.block_count) {
            map.listed_problems.push_back({k, block, "past the end of the flash"});
            continue;
        }
        BlockReading& reading = map.blocks[block];
        if (reading.image_block < 0) reading.image_block = static_cast<int32_t>(k);
        const char* what = reading.bad                                     ? "bad"
                           : reading.read_error || reading.ecc.failed != 0 ? "unreadable"
                           : reading.erased                                ? "erased"
                                                                           : nullptr;
        if (what) map.listed_problems.push_back({k, block, what});
    }
}

BlockKind kind_of(const FlashMap& map, uint32_t block) {
    const BlockReading& r = map.blocks[block];
    if (r.bad) return BlockKind::kBad;
    if (r.read_error || r.ecc.failed != 0) return BlockKind::kUnreadable;
    if (map.table_valid && block == map.loader_block) return BlockKind::kTable;
    if (r.ecc.corrected != 0 && (r.image_block >= 0 || !r.erased)) return BlockKind::kCorrected;
    if (r.image_block >= 0) return BlockKind::kImage;
    return r.erased ? BlockKind::kErased : BlockKind::kData;
}

void read_block(InspectFlash& flash, FlashMap& map, uint32_t block, uint8_t* data) {
    BlockReading& reading = map.blocks[block];
    const uint32_t erasesize = flash.info.erasesize;
    reading.bad = query_bad(flash, block);
    if (!reading.bad) {
        reading.read_error = read_flash_watched(flash, map.ecc, uint64_t{block} * erasesize, data, erasesize,
                                                reading.ecc) != 0;
        reading.erased = !reading.read_error && all_erased(data, erasesize);
    }
    if (map.loader_block < 0 && !reading.bad && uint64_t{block} * erasesize >= map.search_start) {
        map.loader_block = block;
        decode_loader_block(flash, data, map);
    }
}

}  // namespace

int map_flash(InspectFlash& flash, FlashMap& map, bool progress) {
    const uint32_t erasesize = flash.info.erasesize;
    std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[erasesize]);
    if (!data) {
        print_message("Out of memory!\n");
        return -1;
    }
    map.block_count = static_cast<uint32_t>(flash.size / erasesize);
    map.blocks.assign(map.block_count, BlockReading{});
    map.search_start = partition_table_search_start(erasesize);
    for (uint32_t block = 0; block < map.block_count; ++block) {
        read_block(flash, map, block, data.get());
        if (progress && (block % 16 == 15 || block + 1 == map.block_count))
            show_progress_line(format_text("read %u of %u erase blocks", block + 1, map.block_count).c_str());
    }
    if (progress) clear_progress_line();
    if (map.table_valid) mark_listed_blocks(map);
    for (uint32_t block = 0; block < map.block_count; ++block) {
        BlockReading& reading = map.blocks[block];
        reading.kind = kind_of(map, block);
        ++map.counts[static_cast<int>(reading.kind)];
        if (reading.ecc.corrected) ++map.blocks_corrected;
    }
    return 0;
}

char block_symbol(BlockKind kind) { return "BXTc#.o"[static_cast<int>(kind)]; }

const char* block_kind_name(BlockKind kind) {
    static const char* const kNames[kBlockKinds] = {"bad",   "unreadable", "table", "corrected",
                                                    "image", "erased",     "data"};
    return kNames[static_cast<int>(kind)];
}

bool table_readable(const FlashMap& map) {
    if (!map.table_valid || map.blocks[static_cast<size_t>(map.loader_block)].kind == BlockKind::kUnreadable)
        return false;
    for (const ListedProblem& problem : map.listed_problems)
        if (strcmp(problem.what, "erased") != 0) return false;
    return true;
}
