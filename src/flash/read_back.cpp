#include "flash/read_back.h"

#include <cstring>
#include <new>

#include "common/messages.h"
#include "flash/block_ops.h"

namespace {
const char kVerifyFailedFormat[] = "Verify failed at %08lx, skipping...\n";

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
}  // namespace

int start_verifying(WriteContext& context, uint32_t erasesize) {
    context.readback.reset(new (std::nothrow) uint8_t[erasesize]);
    context.verify = context.readback != nullptr;
    return context.verify ? 0 : -1;
}

int read_back(MtdDevice& device, WriteContext& context, uint64_t offset, const uint8_t* expected, size_t size,
              uint32_t erasesize) {
    mtd_ecc_stats before{}, after{};
    const bool counted = ecc_snapshot(device, context, before);
    bool good = read_at(device, offset, context.readback.get(), erasesize) == 0;
    bool corrected = false;
    if (counted && ecc_snapshot(device, context, after)) {
        // A read returns the data even when ECC could not correct it; only
        // the counters tell. They only grow, and 32-bit differences survive a wrap.
        if (after.failed != before.failed) good = false;
        corrected = after.corrected != before.corrected;
    }
    if (!good || !holds(context.readback.get(), expected, size, erasesize)) {
        print_message(kVerifyFailedFormat, static_cast<unsigned long>(offset));
        return -1;
    }
    if (corrected) ++context.corrected_blocks;
    return 0;
}
