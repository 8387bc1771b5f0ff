// What mtdsim's wrapper and its preload library both need to agree on: the
// block list syntax and the layout of the page state file beside the flash.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

namespace mtdsim {

// One entry of a block list: blocks (or pages) first..last, and the number
// given after a colon where the list takes one (--bitflips B:N).
struct Range {
    uint64_t first;
    uint64_t last;
    uint32_t value;
};

struct RangeList {
    Range* items = nullptr;
    int count = 0;
};

// Parses "28,100-120" (or, with `with_value`, "3:2,10-12:4", the value
// defaulting to `default_value`) onto the end of `list`. No limit on the
// number of entries. Returns the number of entries in the list, -1 when the
// text is malformed (the entries before the fault stay).
inline int parse_ranges(const char* text, bool with_value, uint32_t default_value, RangeList& list) {
    if (!text) return list.count;
    while (*text) {
        char* end;
        Range range{};
        range.first = strtoull(text, &end, 0);
        if (end == text) return -1;
        range.last = range.first;
        // "-1" reads as one huge block number (tests use it for "no block");
        // a range needs its dash right after the first number.
        if (*end == '-') {
            const char* second = end + 1;
            range.last = strtoull(second, &end, 0);
            if (end == second || range.last < range.first) return -1;
        }
        range.value = default_value;
        if (with_value && *end == ':') {
            const char* number = end + 1;
            range.value = static_cast<uint32_t>(strtoul(number, &end, 0));
            if (end == number) return -1;
        }
        if (*end != ',' && *end != '\0') return -1;
        void* grown = realloc(list.items, sizeof(Range) * static_cast<size_t>(list.count + 1));
        if (!grown) return -1;
        list.items = static_cast<Range*>(grown);
        list.items[list.count++] = range;
        text = *end == ',' ? end + 1 : end;
    }
    return list.count;
}

// The entry holding `block` (the last one given wins), or null.
inline const Range* find_range(const RangeList& list, uint64_t block) {
    for (int i = list.count - 1; i >= 0; --i)
        if (list.items[i].first <= block && block <= list.items[i].last) return &list.items[i];
    return nullptr;
}

// How many of blocks 0..blocks-1 the list names, each counted once.
inline uint64_t count_blocks(const RangeList& list, uint64_t blocks) {
    uint64_t counted = 0;
    for (uint64_t next = 0; next < blocks;) {
        // The range covering `next` that reaches furthest, or the nearest one above it.
        uint64_t reach = 0, nearest = blocks;
        bool covered = false;
        for (int i = 0; i < list.count; ++i) {
            const Range& r = list.items[i];
            if (r.first <= next && next <= r.last) {
                covered = true;
                if (r.last >= reach) reach = r.last;
            } else if (r.first > next && r.first < nearest) {
                nearest = r.first;
            }
        }
        if (!covered) {
            next = nearest;
            continue;
        }
        uint64_t end = reach >= blocks - 1 ? blocks : reach + 1;
        counted += end - next;
        next = end;
    }
    return counted;
}

// FLASH.pages: which pages were programmed since their block's last erase,
// and which blocks were marked bad (MEMSETBADBLOCK), kept beside the flash
// file so the answer survives from one run to the next. The wrapper
// validates and stamps it; the library maps it shared and sets bits as it
// programs and marks, so a killed program leaves it current. Layout: the
// header, one bit per page, then one bit per erase block.
constexpr char kPageStateMagic[8] = {'M', 'T', 'D', 'S', 'I', 'M', 'P', 'G'};
constexpr uint64_t kPageStateVersion = 2;
constexpr size_t kPageStateHeader = 128;

struct PageStateHeader {
    char magic[8];
    uint64_t version;
    uint64_t unit;   // bytes per tracked page (the write size, 1 for byte-writable chips)
    uint64_t pages;  // pages tracked
    // The flash file as the wrapper left it after the last run; a file that
    // changed since (edited, copied over) makes the bitmap a stale guess.
    uint64_t flash_inode;
    uint64_t flash_size;
    int64_t flash_mtime_sec;
    int64_t flash_mtime_nsec;
    int64_t flash_ctime_sec;
    int64_t flash_ctime_nsec;
    // ECC statistics since the wrapper started the command, shared by all
    // its processes as the kernel's counters are by all users of a device.
    uint32_t ecc_corrected;
    uint32_t ecc_failed;
    uint64_t blocks;      // erase blocks tracked in the bad-block bitmap
    uint32_t marked_bad;  // blocks marked bad so far, each counted once
};
static_assert(sizeof(PageStateHeader) <= kPageStateHeader, "page state header too large");

inline uint64_t page_bitmap_bytes(uint64_t pages) { return (pages + 7) / 8; }
inline uint64_t page_state_bytes(uint64_t pages, uint64_t blocks) {
    return kPageStateHeader + page_bitmap_bytes(pages) + (blocks + 7) / 8;
}

// Files this large are kept sparse: created as a hole, erased by punching
// holes, and a hole reads as erased flash through the device.
constexpr uint64_t kSparseFrom = 4ULL << 30;

using PreadFn = ssize_t (*)(int, void*, size_t, off64_t);
using LseekFn = off64_t (*)(int, off64_t, int);

// Reads `count` flash bytes at `at` from the flash file; with `sparse`, a
// hole reads as 0xFF. Returns 0, or -1 when the file cannot be read.
inline int read_flash(int fd, uint8_t* into, size_t count, uint64_t at, bool sparse, PreadFn read_at,
                      LseekFn seek) {
    if (read_at(fd, into, count, static_cast<off64_t>(at)) != static_cast<ssize_t>(count)) return -1;
    if (!sparse) return 0;
    const uint64_t end = at + count;
    for (uint64_t pos = at; pos < end;) {
        off64_t data = seek(fd, static_cast<off64_t>(pos), SEEK_DATA);
        uint64_t hole_end = data < 0                            ? end
                            : static_cast<uint64_t>(data) < end ? static_cast<uint64_t>(data)
                                                                : end;
        if (hole_end > pos) memset(into + (pos - at), 0xFF, static_cast<size_t>(hole_end - pos));
        if (hole_end >= end) break;
        off64_t hole = seek(fd, data, SEEK_HOLE);
        pos = hole < 0 || static_cast<uint64_t>(hole) > end ? end : static_cast<uint64_t>(hole);
    }
    return 0;
}

}  // namespace mtdsim
