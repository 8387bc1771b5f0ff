#include "flash/block_ops.h"

#include <cerrno>
#include <cstdio>

#include "flash/mtd_device.h"

namespace {
const char kBadBlockFormat[] = "Bad block at %08lx, skipping...\n";
const char kEraseFailedFormat[] = "Erase failed at %08lx, skipping...\n";
}  // namespace

int check_block_good(int device_fd, uint64_t offset) {
    if (mtd_block_is_bad(device_fd, offset) == 0) return 0;
    fprintf(stderr, kBadBlockFormat, static_cast<unsigned long>(offset));
    return -1;
}

int erase_block(int device_fd, uint32_t offset, uint32_t erasesize) {
    mtd_unlock(device_fd, offset, erasesize);
    if (mtd_erase(device_fd, offset, erasesize) == 0) return 0;
    fprintf(stderr, kEraseFailedFormat, static_cast<unsigned long>(offset));
    return -1;
}

long program_at(int device_fd, uint64_t offset, const uint8_t* data, size_t size) {
    if (mtd_seek(device_fd, offset) != 0) return -1;
    size_t done = 0;
    while (done < size) {
        long written = mtd_write(device_fd, data + done, size - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return -1;
        done += static_cast<size_t>(written);
    }
    return static_cast<long>(size);
}
