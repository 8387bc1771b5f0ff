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

// What ECC said while one read ran, from ECCGETSTATS before and after it.
struct EccEvents {
    bool uncorrectable = false;  // the count of ECC failures rose
    bool corrected = false;      // the count of corrected bitflips rose
};

// read_at with ECCGETSTATS around it (a read returns the data even when ECC
// could not correct it: only the counters tell). 0, or -1 as read_at.
int read_counted(MtdDevice& device, WriteContext& context, uint64_t offset, uint8_t* into, size_t size,
                 EccEvents& events);

// Reads the erase block at `offset` into the context's buffer and compares
// it: the first `size` bytes with `expected`, the rest of the block with
// 0xFF. The ECC counters are the whole chip's, so a read of another
// partition may raise them meanwhile: when they say uncorrectable, the
// block is read again, and it fails only when that read says so too (else
// the "did not repeat" line). Returns 0 when the block holds the data,
// counting it in `corrected_blocks` when ECC corrected bitflips; 1 after
// the "Verify failed" line when its bytes differ or both reads were
// uncorrectable: the block is worn; -1 after the "Read back of block" line
// with the reason when a seek or read failed: that is no report on the
// block, and the run stops.
int read_back(MtdDevice& device, WriteContext& context, uint64_t offset, const uint8_t* expected, size_t size,
              uint32_t erasesize);
