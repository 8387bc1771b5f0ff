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
// A block whose erase or page write fails with EIO, or that does not read
// back, is marked bad and the search goes on; a block whose bad-block query
// fails is marked bad too (see retire_unanswered_block). Any other failure
// stops the run, and so does a mark that fails or the run's marks used up,
// since the loader would read that block: a block that was programmed is
// then erased again, so it holds no table that failed.
int write_config_block(MtdDevice& device, WriteContext& context, const mtd_info_user& geometry,
                       uint64_t search_end, const BlockTable& table);

// Whether the partition table page of a device with this write size fits
// in one erase block: a larger page would spill into the next block, which
// nobody erased (and an erase size of 0 would never advance the search).
bool table_page_fits(uint32_t writesize, uint32_t erasesize);

// Prints the "Not enough space/too many bad blocks" line: the device has no
// good block for the partition table.
void report_no_table_block();
