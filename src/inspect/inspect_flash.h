// The flash drimlet-inspect looks at: an MTD device opened read-only, or a
// raw dump file with its geometry given on the command line; and the
// partition table found on it the way the loader finds it.
#pragma once

#include <mtd/mtd-user.h>

#include <cstdint>
#include <string>
#include <vector>

#include "device/mtd_device.h"
#include "inspect/dump_device.h"
#include "inspect/format_text.h"
#include "table/partition_table.h"

struct InspectFlash {
    const char* path = nullptr;
    std::string error;  // the last failure's message, as printed (for --json)
    MtdDevice device{};
    mtd_info_user info{};  // write size 1 already replaced by 2048, as the installer does
    uint64_t size = 0;     // total bytes
    bool is_dump = false;
    DumpFile dump;  // the dump device's state, when is_dump
    // Where the next read starts without a seek (-1: unknown; a read that
    // goes round read_flash must reset it), and how many reads were made: a
    // sequential pass asks for no seeks, and ECC counts taken after one read
    // still hold before the next.
    int64_t position = -1;
    uint64_t reads = 0;
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

// A read through an MTD device returns the data even when ECC could not
// correct it; only the device's ECC statistics tell. These count what
// changed while one block was read.
struct EccCount {
    uint64_t corrected = 0;  // bitflips ECC corrected
    uint64_t failed = 0;     // uncorrectable ECC errors
};

struct EccWatch {
    bool asked = false;      // ECCGETSTATS has been tried
    bool available = false;  // and answered
    std::string note;        // why there are no statistics, when not available
    EccCount total;
    uint32_t blocks_corrected = 0;  // blocks read with corrected bitflips
    uint32_t blocks_failed = 0;     // blocks read with uncorrectable errors
    mtd_ecc_stats last{};           // the counts after the last watched read
    uint64_t last_at_read = 0;      // flash.reads when `last` was taken (0: never)
};

// read_flash with ECCGETSTATS before and after, the difference in `delta`.
// A device that does not answer is said so once, on standard error, and then
// no longer asked: its reads still count. 0, or -1 with a message.
int read_flash_watched(InspectFlash& flash, EccWatch& watch, uint64_t offset, uint8_t* into, size_t size,
                       EccCount& delta);

// Prints "drimlet-inspect: MESSAGE" on standard error and keeps MESSAGE in
// flash.error.
void report_flash_error(InspectFlash& flash, const std::string& message);
template <typename... Values>
void flash_error(InspectFlash& flash, const char* format, Values... values) {
    report_flash_error(flash, format_text(format, values...));
}

// Searches and decodes the partition table: 0, or -1 after a message saying
// what is missing.
int find_partition_table(InspectFlash& flash, FoundTable& found);

// What the blocks a partition table lists hold, for a check of a dump's
// geometry: read with the wrong erase size, a table points past the dump's
// end or at blocks that are erased.
struct ListedBlocks {
    uint32_t past_end = 0;
    uint32_t erased = 0;
};

// Reads every block `found` lists: 0, or -1 after a message.
int check_listed_blocks(InspectFlash& flash, const FoundTable& found, ListedBlocks& listed);

// "warning: the partition table at 0x... lists N blocks, E erased and P
// past the end of DUMP: the dump's geometry (--erase E --page P) may be
// wrong", for a dump with such blocks; empty otherwise (and for a device,
// whose geometry is its own).
std::string geometry_warning(const InspectFlash& flash, uint64_t table_offset, uint32_t count,
                             const ListedBlocks& listed);
