// The run record: everything one install shares between its phases.
#pragma once

#include <mtd/mtd-user.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "device/mtd_device.h"
#include "flash/write_context.h"
#include "image/bin_reader.h"
#include "run/install_progress.h"

struct RunSettings {
    uint32_t nonfs_bytes = 0;          // size of the non-Filesystem partition in bytes
    const char* mtd_path = nullptr;    // first operand, not copied
    const char* image_path = nullptr;  // second operand; "-" is standard input
    bool verify = true;                // read every block back after writing it (--no-verify: off)
    int progress_fd = -1;              // --progress-fd; -1 without
    bool ignore_checksums = false;     // --ignore-checksums: take records whatever their checksum
    // The phases run against a recorder (device/recording_device.h): the
    // check before writing, and drimlet-inspect plan. Nothing the run would
    // have written is on the flash, so nothing may be read back, and there
    // is no progress to show.
    bool dry_run = false;
};

struct FlashRun {
    RunSettings settings;
    MtdDevice device{};                       // the requests go here; opened by the run
    mtd_info_user geometry{};                 // writesize 1 becomes 2048 after the device report
    uint32_t device_writesize = 0;            // the write size MEMGETINFO gave (1 on NOR); 0 if not known
    uint64_t search_end = 0;                  // the partition table lies below this offset
    std::unique_ptr<uint8_t[]> block_buffer;  // one erase block being assembled
    ImageInput image;                         // fd 0 when the image comes from standard input
    bool image_is_file = false;               // a regular file: checked before writing, read ahead
    WriteContext writes;                      // read-back and worn blocks; verifies only once started
    InstallProgress progress;                 // started by the image blocks' phase
    // A checksum of each image block as the check before writing assembled
    // it (kept by a dry run); the install compares each block against it
    // before writing it when `block_sums_known`.
    std::vector<uint64_t> block_sums;
    bool block_sums_known = false;
};
