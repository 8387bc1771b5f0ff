// Worn blocks: a block whose erase, program or read-back failed is marked
// bad in the chip's bad-block table, so that neither the loader nor a later
// install ever uses it again.
#pragma once

#include <cstdint>

#include "device/mtd_device.h"
#include "flash/write_context.h"

// A write-protected chip fails every erase and program just as a worn one
// does; marking its good blocks bad would ruin it. Past this many marks in
// one run, the run stops instead.
constexpr int kMarkLimit = 4;

// Marks the block at `offset` bad (MEMSETBADBLOCK) and says so. Returns 1
// when marked (noted in context.marked), 0 when the mark failed ("Failed to
// mark" line), and -1 when the run has already tried kMarkLimit marks: the
// "Too many failing blocks" line, no request made, and the run must stop.
int retire_block(MtdDevice& device, WriteContext& context, uint64_t offset);

// True when this run marked the block at `offset` bad.
bool marked_this_run(const WriteContext& context, uint64_t offset);
