// The NAND model over the flash file: pages, erase, program, read, ECC.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "state.h"

namespace mtdsim::preload {

// What the chip says about itself (MEMGETINFO, sysfs).
uint32_t oob_size();
const char* type_name();
uint32_t cap_flags();

uint64_t block_of(uint64_t offset);
uint64_t page_of(uint64_t offset);

// Bad blocks: the --bad list and the blocks marked bad (MEMSETBADBLOCK),
// which stay bad for every later request and, through the page state file,
// for later runs on the same flash.
bool block_is_bad(uint64_t block);
// Marks `block` bad; a block already bad stays as it is. 0, or -1 when the
// mark cannot be kept.
int mark_block_bad(uint64_t block);
// Bad blocks inside the chip, each counted once (ECCGETSTATS, sysfs).
uint32_t bad_block_count();

// Page state: programmed since its block's last erase.
bool page_programmed(uint64_t page);
void mark_programmed(uint64_t first, uint64_t count);
void mark_erased(uint64_t first, uint64_t count);

// Reads flash bytes; a hole of a sparse flash file reads as 0xFF. 0, or -1.
int read_cells(uint8_t* into, size_t count, uint64_t at);
// Sets `length` bytes at `start` to erased flash. 0, or -1.
int erase_cells(uint64_t start, uint64_t length);
// Programs whole pages; see nand.cpp. Returns the bytes programmed, -1 when the file fails.
ssize_t program(const uint8_t* data, size_t count, uint64_t position, int& error);
// Adds the ECC events of reading pages first..last to the counts and to the shared counters.
// A page programmed since its last erase in a --ecc-fail-written block counts an uncorrectable error.
void count_ecc(uint64_t first, uint64_t last, uint32_t& corrected, uint32_t& failed);

}  // namespace mtdsim::preload
