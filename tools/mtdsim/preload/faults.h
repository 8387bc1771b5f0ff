// Injected faults and the power cut, by request index.
#pragma once

#include "state.h"

namespace mtdsim::preload {

// Reads the injected faults from the environment into `sim`: the block and
// page lists (MTDSIM_FAIL_*, MTDSIM_BITFLIPS, MTDSIM_ECC_FAIL*,
// MTDSIM_CORRUPT_WRITE, MTDSIM_WEAK*), a fault per
// request index (MTDSIM_FAULTS) and the power cut (MTDSIM_CUT).
void load_faults();

// Whether an erase of `block` (a program of `page`) wears it out now: false
// while a --weak (--weak-page) entry still allows it, counting it down;
// true once its count is spent and for ever after. Counts start anew in
// each process, as nandsim's start with each load of the module.
bool weak_erase_fails(uint64_t block);
bool weak_program_fails(uint64_t page);

// Counts the request being handled; the fault it meets, if any. Sets
// sim.cut_now when the power goes at this request.
FaultKind next_request();

// Logs the cut, tells the wrapper (MTDSIM_CUT_REPORT) and kills the process.
[[noreturn]] void power_cut(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace mtdsim::preload
