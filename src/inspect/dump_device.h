// A raw flash dump in a regular file, with the geometry and bad blocks the
// command line gives, behind the device requests. It only ever reads: its
// erase, write and mark-bad requests fail. A dump carries no ECC, so ECC
// statistics are not available.
#pragma once

#include <cstdint>
#include <vector>

#include "device/mtd_device.h"

// One --bad item: erase blocks `first` to `last`, both included.
struct BadRange {
    uint32_t first = 0;
    uint32_t last = 0;
};

struct DumpGeometry {
    uint32_t erasesize = 0;
    uint32_t writesize = 0;
    std::vector<BadRange> bad_ranges;  // kept as given: a range costs no memory per block
};

struct DumpFile {
    DumpGeometry geometry;
    uint64_t size = 0;  // of the file, in bytes
    uint64_t position = 0;
};

// The lowest end of a --bad range at or past `blocks`, the dump's block
// count; -1 when every range lies within.
int64_t bad_block_past(const DumpGeometry& geometry, uint64_t blocks);

// True when `path` names a regular file (so not an MTD device node).
bool is_regular_file(const char* path);

// A device whose requests go to `dump` (which must outlive it).
MtdDevice dump_device(DumpFile& dump);
