#include "device/recording_device.h"

#include <cerrno>

namespace {

Recorder& recorder_of(MtdDevice& device) { return *static_cast<Recorder*>(device.context); }

int open_read_only(MtdDevice& device, const char* path, bool) {
    return mtd_open(*recorder_of(device).inner, path, true);
}

int close_inner(MtdDevice& device) { return mtd_close(*recorder_of(device).inner); }

int get_info(MtdDevice& device, mtd_info_user& info) {
    return mtd_get_info(*recorder_of(device).inner, info);
}

int block_is_bad(MtdDevice& device, uint64_t offset) {
    Recorder& recorder = recorder_of(device);
    recorder.queries.push_back(offset);
    return mtd_block_is_bad(*recorder.inner, offset);
}

int unlock(MtdDevice&, uint32_t, uint32_t) { return 0; }

int erase(MtdDevice& device, uint32_t offset, uint32_t) {
    recorder_of(device).erases.push_back(offset);
    return 0;
}

// A seek is only noted: most lead to a write that never happens, and the
// device's own position matters to reads alone.
int seek(MtdDevice& device, uint64_t offset) {
    recorder_of(device).position = offset;
    return 0;
}

// The write size the kernel holds writes to: NOR's 1 takes anything. A
// device that cannot tell is taken as NOR: refusing would stop a run that
// the device itself might accept.
uint32_t write_unit(Recorder& recorder) {
    if (recorder.writesize == 0) {
        mtd_info_user info{};
        recorder.writesize = mtd_get_info(*recorder.inner, info) == 0 && info.writesize ? info.writesize : 1;
    }
    return recorder.writesize;
}

long write_nothing(MtdDevice& device, const uint8_t*, size_t size) {
    Recorder& recorder = recorder_of(device);
    const uint32_t unit = write_unit(recorder);
    if (recorder.position % unit != 0 || size % unit != 0) {
        errno = EINVAL;
        return -1;
    }
    recorder.writes.push_back(PlannedWrite{recorder.position, size});
    recorder.position += size;
    return static_cast<long>(size);
}

long read_some(MtdDevice& device, uint8_t* into, size_t size) {
    Recorder& recorder = recorder_of(device);
    if (mtd_seek(*recorder.inner, recorder.position) != 0) return -1;
    const long got = mtd_read(*recorder.inner, into, size);
    if (got > 0) recorder.position += static_cast<uint64_t>(got);
    return got;
}

int ecc_stats(MtdDevice& device, mtd_ecc_stats& stats) {
    return mtd_get_ecc_stats(*recorder_of(device).inner, stats);
}

int total_size(MtdDevice& device, uint64_t& size) { return mtd_total_size(*recorder_of(device).inner, size); }

int mark_nothing(MtdDevice& device, uint64_t offset) {
    recorder_of(device).marks.push_back(offset);
    return 0;
}

int lock(MtdDevice& device, bool exclusive) { return mtd_lock(*recorder_of(device).inner, exclusive); }

}  // namespace

MtdDevice recording_device(Recorder& recorder) {
    MtdDevice device{open_read_only, close_inner, get_info,  block_is_bad, unlock,       erase, seek,
                     write_nothing,  read_some,   ecc_stats, total_size,   mark_nothing, lock};
    device.context = &recorder;
    return device;
}
