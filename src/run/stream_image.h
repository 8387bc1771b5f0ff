// The image phase of an install: the assembler's blocks go, one by one, to
// the allocator, which writes each into the next good block counting down
// from the top of the non-Filesystem partition; the block table notes where.
#pragma once

#include <string>

#include "image/bin_reader.h"
#include "run/flash_run.h"
#include "table/partition_table.h"

// Returns the number of image blocks written (after the "Image written"
// line), or -1 after the failing step has printed its message (if it has
// one). An interrupt (common/interrupt.h) stops it before the next image
// block, silently: table.table_count says how many are on the flash.
int stream_image(FlashRun& run, const BinImageHeader& header, BlockTable& table);

// True for the "Image written" line of stream_image.
bool is_image_written_line(const std::string& line);
