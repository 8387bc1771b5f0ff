#include "flash/block_ops.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/messages.h"

namespace {
const char kBadBlockFormat[] = "Bad block at %08lx, skipping...\n";
const char kEraseFailedFormat[] = "Erase failed at %08lx, skipping...\n";
const char kEraseStoppedFormat[] = "Erase of block at %08lx failed\n";
const char kWriteFailedFormat[] = "Write failed at %08lx, skipping...\n";
const char kReasonFormat[] = "%s\n";
const char kNoProgress[] = "No progress";

int request_erase(MtdDevice& device, uint32_t offset, uint32_t erasesize) {
    mtd_unlock(device, offset, erasesize);
    return mtd_erase(device, offset, erasesize);
}
}  // namespace

int check_block_good(MtdDevice& device, uint64_t offset) {
    if (mtd_block_is_bad(device, offset) == 0) return 0;
    report_bad_block(offset);
    return -1;
}

void report_bad_block(uint64_t offset) { print_message(kBadBlockFormat, static_cast<unsigned long>(offset)); }

void report_reason(int error) { print_message(kReasonFormat, error == 0 ? kNoProgress : strerror(error)); }

int erase_block(MtdDevice& device, uint32_t offset, uint32_t erasesize) {
    if (request_erase(device, offset, erasesize) == 0) return 0;
    const int error = errno;
    if (error == EIO) {
        print_message(kEraseFailedFormat, static_cast<unsigned long>(offset));
        return 1;
    }
    print_message(kEraseStoppedFormat, static_cast<unsigned long>(offset));
    report_reason(error);
    return -1;
}

int erase_again(MtdDevice& device, uint32_t offset, uint32_t erasesize) {
    if (request_erase(device, offset, erasesize) == 0) return 0;
    const int error = errno;
    print_message(kEraseStoppedFormat, static_cast<unsigned long>(offset));
    report_reason(error);
    return -1;
}

long program_at(MtdDevice& device, uint64_t offset, const uint8_t* data, size_t size, ProgramFault& fault,
                int& error) {
    fault = kSeekFailed;
    error = 0;
    if (mtd_seek(device, offset) != 0) {
        error = errno;
        return -1;
    }
    size_t done = 0;
    while (done < size) {
        long written = mtd_write(device, data + done, size - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error = written < 0 ? errno : 0;
            fault = error == EIO ? kChipFailed : kRequestFailed;
            return -1;
        }
        done += static_cast<size_t>(written);
    }
    return static_cast<long>(size);
}

void report_write_failed(uint64_t offset) {
    print_message(kWriteFailedFormat, static_cast<unsigned long>(offset));
}

int read_at(MtdDevice& device, uint64_t offset, uint8_t* into, size_t size) {
    if (mtd_seek(device, offset) != 0) return -1;
    size_t done = 0;
    while (done < size) {
        long got = mtd_read(device, into + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (got == 0) errno = 0;
            return -1;
        }
        done += static_cast<size_t>(got);
    }
    return 0;
}
