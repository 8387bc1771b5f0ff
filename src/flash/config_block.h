// The partition table phase: finds the first good erase block from 3.5 MiB
// up, erases it and writes the partition table page there, so the boot
// loader finds every image block. (The loader's own name for this block is
// the config block.)
#pragma once

#include <mtd/mtd-user.h>

#include "device/mtd_device.h"
#include "flash/write_context.h"
#include "table/partition_table.h"

// 0 on success (after the "Partition table written" line), -1 after
// printing why not. `geometry` is the run's, its write size already 2048
// for devices that write single bytes; the search stops below `search_end`.
// A block whose erase, page write or read-back fails is marked bad and the
// search goes on; when the mark fails, or the run's marks are used up, the
// run stops, since the loader would read that block (erased again when it was
// programmed, so it holds no table that failed).
int write_config_block(MtdDevice& device, WriteContext& context, const mtd_info_user& geometry,
                       uint64_t search_end, const BlockTable& table);
