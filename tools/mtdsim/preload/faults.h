// Injected faults and the power cut, by request index.
#pragma once

#include "state.h"

namespace mtdsim::preload {

// MTDSIM_FAULTS: "index:kind,index:kind", kinds eio, eintr, short, zero.
void parse_faults();
// MTDSIM_CUT: "index" or "index:pages".
void parse_cut();

// Counts the request being handled; the fault it meets, if any. Sets
// sim.cut_now when the power goes at this request.
FaultKind next_request();

// Logs the cut, tells the wrapper (MTDSIM_CUT_REPORT) and kills the process.
[[noreturn]] void power_cut(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace mtdsim::preload
