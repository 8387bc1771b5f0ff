#include "flash/read_back.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "common/messages.h"
#include "flash/block_ops.h"

namespace {
const char kVerifyFailedFormat[] = "Verify failed at %08lx, skipping...\n";
const char kReadFailedFormat[] = "Read back of block at %08lx failed\n";
const char kNotRepeatedFormat[] = "Uncorrectable ECC error at %08lx did not repeat\n";

// A device without ECC statistics still has its data compared; it is asked
// once, not before every block.
bool ecc_snapshot(MtdDevice& device, WriteContext& context, mtd_ecc_stats& stats) {
    if (context.ecc_unanswered) return false;
    if (mtd_get_ecc_stats(device, stats) == 0) return true;
    context.ecc_unanswered = true;
    return false;
}

bool holds(const uint8_t* got, const uint8_t* expected, size_t size, uint32_t erasesize) {
    if (memcmp(got, expected, size) != 0) return false;
    for (size_t i = size; i < erasesize; ++i)
        if (got[i] != 0xFF) return false;
    return true;
}

int stop(uint64_t offset) {
    const int error = errno;
    print_message(kReadFailedFormat, static_cast<unsigned long>(offset));
    report_reason(error);
    return -1;
}
}  // namespace

int start_verifying(WriteContext& context, uint32_t erasesize) {
    context.readback.reset(new (std::nothrow) uint8_t[erasesize]);
    context.verify = context.readback != nullptr;
    return context.verify ? 0 : -1;
}

int read_counted(MtdDevice& device, WriteContext& context, uint64_t offset, uint8_t* into, size_t size,
                 EccEvents& events) {
    events = EccEvents{};
    mtd_ecc_stats before{}, after{};
    const bool counted = ecc_snapshot(device, context, before);
    if (read_at(device, offset, into, size) != 0) return -1;
    if (counted && ecc_snapshot(device, context, after)) {
        // They only grow, and 32-bit differences survive a wrap.
        events.uncorrectable = after.failed != before.failed;
        events.corrected = after.corrected != before.corrected;
    }
    return 0;
}

int read_back(MtdDevice& device, WriteContext& context, uint64_t offset, const uint8_t* expected, size_t size,
              uint32_t erasesize) {
    uint8_t* got = context.readback.get();
    EccEvents events;
    if (read_counted(device, context, offset, got, erasesize, events) != 0) return stop(offset);
    bool same = holds(got, expected, size, erasesize);
    bool corrected = events.corrected;
    if (same && events.uncorrectable) {
        if (read_counted(device, context, offset, got, erasesize, events) != 0) return stop(offset);
        same = holds(got, expected, size, erasesize);
        corrected = corrected || events.corrected;
        if (same && !events.uncorrectable)
            print_message(kNotRepeatedFormat, static_cast<unsigned long>(offset));
    }
    if (!same || events.uncorrectable) {
        print_message(kVerifyFailedFormat, static_cast<unsigned long>(offset));
        return 1;
    }
    if (corrected) ++context.corrected_blocks;
    return 0;
}
