// The run record: everything one install shares between its phases.
#pragma once

#include <mtd/mtd-user.h>

#include <cstdint>
#include <memory>

#include "device/mtd_device.h"
#include "flash/write_context.h"
#include "run/install_progress.h"

struct RunSettings {
    uint32_t nonfs_bytes = 0;          // size of the non-Filesystem partition in bytes
    const char* mtd_path = nullptr;    // first operand, not copied
    const char* image_path = nullptr;  // second operand; "-" is standard input
    bool verify = true;                // read every block back after writing it (--no-verify: off)
    int progress_fd = -1;              // --progress-fd; -1 without
};

struct FlashRun {
    RunSettings settings;
    MtdDevice device{};                       // the requests go here; opened by the run
    mtd_info_user geometry{};                 // writesize 1 becomes 2048 after the device report
    uint64_t search_end = 0;                  // the partition table lies below this offset
    std::unique_ptr<uint8_t[]> block_buffer;  // one erase block being assembled
    int image_fd = -1;                        // 0 when the image comes from standard input
    bool image_is_file = false;               // a regular file, read ahead by the kernel
    WriteContext writes;                      // read-back and worn blocks; verifies only once started
    InstallProgress progress;                 // started by the image blocks' phase
};
