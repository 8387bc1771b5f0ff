// The MTD device requests on a real Linux kernel, one system call each.
#include "device/mtd_device_linux.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

int open_device(MtdDevice& device, const char* path, bool read_only) {
    // Not handed on to a program the install may start (a progress reader).
    device.fd = open(path, (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC);
    return device.fd < 0 ? -1 : 0;
}

int close_device(MtdDevice& device) {
    int result = close(device.fd);
    device.fd = -1;
    return result;
}

int get_info(MtdDevice& device, mtd_info_user& info) {
    return ioctl(device.fd, MEMGETINFO, &info) < 0 ? -1 : 0;
}

int block_is_bad(MtdDevice& device, uint64_t offset) {
    int64_t where = static_cast<int64_t>(offset);  // the kernel reads a 64-bit loff_t
    return ioctl(device.fd, MEMGETBADBLOCK, &where);
}

int erase_request(int fd, unsigned long request, uint32_t offset, uint32_t length) {
    erase_info_user range{};
    range.start = offset;
    range.length = length;
    return ioctl(fd, request, &range) < 0 ? -1 : 0;
}

int unlock(MtdDevice& device, uint32_t offset, uint32_t length) {
    return erase_request(device.fd, MEMUNLOCK, offset, length);
}

int erase(MtdDevice& device, uint32_t offset, uint32_t length) {
    return erase_request(device.fd, MEMERASE, offset, length);
}

int seek(MtdDevice& device, uint64_t offset) {
    return lseek(device.fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? -1 : 0;
}

long write_some(MtdDevice& device, const uint8_t* data, size_t size) {
    return static_cast<long>(write(device.fd, data, size));
}

long read_some(MtdDevice& device, uint8_t* into, size_t size) {
    return static_cast<long>(read(device.fd, into, size));
}

int ecc_stats(MtdDevice& device, mtd_ecc_stats& stats) {
    return ioctl(device.fd, ECCGETSTATS, &stats) < 0 ? -1 : 0;
}

// sysfs holds the 64-bit size: /sys/class/mtd/mtdN/size, where /dev/mtdN
// has minor 2N (and /dev/mtdNro 2N + 1). Fails without it (no sysfs, or
// not a character device): MEMGETINFO's size is then all there is.
int total_size(MtdDevice& device, uint64_t& size) {
    struct stat node {};
    if (fstat(device.fd, &node) == 0 && S_ISCHR(node.st_mode)) {
        char path[64];
        snprintf(path, sizeof path, "/sys/class/mtd/mtd%u/size", minor(node.st_rdev) / 2);
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            char text[32] = {};
            ssize_t got = read(fd, text, sizeof text - 1);
            close(fd);
            char* end = nullptr;
            unsigned long long value = got > 0 ? strtoull(text, &end, 10) : 0;
            if (got > 0 && end != text && (*end == '\n' || *end == '\0')) {
                size = value;
                return 0;
            }
        }
    }
    return -1;
}

int mark_bad(MtdDevice& device, uint64_t offset) {
    int64_t where = static_cast<int64_t>(offset);  // a 64-bit loff_t, as for MEMGETBADBLOCK
    return ioctl(device.fd, MEMSETBADBLOCK, &where) < 0 ? -1 : 0;
}

int lock(MtdDevice& device, bool exclusive) {
    return flock(device.fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
}

}  // namespace

MtdDevice linux_mtd_device() {
    MtdDevice device{open_device, close_device, get_info,  block_is_bad, unlock,   erase, seek,
                     write_some,  read_some,    ecc_stats, total_size,   mark_bad, lock};
    return device;
}
