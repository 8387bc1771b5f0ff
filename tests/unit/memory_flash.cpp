#include "memory_flash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
MemoryFlash& flash_of(MtdDevice& device) { return *static_cast<MemoryFlash*>(device.context); }

int fail(int error) {
    errno = error;
    return -1;
}

void note(MemoryFlash& flash, const char* format, unsigned long long a, unsigned long long b, long result) {
    char line[96];
    snprintf(line, sizeof line, format, a, b, result);
    flash.log.emplace_back(line);
}
}  // namespace

void attach_memory_flash(MemoryFlash& flash, uint32_t size, uint32_t erasesize, uint32_t writesize) {
    flash.info.type = MTD_NANDFLASH;
    flash.info.size = size;
    flash.info.erasesize = erasesize;
    flash.info.writesize = writesize;
    flash.bytes.assign(size, 0xFF);
}

namespace {
int open_flash(MtdDevice&, const char* path, bool) {
    return strcmp(path, kMemoryFlashPath) == 0 ? 0 : fail(ENOENT);
}

int close_flash(MtdDevice&) { return 0; }

int get_info(MtdDevice& device, mtd_info_user& info) {
    MemoryFlash& flash = flash_of(device);
    if (flash.fail_info) return fail(ENOTTY);
    info = flash.info;
    return 0;
}

int block_is_bad(MtdDevice& device, uint64_t offset) {
    MemoryFlash& flash = flash_of(device);
    uint32_t block = static_cast<uint32_t>(offset / flash.info.erasesize);
    int result = offset >= flash.info.size || flash.fail_query.count(block) ? -1
                 : flash.bad_blocks.count(block)                            ? 1
                                                                            : 0;
    note(flash, "isbad %llu%.0llu -> %ld", block, 0, result);
    return result < 0 ? fail(EINVAL) : result;
}

int unlock(MtdDevice& device, uint32_t, uint32_t) {
    flash_of(device).log.emplace_back("unlock");
    return fail(524);
}

int erase(MtdDevice& device, uint32_t offset, uint32_t length) {
    MemoryFlash& flash = flash_of(device);
    const uint32_t e = flash.info.erasesize;
    uint32_t block = offset / e;
    bool refused = offset % e || length != e || uint64_t{offset} + length > flash.info.size ||
                   flash.bad_blocks.count(block) || flash.fail_erase.count(block);
    note(flash, "erase %llu%.0llu -> %ld", block, 0, refused ? -1 : 0);
    if (refused) return fail(EIO);
    memset(flash.bytes.data() + offset, 0xFF, length);
    return 0;
}

int seek(MtdDevice& device, uint64_t offset) {
    MemoryFlash& flash = flash_of(device);
    bool refused = flash.fail_seek || offset > flash.info.size;
    note(flash, "seek %llu%.0llu -> %ld", offset, 0, refused ? -1 : 0);
    if (refused) return fail(EINVAL);
    flash.position = offset;
    return 0;
}

long write_some(MtdDevice& device, const uint8_t* data, size_t size) {
    MemoryFlash& flash = flash_of(device);
    const uint32_t page = flash.info.writesize ? flash.info.writesize : 1;
    const uint64_t at = flash.position;
    const uint32_t block = static_cast<uint32_t>(at / flash.info.erasesize);
    long result;
    if (flash.eintr_writes > 0) {
        --flash.eintr_writes;
        result = fail(EINTR);
    } else if (at % page || size % page || at + size > flash.info.size || flash.fail_write.count(block)) {
        result = fail(EIO);
    } else {
        size_t take = flash.zero_write ? 0 : size;
        if (flash.short_write && take > flash.short_write) take = flash.short_write;
        uint8_t* cells = flash.bytes.data() + at;
        for (size_t start = 0; start < take; start += page) {
            for (size_t i = start; i < start + page; ++i)
                if (cells[i] != 0xFF) {
                    ++flash.violations;  // programming a page that is not erased
                    break;
                }
            for (size_t i = start; i < start + page; ++i) cells[i] &= data[i];
        }
        if (take && flash.corrupt_write.count(block)) cells[0] ^= 0x01;
        if (take && flash.bad_blocks.count(block)) ++flash.violations;
        flash.position += take;
        result = static_cast<long>(take);
    }
    note(flash, "write %llu %llu -> %ld", at, size, result);
    return result;
}

long read_some(MtdDevice& device, uint8_t* into, size_t size) {
    MemoryFlash& flash = flash_of(device);
    const uint64_t at = flash.position;
    const size_t take = at >= flash.bytes.size() ? 0 : std::min<size_t>(size, flash.bytes.size() - at);
    memcpy(into, flash.bytes.data() + at, take);
    const uint32_t block = static_cast<uint32_t>(at / flash.info.erasesize);
    if (take && flash.ecc_fail.count(block)) ++flash.ecc.failed;
    if (take && flash.bitflips.count(block)) ++flash.ecc.corrected;
    flash.position += take;
    note(flash, "read %llu %llu -> %ld", at, size, static_cast<long>(take));
    return static_cast<long>(take);
}

int ecc_stats(MtdDevice& device, mtd_ecc_stats& stats) {
    stats = flash_of(device).ecc;
    return 0;
}
int total_size(MtdDevice& device, uint64_t& size) {
    size = flash_of(device).info.size;
    return 0;
}

int mark_bad(MtdDevice& device, uint64_t offset) {
    MemoryFlash& flash = flash_of(device);
    uint32_t block = static_cast<uint32_t>(offset / flash.info.erasesize);
    int error = flash.cannot_mark              ? EOPNOTSUPP
                : offset >= flash.info.size    ? EINVAL
                : flash.fail_mark.count(block) ? EIO
                                               : 0;
    note(flash, "markbad %llu%.0llu -> %ld", block, 0, error ? -1 : 0);
    if (error) return fail(error);
    flash.bad_blocks.insert(block);
    return 0;
}

int lock(MtdDevice& device, bool exclusive) {
    MemoryFlash& flash = flash_of(device);
    flash.log.emplace_back(exclusive ? "lock exclusive" : "lock shared");
    return flash.locked_elsewhere ? fail(EWOULDBLOCK) : 0;
}
}  // namespace

MtdDevice memory_flash_device(MemoryFlash& flash) {
    MtdDevice device{open_flash, close_flash, get_info,  block_is_bad, unlock,   erase, seek,
                     write_some, read_some,   ecc_stats, total_size,   mark_bad, lock};
    device.context = &flash;
    return device;
}
