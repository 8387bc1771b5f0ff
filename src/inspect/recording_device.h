// drimlet-inspect's guard around a real device: the read-only requests
// (geometry, bad-block queries, seeks, reads, ECC statistics) go through;
// unlocks, erases, writes and bad-block marks are only recorded, never
// passed on. The installer's own phases run against it to show what they
// would do.
#pragma once

#include <cstdint>
#include <vector>

#include "device/mtd_device.h"

struct PlannedWrite {
    uint64_t offset;
    uint64_t size;
};

struct Recorder {
    MtdDevice* inner = nullptr;  // opened read-only by the caller
    uint64_t position = 0;       // where the next recorded write would land
    std::vector<PlannedWrite> writes;
    std::vector<uint64_t> erases;
    std::vector<uint64_t> queries;  // bad-block queries, in order
    std::vector<uint64_t> marks;    // blocks the run would mark bad
};

// A device whose requests go to `recorder` (which must outlive it).
MtdDevice recording_device(Recorder& recorder);
