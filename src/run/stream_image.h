// The image phase of an install: the assembler's blocks go, one by one, to
// the allocator, which writes each into the next good block counting down
// from the top of the non-Filesystem partition; the block table notes where.
#pragma once

#include "image/bin_reader.h"
#include "run/flash_run.h"
#include "table/partition_table.h"

// Returns the number of image blocks written (after the "Image written"
// line), or -1 after the failing step has printed its message (if it has one).
int stream_image(FlashRun& run, const BinImageHeader& header, BlockTable& table);
