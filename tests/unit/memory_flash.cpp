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

// Records the request, and its line in the log when the log is kept. The
// format takes the offset (or block), the length and the result.
void note(MemoryFlash& flash, FlashRequest::Kind kind, uint64_t offset, uint64_t length, long result,
          const char* format, unsigned long long shown, bool uncorrectable = false,
          bool wrong_bytes = false) {
    const int error = errno;  // the request's, kept for its caller
    flash.requests.push_back(
        FlashRequest{kind, offset, length, result, result < 0 ? error : 0, uncorrectable, wrong_bytes});
    if (flash.log_lines) {
        char line[96];
        if (kind == FlashRequest::kWrite || kind == FlashRequest::kRead)
            snprintf(line, sizeof line, format, shown, static_cast<unsigned long long>(length), result);
        else
            snprintf(line, sizeof line, format, shown, result);
        flash.log.emplace_back(line);
    }
    errno = error;
}

uint32_t block_of(const MemoryFlash& flash, uint64_t offset) {
    return static_cast<uint32_t>(offset / flash.info.erasesize);
}

bool erased(const uint8_t* cells, size_t size) {
    return size == 0 || (cells[0] == 0xFF && memcmp(cells, cells + 1, size - 1) == 0);
}

// Programs `size` bytes at `at`: cells only go from 1 to 0. A page that was
// not erased is a violation (the chip would garble it), but for a corrupt
// block's own wrong cell, which the installer cannot know of.
void program(MemoryFlash& flash, uint64_t at, const uint8_t* data, size_t size) {
    uint8_t* cells = flash.bytes.data() + at;
    if (erased(cells, size)) {
        memcpy(cells, data, size);
        return;
    }
    const uint32_t page = flash.info.writesize ? flash.info.writesize : 1;
    const auto wrong = flash.wrong_cells.find(block_of(flash, at));
    const uint64_t exempt = wrong != flash.wrong_cells.end() ? wrong->second.at : UINT64_MAX;
    for (size_t start = 0; start < size; start += page) {
        const size_t end = std::min<size_t>(start + page, size);
        for (size_t i = start; i < end; ++i)
            if (cells[i] != 0xFF && at + i != exempt) {
                ++flash.violations;
                break;
            }
    }
    for (size_t i = 0; i < size; ++i) cells[i] &= data[i];
}

// The corrupt block's first program after an erase leaves its wrong cell;
// later programs over that cell still count toward what it should hold.
void disturb(MemoryFlash& flash, uint32_t block, uint64_t at, const uint8_t* data, size_t size) {
    const auto wrong = flash.wrong_cells.find(block);
    if (wrong != flash.wrong_cells.end()) {
        if (wrong->second.at >= at && wrong->second.at < at + size)
            wrong->second.intended &= data[wrong->second.at - at];
        return;
    }
    if (!flash.corrupt_write.count(block)) return;
    const uint32_t e = flash.info.erasesize;
    const uint64_t cell = uint64_t{block} * e + flash.corrupt_cell.offset % e;
    if (cell >= flash.info.size) return;
    uint8_t& value = flash.bytes[cell];
    const uint8_t intended = value;
    if (cell >= at && cell < at + size)
        value ^= flash.corrupt_cell.mask;  // the bit programmed does not hold
    else
        value &= static_cast<uint8_t>(~flash.corrupt_cell.mask);  // a stray bit programmed elsewhere
    flash.wrong_cells[block] = MemoryFlash::WrongCell{cell, intended};
}

// Whether a read of [at, at + size) meets a wrong cell that differs from
// what was programmed there.
bool meets_wrong_cell(const MemoryFlash& flash, uint64_t at, size_t size) {
    for (const auto& wrong : flash.wrong_cells)
        if (wrong.second.at >= at && wrong.second.at < at + size &&
            flash.bytes[wrong.second.at] != wrong.second.intended)
            return true;
    return false;
}
}  // namespace

void attach_memory_flash(MemoryFlash& flash, uint32_t size, uint32_t erasesize, uint32_t writesize) {
    flash.bytes.assign(size, 0xFF);
    reattach_memory_flash(flash, size, erasesize, writesize);
}

void reattach_memory_flash(MemoryFlash& flash, uint32_t size, uint32_t erasesize, uint32_t writesize) {
    flash.info.type = MTD_NANDFLASH;
    flash.info.size = size;
    flash.info.erasesize = erasesize;
    flash.info.writesize = writesize;
    flash.programmed.assign(erasesize ? size / erasesize : 0, false);
    flash.read_since.assign(flash.programmed.size(), false);
    flash.wrong_cells.clear();
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
    uint32_t block = block_of(flash, offset);
    int result = offset >= flash.info.size || flash.fail_query.count(block) ? -1
                 : flash.bad_blocks.count(block)                            ? 1
                                                                            : 0;
    if (result < 0) errno = EINVAL;
    note(flash, FlashRequest::kQuery, offset - offset % flash.info.erasesize, 0, result, "isbad %llu -> %ld",
         block);
    return result;
}

int unlock(MtdDevice& device, uint32_t offset, uint32_t length) {
    MemoryFlash& flash = flash_of(device);
    errno = 524;  // ENOTSUPP: NAND has no locks
    flash.requests.push_back(FlashRequest{FlashRequest::kUnlock, offset, length, -1, errno, false, false});
    if (flash.log_lines) flash.log.emplace_back("unlock");
    return -1;
}

