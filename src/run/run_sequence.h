// One install from the parsed command line to the exit status.
#pragma once

#include "device/mtd_device.h"
#include "run/flash_run.h"

// Where the partition table search ends: the device's real size (64 bits,
// from the device when it can tell, else MEMGETINFO's), and never past
// 4 GiB, the reach of the erase request.
uint64_t partition_table_search_end(MtdDevice& device, const mtd_info_user& geometry);

// The image phases on an opened run: image check, image blocks, partition
// table block, and the line on corrected bitflips the read-back met.
// Returns the exit status.
int install_image(FlashRun& run);

// Opens the device through `device`, reports its geometry, opens the image
// source and runs the image check, the streaming of image blocks and the
// partition table block in order. Returns the exit status: 0 only when the
// partition table block was written, 1 on every failure.
int run_install(const RunSettings& settings, const MtdDevice& device);
