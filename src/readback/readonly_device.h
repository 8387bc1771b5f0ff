// drimlet-inspect's view of a flash: an MTD device opened read-only, or a raw
// dump file with its geometry given on the command line. It provides the MTD
// device functions the installer's code calls, so a plan runs drimlet's own
// placement code, but nothing here ever erases or writes: those requests are
// only recorded.
#pragma once

#include <mtd/mtd-user.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

struct DumpGeometry {
    uint32_t erasesize = 0;
    uint32_t writesize = 0;
    std::set<uint32_t> bad_blocks;
};

// What an install would have done to the device.
struct PlannedWrite {
    uint64_t offset;
    uint64_t size;
};

struct InspectDevice {
    bool is_dump = false;
    int fd = -1;
    mtd_info_user info{};
    DumpGeometry dump;
    uint64_t position = 0;
    std::vector<PlannedWrite> writes;
    std::vector<uint64_t> erases;
    std::vector<uint64_t> queries;  // offsets asked about, in order
};

// The device behind the MTD functions; set up before mtd_open is called.
InspectDevice& inspect_device();

// Reads `size` bytes at `offset`: 0, or -1 with a message.
int read_flash(uint64_t offset, uint8_t* into, size_t size);
