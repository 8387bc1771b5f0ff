#include "flash/retire_block.h"

#include "common/messages.h"

namespace {
const char kMarkedFormat[] = "Marked block at %08lx bad\n";
const char kMarkFailedFormat[] = "Failed to mark block at %08lx bad\n";
const char kTooManyFailures[] = "Too many failing blocks: is the chip write-protected?\n";
}  // namespace

int retire_block(MtdDevice& device, WriteContext& context, uint64_t offset) {
    if (context.marks_tried >= kMarkLimit) {
        print_fixed(kTooManyFailures);
        return -1;
    }
    ++context.marks_tried;
    if (mtd_mark_bad(device, offset) != 0) {
        print_message(kMarkFailedFormat, static_cast<unsigned long>(offset));
        return 0;
    }
    print_message(kMarkedFormat, static_cast<unsigned long>(offset));
    context.marked.push_back(offset);
    return 1;
}

bool marked_this_run(const WriteContext& context, uint64_t offset) {
    for (uint64_t marked : context.marked)
        if (marked == offset) return true;
    return false;
}
