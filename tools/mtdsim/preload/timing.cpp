// How long the chip stays busy: with MTDSIM_T_PROG, MTDSIM_T_READ or
// MTDSIM_T_ERASE set, each request sleeps for its pages or blocks and its
// log line says how long. Without them nothing sleeps and lines stay bare.

#include "timing.h"

#include <errno.h>
#include <stdio.h>
#include <time.h>

#include "state.h"

namespace mtdsim::preload {

namespace {
uint64_t now_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

// A sleep may end hundreds of microseconds late on a busy or virtual
// machine, which would make every reader look slower than the chip.
// Waiting on the clock ends on time, at the price of a busy CPU.
void wait_exactly(uint64_t microseconds) {
    const uint64_t until = now_ns() + microseconds * 1000;
    while (now_ns() < until) {
    }
}
}  // namespace

// The chip is busy for this long; sleeping leaves the CPU to others, as a
// controller that waits on an interrupt or DMA does.
uint64_t chip_busy(uint64_t microseconds) {
    if (!sim.timing || microseconds == 0) return 0;
    if (sim.exact) {
        wait_exactly(microseconds);
        return microseconds;
    }
    timespec left{static_cast<time_t>(microseconds / 1000000),
                  static_cast<long>(microseconds % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return microseconds;
}

// " busy US" on the log line of a request that kept the chip busy.
void busy_suffix(char* out, size_t size, uint64_t microseconds) {
    if (sim.timing)
        snprintf(out, size, " busy %llu", static_cast<unsigned long long>(microseconds));
    else if (size)
        out[0] = '\0';
}

}  // namespace mtdsim::preload
