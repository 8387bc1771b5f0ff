// The chip's settings from the environment, read into `sim` on first use.
#pragma once

#include "state.h"

namespace mtdsim::preload {

// Reads the settings and opens the simulator's own files; only the first
// call does anything. Every entry point that may concern the device calls it.
void load_settings();

}  // namespace mtdsim::preload
