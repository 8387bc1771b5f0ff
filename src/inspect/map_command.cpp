// drimlet-inspect map: every erase block of the flash as one character, 64
// to a row, so bad blocks, the installed image, the partition table and
// wearing blocks show at a glance; the legend counts each kind and the last
// line sums it up.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/messages.h"
#include "inspect/flash_map.h"
#include "inspect/inspect_commands.h"
#include "inspect/inspect_flash.h"
#include "inspect/json_writer.h"

namespace {

constexpr uint32_t kBlocksPerRow = 64;

// Colour only for a person at a terminal, and never when NO_COLOR asks
// for none (any value but the empty one).
bool use_colour(const InspectOptions& options) {
    const char* no_color = getenv("NO_COLOR");
    return !options.no_color && !(no_color && *no_color) && isatty(STDOUT_FILENO);
}

const char* colour_of(BlockKind kind) {
    static const char* const kColours[kBlockKinds] = {
        "\033[1;31m", "\033[1;37;41m", "\033[1;35m", "\033[1;33m", "\033[32m", "\033[2m", "\033[34m"};
    return kColours[static_cast<int>(kind)];
}
const char kMarkColour[] = "\033[36m";
const char kFlagColour[] = "\033[7m";  // reverse video over the block's own colour
const char kPlain[] = "\033[0m";

std::string size_text(uint64_t bytes) {
    static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (unit < 3 && bytes >= 1024 && bytes % 1024 == 0) bytes /= 1024, ++unit;
    return format_text("%llu %s", static_cast<unsigned long long>(bytes), kUnits[unit]);
}

struct MapView {
    const InspectFlash& flash;
    const FlashMap& map;
    bool colour;
    int64_t top_block;              // -n's top, or -1
    std::vector<char> marks;        // per block: ' ', 's', 'n' or '!'
    int block_width, offset_width;  // of the row headers
};

void set_marks(MapView& view) {
    const FlashMap& map = view.map;
    view.marks.assign(map.block_count, ' ');
    const uint64_t search_block = map.search_start / view.flash.info.erasesize;
    if (search_block < map.block_count) view.marks[search_block] = 's';
    if (view.top_block >= 0 && view.top_block < map.block_count) view.marks[view.top_block] = 'n';
    for (const ListedProblem& problem : map.listed_problems)
        if (problem.device_block < map.block_count) view.marks[problem.device_block] = '!';
    view.block_width = static_cast<int>(format_text("%u", map.block_count ? map.block_count - 1 : 0).size());
    if (view.block_width < 4) view.block_width = 4;
    view.offset_width =
        static_cast<int>(format_text("%llx", static_cast<unsigned long long>(view.flash.size - 1)).size());
    if (view.offset_width < 8) view.offset_width = 8;
}

// The row's blocks, one character each, a colour change only where the kind
// (or the flag) changes.
std::string row_cells(const MapView& view, uint32_t first, uint32_t end) {
    std::string cells, current;
    for (uint32_t block = first; block < end; ++block) {
        const BlockKind kind = view.map.blocks[block].kind;
        if (view.colour) {
            std::string style = colour_of(kind);
            if (view.marks[block] == '!') style += kFlagColour;
            if (style != current) cells += kPlain + style;
            current = style;
        }
        cells += block_symbol(kind);
    }
    if (view.colour) cells += kPlain;
    return cells;
}

// The marks under a row, or an empty string when it has none.
std::string row_marks(const MapView& view, uint32_t first, uint32_t end) {
    std::string marks(view.marks.begin() + first, view.marks.begin() + end);
    marks.erase(marks.find_last_not_of(' ') + 1);
    if (marks.empty() || !view.colour) return marks;
    return kMarkColour + marks + kPlain;
}

void print_rows(const MapView& view) {
    // 80 columns for chips of up to 10000 blocks and 4 GiB.
    printf("%-*s %s\n", view.block_width + view.offset_width + 3, "block, offset",
           "one character per erase block, 64 to a row");
    for (uint32_t first = 0; first < view.map.block_count; first += kBlocksPerRow) {
        const uint32_t end = std::min(first + kBlocksPerRow, view.map.block_count);
        printf("%*u 0x%0*llx %s\n", view.block_width, first, view.offset_width,
               static_cast<unsigned long long>(first) * view.flash.info.erasesize,
               row_cells(view, first, end).c_str());
        const std::string marks = row_marks(view, first, end);
        if (!marks.empty()) printf("%*s %s\n", view.block_width + view.offset_width + 3, "", marks.c_str());
    }
}

std::string where(uint64_t block, uint32_t erasesize) {
    return format_text("block %llu at 0x%08llx", static_cast<unsigned long long>(block),
                       static_cast<unsigned long long>(block) * erasesize);
}

void print_legend(const MapView& view, const InspectOptions& options) {
    static const char* const kMeanings[kBlockKinds] = {
        "bad",
        "unreadable: an uncorrectable ECC error, or the read failed",
        "the partition table the loader reads",
        "corrected bitflips: an image block or other data that is wearing",
        "an image block the partition table lists",
        "erased",
        "other data"};
    const char* mark_on = view.colour ? kMarkColour : "";
    const char* off = view.colour ? kPlain : "";
    for (int k = 0; k < kBlockKinds; ++k) {
        const BlockKind kind = static_cast<BlockKind>(k);
        printf("  %s%c%s %6u  %s\n", view.colour ? colour_of(kind) : "", block_symbol(kind), off,
               view.map.counts[k], kMeanings[k]);
    }
    const uint32_t erasesize = view.flash.info.erasesize;
    printf("  %ss%s         the partition table search start (3.5 MiB): %s\n", mark_on, off,
           where(view.map.search_start / erasesize, erasesize).c_str());
    if (view.top_block >= 0)
        printf("  %sn%s         the top of the non-Filesystem partition (-n %u MiB): %s%s\n", mark_on, off,
               options.nonfs_bytes >> 20, where(static_cast<uint64_t>(view.top_block), erasesize).c_str(),
               view.top_block < view.map.block_count ? "" : ", past the end of the flash");
    if (!view.map.listed_problems.empty())
        printf("  %s!%s         a block the partition table lists that the board would not boot from\n",
               mark_on, off);
}

std::string table_finding(const InspectFlash& flash, const FlashMap& map) {
    if (map.loader_block < 0) return "no good erase block from 3.5 MiB up: no partition table";
    if (map.table_valid) return "";
    return format_text("no valid partition table at 0x%08llx (the first good block from 3.5 MiB): %s",
                       static_cast<unsigned long long>(map.loader_block) * flash.info.erasesize,
                       map.table_problem);
}

std::string problem_text(const ListedProblem& problem, uint32_t erasesize) {
    // The installer writes an erased block for an image block the image has
    // no data in, so an erased entry is a warning, not a failure.
    const bool erased = strcmp(problem.what, "erased") == 0;
    return format_text("image block %u (device %s) is %s: the board would not boot from it%s",
                       problem.image_block, where(problem.device_block, erasesize).c_str(), problem.what,
                       erased ? ", unless the image has no data in that block" : "");
}

std::string verdict(const InspectFlash& flash, const FlashMap& map) {
    const std::string table =
        map.table_valid ? format_text("table at 0x%08llx", static_cast<unsigned long long>(map.loader_block) *
                                                               flash.info.erasesize)
                        : std::string("no partition table");
    return format_text("%u bad, %u image blocks, %s, %u blocks with corrected bitflips, %u unreadable",
                       map.counts[static_cast<int>(BlockKind::kBad)],
                       map.table_valid ? map.table.table_count : 0, table.c_str(), map.blocks_corrected,
                       map.counts[static_cast<int>(BlockKind::kUnreadable)]);
}

// For a dump: a table whose entries point past its end or at erased blocks
// was probably read with the wrong --erase or --page.
std::string map_geometry_warning(const InspectFlash& flash, const FlashMap& map) {
    ListedBlocks listed;
    for (const ListedProblem& problem : map.listed_problems) {
        if (strcmp(problem.what, "erased") == 0) ++listed.erased;
        if (strcmp(problem.what, "past the end of the flash") == 0) ++listed.past_end;
    }
    return geometry_warning(flash, static_cast<uint64_t>(map.loader_block) * flash.info.erasesize,
                            map.table.table_count, listed);
}

void print_map(const InspectFlash& flash, const FlashMap& map, const InspectOptions& options, int64_t top) {
    MapView view{flash, map, use_colour(options), top, {}, 0, 0};
    set_marks(view);
    printf("map of %s: %u erase blocks of %s, %u-byte pages, %s\n", flash.path, map.block_count,
           size_text(flash.info.erasesize).c_str(), flash.info.writesize, size_text(flash.size).c_str());
    print_rows(view);
    print_legend(view, options);
    const std::string finding = table_finding(flash, map);
    if (!finding.empty()) printf("%s\n", finding.c_str());
    for (const ListedProblem& problem : map.listed_problems)
        printf("%s\n", problem_text(problem, flash.info.erasesize).c_str());
    const std::string warning = map_geometry_warning(flash, map);
    if (!warning.empty()) printf("map: %s\n", warning.c_str());
    printf("%s\n", verdict(flash, map).c_str());
}

void json_place(JsonWriter& json, const char* key, uint64_t block, uint32_t erasesize) {
    json_begin_object(json, key);
    json_number(json, "device_block", static_cast<int64_t>(block));
    json_number(json, "offset", static_cast<int64_t>(block * erasesize));
    json_end_object(json);
}

void json_blocks(JsonWriter& json, const FlashMap& map, uint32_t erasesize) {
    json_begin_array(json, "blocks");
    for (uint32_t block = 0; block < map.block_count; ++block) {
        const BlockReading& reading = map.blocks[block];
        json_begin_object(json);
        json_number(json, "index", block);
        json_number(json, "offset", static_cast<int64_t>(uint64_t{block} * erasesize));
        json_string(json, "state", block_kind_name(reading.kind));
        json_number(json, "corrected", static_cast<int64_t>(reading.ecc.corrected));
        json_bool(json, "failed", reading.kind == BlockKind::kUnreadable);
        if (reading.image_block >= 0)
            json_number(json, "image_block", reading.image_block);
        else
            json_null(json, "image_block");
        json_end_object(json);
    }
    json_end_array(json);
}

void json_findings(JsonWriter& json, const InspectFlash& flash, const FlashMap& map) {
    const uint32_t erasesize = flash.info.erasesize;
    if (map.table_valid) {
        json_begin_object(json, "partition_table");
        json_number(json, "device_block", map.loader_block);
        json_number(json, "offset", map.loader_block * erasesize);
        json_number(json, "count", map.table.table_count);
        json_end_object(json);
        json_null(json, "table_problem");
    } else {
        json_null(json, "partition_table");
        json_string(json, "table_problem", table_finding(flash, map));
    }
    json_begin_array(json, "not_bootable");
    for (const ListedProblem& problem : map.listed_problems) {
        json_begin_object(json);
        json_number(json, "image_block", problem.image_block);
        json_number(json, "device_block", problem.device_block);
        json_number(json, "offset", static_cast<int64_t>(uint64_t{problem.device_block} * erasesize));
        json_string(json, "problem", problem.what);
        json_end_object(json);
    }
    json_end_array(json);
    json_begin_object(json, "counts");
    for (int k = 0; k < kBlockKinds; ++k)
        json_number(json, block_kind_name(static_cast<BlockKind>(k)), map.counts[k]);
    json_number(json, "blocks_with_corrected_bitflips", map.blocks_corrected);
    json_end_object(json);
    json_begin_object(json, "ecc");
    json_bool(json, "available", map.ecc.available);
    if (map.ecc.note.empty())
        json_null(json, "note");
    else
        json_string(json, "note", map.ecc.note);
    json_number(json, "corrected_bitflips", static_cast<int64_t>(map.ecc.total.corrected));
    json_number(json, "ecc_failures", static_cast<int64_t>(map.ecc.total.failed));
    json_end_object(json);
}

int print_map_json(const InspectFlash& flash, const FlashMap& map, int64_t top, bool ok) {
    const uint32_t erasesize = flash.info.erasesize;
    JsonWriter json;
    json_begin_object(json);
    json_string(json, "command", "map");
    json_string(json, "device", flash.path);
    json_number(json, "size", static_cast<int64_t>(flash.size));
    json_number(json, "erase_size", erasesize);
    json_number(json, "write_size", flash.info.writesize);
    json_number(json, "block_count", map.block_count);
    json_place(json, "search_start", map.search_start / erasesize, erasesize);
    if (top >= 0)
        json_place(json, "nonfs_top", static_cast<uint64_t>(top), erasesize);
    else
        json_null(json, "nonfs_top");
    json_findings(json, flash, map);
    json_string_or_null(json, "geometry_warning", map_geometry_warning(flash, map));
    json_blocks(json, map, erasesize);
    json_string(json, "summary", verdict(flash, map));
    json_bool(json, "ok", ok);
    json_end_object(json);
    json_print(json);
    return ok ? 0 : 1;
}

}  // namespace

int map_blocks(const InspectOptions& options, const char* flash_path) {
    InspectFlash flash;
    if (open_flash(flash, flash_path, options.dump) != 0)
        return options.json ? print_json_failure("map", flash.error) : 1;
    FlashMap map;
    const int mapped = map_flash(flash, map, !options.json && enable_progress_line());
    close_flash(flash);
    if (mapped != 0) return options.json ? print_json_failure("map", "out of memory") : 1;
    const uint32_t erasesize = flash.info.erasesize;
    const int64_t top = options.have_nonfs ? int64_t{options.nonfs_bytes / erasesize} : -1;
    const bool ok = table_readable(map);
    if (options.json) return print_map_json(flash, map, top, ok);
    print_map(flash, map, options, top);
    return ok ? 0 : 1;
}
