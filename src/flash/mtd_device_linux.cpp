// The MTD device requests on a real Linux kernel.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "flash/mtd_device.h"

int mtd_open(const char* path) { return open(path, O_RDWR); }

int mtd_close(int fd) { return close(fd); }

int mtd_get_info(int fd, mtd_info_user& info) { return ioctl(fd, MEMGETINFO, &info) < 0 ? -1 : 0; }

int mtd_block_is_bad(int fd, uint64_t offset) {
    int64_t where = static_cast<int64_t>(offset);  // the kernel reads a 64-bit loff_t
    return ioctl(fd, MEMGETBADBLOCK, &where);
}

static int erase_request(int fd, unsigned long request, uint32_t offset, uint32_t length) {
    erase_info_user range{};
    range.start = offset;
    range.length = length;
    return ioctl(fd, request, &range) < 0 ? -1 : 0;
}

int mtd_unlock(int fd, uint32_t offset, uint32_t length) {
    return erase_request(fd, MEMUNLOCK, offset, length);
}

int mtd_erase(int fd, uint32_t offset, uint32_t length) {
    return erase_request(fd, MEMERASE, offset, length);
}

int mtd_seek(int fd, uint64_t offset) { return lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0 ? -1 : 0; }

long mtd_write(int fd, const uint8_t* data, size_t size) { return static_cast<long>(write(fd, data, size)); }
