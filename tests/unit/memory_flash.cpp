#include "memory_flash.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "flash/mtd_device.h"

namespace {
MemoryFlash* g_flash = nullptr;

MemoryFlash* flash_for(int fd) { return fd == kMemoryFlashFd ? g_flash : nullptr; }

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
    g_flash = &flash;
}

void detach_memory_flash() { g_flash = nullptr; }

int mtd_open(const char* path) {
    if (!g_flash || strcmp(path, kMemoryFlashPath) != 0) return fail(ENOENT);
    return kMemoryFlashFd;
}

int mtd_close(int fd) { return flash_for(fd) ? 0 : fail(EBADF); }

int mtd_get_info(int fd, mtd_info_user& info) {
    MemoryFlash* flash = flash_for(fd);
    if (!flash || flash->fail_info) return fail(ENOTTY);
    info = flash->info;
    return 0;
}

int mtd_block_is_bad(int fd, uint64_t offset) {
    MemoryFlash& flash = *flash_for(fd);
    uint32_t block = static_cast<uint32_t>(offset / flash.info.erasesize);
    int result = offset >= flash.info.size || flash.fail_query.count(block) ? -1
                 : flash.bad_blocks.count(block)                            ? 1
                                                                            : 0;
    note(flash, "isbad %llu%.0llu -> %ld", block, 0, result);
    return result < 0 ? fail(EINVAL) : result;
}

int mtd_unlock(int fd, uint32_t, uint32_t) {
    flash_for(fd)->log.emplace_back("unlock");
    return fail(524);
}

int mtd_erase(int fd, uint32_t offset, uint32_t length) {
    MemoryFlash& flash = *flash_for(fd);
    const uint32_t e = flash.info.erasesize;
    uint32_t block = offset / e;
    bool refused = offset % e || length != e || uint64_t{offset} + length > flash.info.size ||
                   flash.bad_blocks.count(block) || flash.fail_erase.count(block);
    note(flash, "erase %llu%.0llu -> %ld", block, 0, refused ? -1 : 0);
    if (refused) return fail(EIO);
    memset(flash.bytes.data() + offset, 0xFF, length);
    return 0;
}

int mtd_seek(int fd, uint64_t offset) {
    MemoryFlash& flash = *flash_for(fd);
    bool refused = flash.fail_seek || offset > flash.info.size;
    note(flash, "seek %llu%.0llu -> %ld", offset, 0, refused ? -1 : 0);
    if (refused) return fail(EINVAL);
    flash.position = offset;
    return 0;
}

long mtd_write(int fd, const uint8_t* data, size_t size) {
    MemoryFlash& flash = *flash_for(fd);
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
        if (take && flash.bad_blocks.count(block)) ++flash.violations;
        flash.position += take;
        result = static_cast<long>(take);
    }
    note(flash, "write %llu %llu -> %ld", at, size, result);
    return result;
}
