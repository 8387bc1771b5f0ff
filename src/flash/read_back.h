// Read-back after writing: a program the chip reported as done does not
// prove the page holds the data (a weak page reads back with uncorrectable
// errors, a block that did not erase fully keeps bits the program cannot
// set). Each block written is read again and compared.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/mtd_device.h"
#include "flash/write_context.h"

// Turns read-back on with a buffer of one erase block: 0, or -1 when there
// is no memory for it (nothing printed).
int start_verifying(WriteContext& context, uint32_t erasesize);

// Reads the erase block at `offset` into the context's buffer, with
// ECCGETSTATS before and after, and compares it: the first `size` bytes
// with `expected`, the rest of the block with 0xFF. A read that fails or
// comes up short, an uncorrectable ECC error, or a difference is a failed
// verification: prints the "Verify failed" line and returns -1. Otherwise
// returns 0, counting the block in `corrected_blocks` when ECC corrected
// bitflips on the way.
int read_back(MtdDevice& device, WriteContext& context, uint64_t offset, const uint8_t* expected, size_t size,
              uint32_t erasesize);
