// How long the chip stays busy for a request.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace mtdsim::preload {

// Sleeps `microseconds` when timing is on; returns the time slept (0 when off).
uint64_t chip_busy(uint64_t microseconds);
// " busy US" when timing is on, else "".
void busy_suffix(char* out, size_t size, uint64_t microseconds);

}  // namespace mtdsim::preload
