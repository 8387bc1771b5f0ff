// One install from the parsed command line to the exit status.
#pragma once

#include "device/mtd_device.h"
#include "run/flash_run.h"
#include "table/partition_table.h"

// Where the partition table search ends: the device's real size (64 bits,
// from the device when it can tell, else MEMGETINFO's), and never past
// 4 GiB, the reach of the erase request.
uint64_t partition_table_search_end(MtdDevice& device, const mtd_info_user& geometry);

// Refuses a non-Filesystem partition larger than the device (its 64-bit
// size): a mistyped -n would put the image blocks over the filesystem
// partition, or past the end of the chip. 0, or -1 after the message.
int check_nonfs_size(MtdDevice& device, const mtd_info_user& geometry, uint32_t nonfs_bytes);

// How far the phases of an install got.
enum class InstallPhase { kImageHeader, kImageBlocks, kPartitionTable, kDone };

// The phases on an opened run, in order: image check (signature and
// header), image blocks, partition table block. Returns the phase that
// failed, or kDone once the partition table is written; `table` lists the
// image blocks written. An interrupt stops the run silently before the
// image check, before an image block or before the partition table phase.
InstallPhase run_install_phases(FlashRun& run, BlockTable& table);

// The install on an opened run: for an image in a regular file, the whole
// install first runs dry (run/dry_run.h), and when that fails, its lines
// are printed and nothing is changed; then the phases, and the line on
// corrected bitflips the read-back met. After an interrupt it says how far
// the install got. Returns the exit status.
int install_image(FlashRun& run);

// Catches interrupts, opens and locks the device through `device`, reports
// its geometry, checks the non-Filesystem size against the device, opens
// the image source and runs install_image. Returns the exit status: 0 only
// when the partition table block was written, 1 on every failure (and when
// an interrupt stopped the install: the caller then raises it again).
int run_install(const RunSettings& settings, const MtdDevice& device);
