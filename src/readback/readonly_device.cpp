#include "readback/readonly_device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "flash/mtd_device.h"

InspectDevice& inspect_device() {
    static InspectDevice device;
    return device;
}

int read_flash(uint64_t offset, uint8_t* into, size_t size) {
    InspectDevice& device = inspect_device();
    size_t done = 0;
    while (done < size) {
        ssize_t got = pread(device.fd, into + done, size - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            fprintf(stderr, "drimlet-inspect: read of %zu bytes at 0x%08llx failed: %s\n", size - done,
                    static_cast<unsigned long long>(offset) + done,
                    got < 0 ? strerror(errno) : "end of flash");
            return -1;
        }
        done += static_cast<size_t>(got);
    }
    return 0;
}

int mtd_open(const char* path) {
    InspectDevice& device = inspect_device();
    // Read-only, always: nothing this program does may change the flash.
    device.fd = open(path, O_RDONLY);
    if (device.fd < 0) return -1;
    // An MTD device answers MEMGETINFO; a regular file that does not is a dump.
    mtd_info_user info{};
    struct stat status {};
    device.is_dump =
        ioctl(device.fd, MEMGETINFO, &info) < 0 && fstat(device.fd, &status) == 0 && S_ISREG(status.st_mode);
    if (device.is_dump) {
        device.info.type = MTD_NANDFLASH;
        device.info.size = static_cast<uint32_t>(status.st_size);
        device.info.erasesize = device.dump.erasesize;
        device.info.writesize = device.dump.writesize;
    }
    return device.fd;
}

int mtd_close(int fd) { return close(fd); }

int mtd_get_info(int fd, mtd_info_user& info) {
    InspectDevice& device = inspect_device();
    if (device.is_dump) {
        if (device.info.erasesize == 0) {
            errno = EINVAL;
            return -1;
        }
        info = device.info;
        return 0;
    }
    if (ioctl(fd, MEMGETINFO, &info) < 0) return -1;
    device.info = info;
    return 0;
}

int mtd_block_is_bad(int fd, uint64_t offset) {
    InspectDevice& device = inspect_device();
    device.queries.push_back(offset);
    if (!device.is_dump) {
        int64_t where = static_cast<int64_t>(offset);
        return ioctl(fd, MEMGETBADBLOCK, &where);
    }
    if (offset >= device.info.size) {
        errno = EINVAL;
        return -1;
    }
    return device.dump.bad_blocks.count(static_cast<uint32_t>(offset / device.info.erasesize)) ? 1 : 0;
}

int mtd_unlock(int, uint32_t, uint32_t) { return 0; }

int mtd_erase(int, uint32_t offset, uint32_t) {
    inspect_device().erases.push_back(offset);
    return 0;
}

int mtd_seek(int, uint64_t offset) {
    inspect_device().position = offset;
    return 0;
}

long mtd_write(int, const uint8_t*, size_t size) {
    InspectDevice& device = inspect_device();
    device.writes.push_back(PlannedWrite{device.position, size});
    device.position += size;
    return static_cast<long>(size);
}
