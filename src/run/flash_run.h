// The run record: everything one install shares between its phases.
#pragma once

#include <mtd/mtd-user.h>

#include <cstdint>
#include <memory>

#include "cli/command_line.h"

struct FlashRun {
    RunSettings settings;
    int device_fd = -1;
    mtd_info_user geometry{};                 // writesize 1 becomes 2048 after the device report
    std::unique_ptr<uint8_t[]> block_buffer;  // one erase block being assembled
    int image_fd = -1;                        // 0 when the image comes from standard input
};