// The kernel refuses an erase outside the chip or not of whole blocks with
// EINVAL; the chip fails a bad block's, or a worn one's, with EIO.
int erase(MtdDevice& device, uint32_t offset, uint32_t length) {
    MemoryFlash& flash = flash_of(device);
    const uint32_t e = flash.info.erasesize;
    const uint32_t block = offset / e;
    int error = 0;
    if (offset >= flash.info.size || length > flash.info.size - offset || offset % e || length != e)
        error = EINVAL;
    else if (flash.fail_erase.count(block))
        error = flash.erase_error;
    else if (flash.bad_blocks.count(block))
        error = EIO;
    if (error == 0) {
        memset(flash.bytes.data() + offset, 0xFF, length);
        if (block < flash.programmed.size()) flash.programmed[block] = flash.read_since[block] = false;
        flash.wrong_cells.erase(block);
    } else {
        errno = error;
    }
    note(flash, FlashRequest::kErase, offset, length, error ? -1 : 0, "erase %llu -> %ld", block);
    return error ? -1 : 0;
}

int seek(MtdDevice& device, uint64_t offset) {
    MemoryFlash& flash = flash_of(device);
    bool refused = flash.fail_seek || offset > flash.info.size;
    if (refused)
        errno = EINVAL;
    else
        flash.position = offset;
    note(flash, FlashRequest::kSeek, offset, 0, refused ? -1 : 0, "seek %llu -> %ld", offset);
    return refused ? -1 : 0;
}

// As mtdchar does: no room at the end is ENOSPC, a write reaching past the
// end is cut short there, and one whose offset or length is not a multiple
// of the write size is EINVAL. Only the chip's own failure is EIO.
long write_some(MtdDevice& device, const uint8_t* data, size_t size) {
    MemoryFlash& flash = flash_of(device);
    const uint32_t page = flash.info.writesize ? flash.info.writesize : 1;
    const uint64_t at = flash.position;
    const uint32_t block = block_of(flash, at);
    long result;
    if (flash.eintr_writes > 0) {
        --flash.eintr_writes;
        result = fail(EINTR);
    } else if (at >= flash.info.size) {
        result = fail(ENOSPC);
    } else if (at % page || std::min<uint64_t>(size, flash.info.size - at) % page) {
        result = fail(EINVAL);
    } else if (flash.fail_write.count(block)) {
        result = fail(flash.write_error);
    } else {
        size_t take = flash.zero_write ? 0 : std::min<uint64_t>(size, flash.info.size - at);
        if (flash.short_write && take > flash.short_write) take = flash.short_write;
        program(flash, at, data, take);
        if (take) {
            for (uint64_t b = block;
                 b <= (at + take - 1) / flash.info.erasesize && b < flash.programmed.size(); ++b)
                flash.programmed[b] = true, flash.read_since[b] = false;
            disturb(flash, block, at, data, take);
            if (flash.bad_blocks.count(block)) ++flash.violations;
        }
        flash.position += take;
        result = static_cast<long>(take);
    }
    note(flash, FlashRequest::kWrite, at, size, result, "write %llu %llu -> %ld", at);
    return result;
}

long read_some(MtdDevice& device, uint8_t* into, size_t size) {
    MemoryFlash& flash = flash_of(device);
    const uint64_t at = flash.position;
    const uint32_t block = block_of(flash, at);
    if (at < flash.info.size && flash.fail_read.count(block)) {
        errno = flash.read_error;
        note(flash, FlashRequest::kRead, at, size, -1, "read %llu %llu -> %ld", at);
        return -1;
    }
    const size_t take = at >= flash.info.size ? 0 : std::min<uint64_t>(size, flash.info.size - at);
    memcpy(into, flash.bytes.data() + at, take);
    const bool known = block < flash.programmed.size();
    const bool again = known && flash.read_since[block];
    const bool uncorrectable = take && flash.ecc_fail.count(block) && !(flash.ecc_once && again);
    if (uncorrectable) ++flash.ecc.failed;
    if (take && flash.bitflips.count(block)) ++flash.ecc.corrected;
    if (take && known) flash.read_since[block] = true;
    flash.position += take;
    note(flash, FlashRequest::kRead, at, size, static_cast<long>(take), "read %llu %llu -> %ld", at,
         uncorrectable && known && flash.programmed[block], take && meets_wrong_cell(flash, at, take));
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
    uint32_t block = block_of(flash, offset);
    int error = flash.cannot_mark              ? EOPNOTSUPP
                : offset >= flash.info.size    ? EINVAL
                : flash.fail_mark.count(block) ? EIO
                                               : 0;
    if (error == 0)
        flash.bad_blocks.insert(block);
    else
        errno = error;
    note(flash, FlashRequest::kMark, offset - offset % flash.info.erasesize, 0, error ? -1 : 0,
         "markbad %llu -> %ld", block);
    return error ? -1 : 0;
}

int lock(MtdDevice& device, bool exclusive) {
    MemoryFlash& flash = flash_of(device);
    const int result = flash.locked_elsewhere ? fail(EWOULDBLOCK) : 0;
    flash.requests.push_back(
        FlashRequest{FlashRequest::kLock, 0, 0, result, result ? errno : 0, false, false});
    if (flash.log_lines) flash.log.emplace_back(exclusive ? "lock exclusive" : "lock shared");
    return result;
}
}  // namespace

MtdDevice memory_flash_device(MemoryFlash& flash) {
    MtdDevice device{open_flash, close_flash, get_info,  block_is_bad, unlock,   erase, seek,
                     write_some, read_some,   ecc_stats, total_size,   mark_bad, lock};
    device.context = &flash;
    return device;
}
