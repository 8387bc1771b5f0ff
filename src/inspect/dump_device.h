// A raw flash dump in a regular file, with the geometry and bad blocks the
// command line gives, behind the device requests. It only ever reads: its
// erase, write and mark-bad requests fail. A dump carries no ECC, so ECC
// statistics are not available.
#pragma once

#include <cstdint>
#include <set>

#include "device/mtd_device.h"

struct DumpGeometry {
    uint32_t erasesize = 0;
    uint32_t writesize = 0;
    std::set<uint32_t> bad_blocks;
};

struct DumpFile {
    DumpGeometry geometry;
    uint64_t size = 0;  // of the file, in bytes
    uint64_t position = 0;
};

// True when `path` names a regular file (so not an MTD device node).
bool is_regular_file(const char* path);

// A device whose requests go to `dump` (which must outlive it).
MtdDevice dump_device(DumpFile& dump);
