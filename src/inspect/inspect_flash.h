// The flash drimlet-inspect looks at: an MTD device opened read-only, or a
// raw dump file with its geometry given on the command line; and the
// partition table found on it the way the loader finds it.
#pragma once

#include <mtd/mtd-user.h>

#include <cstdint>
#include <vector>

#include "device/mtd_device.h"
#include "inspect/dump_device.h"
#include "table/partition_table.h"

struct InspectFlash {
    MtdDevice device{};
    mtd_info_user info{};  // write size 1 already replaced by 2048, as the installer does
    uint64_t size = 0;     // total bytes
    bool is_dump = false;
    DumpFile dump;  // the dump device's state, when is_dump
};

struct FoundTable {
    uint64_t offset = 0;        // of the partition table block
    std::vector<uint8_t> page;  // as read from the flash
    BlockTable table;           // entries up to the first zero
};

// Opens `path` read-only: an MTD device, or else a regular file read as a
// dump with `dump_geometry`. 0, or -1 after a message.
int open_flash(InspectFlash& flash, const char* path, const DumpGeometry& dump_geometry);
void close_flash(InspectFlash& flash);

// Reads `size` bytes at `offset`: 0, or -1 with a message.
int read_flash(InspectFlash& flash, uint64_t offset, uint8_t* into, size_t size);

// Searches and decodes the partition table: 0, or -1 after a message saying
// what is missing.
int find_partition_table(InspectFlash& flash, FoundTable& found);
