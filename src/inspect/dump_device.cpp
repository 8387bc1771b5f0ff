#include "inspect/dump_device.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

DumpFile& dump_of(MtdDevice& device) { return *static_cast<DumpFile*>(device.context); }

int fail(int error) {
    errno = error;
    return -1;
}

int open_file(MtdDevice& device, const char* path, bool) {
    // Read-only, always: nothing drimlet-inspect does may change the dump.
    device.fd = open(path, O_RDONLY | O_CLOEXEC);
    if (device.fd < 0) return -1;
    struct stat status {};
    if (fstat(device.fd, &status) != 0) return -1;
    dump_of(device).size = static_cast<uint64_t>(status.st_size);
    dump_of(device).position = 0;
    return 0;
}

int close_file(MtdDevice& device) {
    int result = close(device.fd);
    device.fd = -1;
    return result;
}

int get_info(MtdDevice& device, mtd_info_user& info) {
    DumpFile& dump = dump_of(device);
    if (dump.geometry.erasesize == 0 || dump.geometry.writesize == 0) return fail(EINVAL);
    info = mtd_info_user{};
    info.type = MTD_NANDFLASH;
    info.size = static_cast<uint32_t>(dump.size);  // the request's field is 32 bits wide
    info.erasesize = dump.geometry.erasesize;
    info.writesize = dump.geometry.writesize;
    return 0;
}

int block_is_bad(MtdDevice& device, uint64_t offset) {
    DumpFile& dump = dump_of(device);
    if (offset >= dump.size || dump.geometry.erasesize == 0) return fail(EINVAL);
    const uint64_t block = offset / dump.geometry.erasesize;
    for (const BadRange& range : dump.geometry.bad_ranges)
        if (block >= range.first && block <= range.last) return 1;
    return 0;
}

int refuse_erase(MtdDevice&, uint32_t, uint32_t) { return fail(EROFS); }

int refuse_mark(MtdDevice&, uint64_t) { return fail(EROFS); }

long refuse_write(MtdDevice&, const uint8_t*, size_t) { return fail(EROFS); }

int seek(MtdDevice& device, uint64_t offset) {
    dump_of(device).position = offset;
    return 0;
}

long read_some(MtdDevice& device, uint8_t* into, size_t size) {
    DumpFile& dump = dump_of(device);
    ssize_t got = pread(device.fd, into, size, static_cast<off_t>(dump.position));
    if (got > 0) dump.position += static_cast<uint64_t>(got);
    return static_cast<long>(got);
}

int no_ecc(MtdDevice&, mtd_ecc_stats&) { return fail(EOPNOTSUPP); }

int total_size(MtdDevice& device, uint64_t& size) {
    size = dump_of(device).size;
    return 0;
}

// A flash file that mtdsim serves as a device is locked through that
// device; a look at it as a dump waits its turn the same way.
int lock(MtdDevice& device, bool exclusive) {
    return flock(device.fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
}

}  // namespace

int64_t bad_block_past(const DumpGeometry& geometry, uint64_t blocks) {
    int64_t past = -1;
    for (const BadRange& range : geometry.bad_ranges)
        if (range.last >= blocks && (past < 0 || range.last < past)) past = range.last;
    return past;
}

bool is_regular_file(const char* path) {
    struct stat status {};
    return stat(path, &status) == 0 && S_ISREG(status.st_mode);
}

MtdDevice dump_device(DumpFile& dump) {
    MtdDevice device{open_file,    close_file, get_info, block_is_bad, refuse_erase, refuse_erase, seek,
                     refuse_write, read_some,  no_ecc,   total_size,   refuse_mark,  lock};
    device.context = &dump;
    return device;
}
