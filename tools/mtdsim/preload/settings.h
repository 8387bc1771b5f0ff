// The chip's settings from the environment, read into `sim` on first use.
#pragma once

#include "state.h"

namespace mtdsim::preload {

// Reads the settings and opens the simulator's own files; only the first
// call does anything. Every entry point that may concern the device calls it.
void load_settings();

// Appends the block list in environment variable `name` ("28,100-120", with
// `with_value` "3:2,10-12:4", a missing value being `default_value`) to `list`.
void parse_list(const char* name, RangeList& list, bool with_value = false, uint32_t default_value = 1);

}  // namespace mtdsim::preload
