// The device of a dry run, around a real one: the read-only requests
// (geometry, bad-block queries, seeks, reads, ECC statistics, the lock) go
// through; unlocks, erases, writes and bad-block marks are only recorded,
// never passed on, and succeed, but for a write the kernel would refuse
// whatever the chip: one whose offset or length is not a multiple of the
// write size fails with EINVAL, as on NAND and NOR. The installer's own
// phases run against it to find out, before the flash is touched, what they
// would do (the check before writing, drimlet-inspect plan).
#pragma once

#include <cstdint>
#include <vector>

#include "device/mtd_device.h"

struct PlannedWrite {
    uint64_t offset;
    uint64_t size;
};

struct Recorder {
    MtdDevice* inner = nullptr;        // opened by the caller
    uint64_t position = 0;             // where the next recorded write would land
    uint32_t writesize = 0;            // the inner device's; when 0, asked at the first write
    std::vector<PlannedWrite> writes;  // the writes it accepted, in order
    std::vector<uint64_t> erases;
    std::vector<uint64_t> queries;  // bad-block queries, in order
    std::vector<uint64_t> marks;    // blocks the run would mark bad
};

// A device whose requests go to `recorder` (which must outlive it). Opening
// it opens the inner device read-only.
MtdDevice recording_device(Recorder& recorder);
