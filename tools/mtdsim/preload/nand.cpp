// The NAND model over the flash file: geometry and type, which pages were
// programmed since their block's last erase, erase to 0xFF, programming
// whole pages with bits only going 1 -> 0 (a second program of a page, or a
// program into a bad block, is a violation), and the ECC events a read
// counts. Requests (ioctl.cpp, read_write.cpp) check their arguments and
// faults, then call in here.

#include "nand.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>

#include "faults.h"
#include "libc_next.h"
#include "log.h"

namespace mtdsim::preload {

uint32_t oob_size() { return sim.writesize >= 2048 ? sim.writesize / 32 : 16; }

const char* type_name() {
    switch (sim.type) {
        case MTD_ABSENT: return "absent";
        case MTD_RAM: return "ram";
        case MTD_ROM: return "rom";
        case MTD_NORFLASH: return "nor";
        case MTD_NANDFLASH: return "nand";
        case MTD_DATAFLASH: return "dataflash";
        case MTD_UBIVOLUME: return "ubi";
        case MTD_MLCNANDFLASH: return "mlc-nand";
        default: return "unknown";
    }
}

uint32_t cap_flags() { return sim.type == MTD_NANDFLASH ? MTD_CAP_NANDFLASH : MTD_CAP_NORFLASH; }

uint64_t block_of(uint64_t offset) { return sim.erasesize ? offset / sim.erasesize : 0; }
uint64_t page_of(uint64_t offset) { return offset / sim.check_unit; }

bool block_is_bad(uint64_t block) {
    if (in_list(sim.bad, block)) return true;
    if (!sim.marked) return in_list(sim.marked_local, block);
    return block < sim.blocks &&
           (__atomic_load_n(&sim.marked[block / 8], __ATOMIC_RELAXED) >> (block % 8)) & 1;
}

int mark_block_bad(uint64_t block) {
    if (block_is_bad(block)) return 0;
    if (!sim.marked) {
        char text[24];
        snprintf(text, sizeof text, "%llu", static_cast<unsigned long long>(block));
        return parse_ranges(text, false, 1, sim.marked_local) < 0 ? -1 : 0;
    }
    const uint8_t bit = static_cast<uint8_t>(1u << (block % 8));
    if (!(__atomic_fetch_or(&sim.marked[block / 8], bit, __ATOMIC_RELAXED) & bit))
        __atomic_fetch_add(&sim.page_state->marked_bad, 1, __ATOMIC_RELAXED);
    return 0;
}

uint32_t bad_block_count() {
    if (!sim.marked) return sim.bad_count + static_cast<uint32_t>(count_blocks(sim.marked_local, sim.blocks));
    return sim.bad_count + __atomic_load_n(&sim.page_state->marked_bad, __ATOMIC_RELAXED);
}

bool page_programmed(uint64_t page) {
    if (!sim.programmed || page >= sim.pages) return false;
    return (__atomic_load_n(&sim.programmed[page / 8], __ATOMIC_RELAXED) >> (page % 8)) & 1;
}

void mark_programmed(uint64_t first, uint64_t count) {
    if (!sim.programmed) return;
    for (uint64_t p = first; p < first + count && p < sim.pages; ++p)
        __atomic_fetch_or(&sim.programmed[p / 8], static_cast<uint8_t>(1u << (p % 8)), __ATOMIC_RELAXED);
}

void mark_erased(uint64_t first, uint64_t count) {
    if (!sim.programmed) return;
    uint64_t end = first + count < sim.pages ? first + count : sim.pages;
    for (uint64_t p = first; p < end; ++p) {
        if (p % 8 == 0 && p + 8 <= end) {  // whole bytes at once
            uint64_t whole = (end - p) / 8;
            memset(sim.programmed + p / 8, 0, static_cast<size_t>(whole));
            p += whole * 8 - 1;
            continue;
        }
        __atomic_fetch_and(&sim.programmed[p / 8], static_cast<uint8_t>(~(1u << (p % 8))), __ATOMIC_RELAXED);
    }
}

// Reads flash bytes from the file; in a sparse flash file a hole is erased
// flash, so it reads as 0xFF. Returns 0, or -1 when the file fails.
int read_cells(uint8_t* into, size_t count, uint64_t at) {
    return mtdsim::read_flash(sim.flash_fd, into, count, at, sim.sparse, real_pread(), real_lseek());
}

int erase_cells(uint64_t start, uint64_t length) {
    // Only whole file system blocks become a hole; a partial one would be
    // zeroed, and zeros are not erased flash.
    if (sim.sparse && start % sim.file_block == 0 && length % sim.file_block == 0 &&
        fallocate64(sim.flash_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off64_t>(start),
                    static_cast<off64_t>(length)) == 0)
        return 0;
    static uint8_t erased[1 << 16];
    memset(erased, 0xFF, sizeof erased);
    for (uint64_t done = 0; done < length;) {
        size_t piece = length - done < sizeof erased ? static_cast<size_t>(length - done) : sizeof erased;
        if (real_pwrite()(sim.flash_fd, erased, piece, static_cast<off64_t>(start + done)) !=
            static_cast<ssize_t>(piece))
            return -1;
        done += piece;
    }
    return 0;
}

// Writing part of a hole in a sparse flash file allocates a whole file
// system block whose other bytes read as zero, not as erased flash: give
// the block holding `at` its 0xFF first.
int fill_file_block(uint64_t at) {
    static uint8_t cells[1 << 16];
    uint64_t start = at / sim.file_block * sim.file_block;
    size_t length =
        static_cast<size_t>(sim.size - start < sim.file_block ? sim.size - start : sim.file_block);
    if (read_cells(cells, length, start) != 0) return -1;
    return real_pwrite()(sim.flash_fd, cells, length, static_cast<off64_t>(start)) ==
                   static_cast<ssize_t>(length)
               ? 0
               : -1;
}

// The byte of the page at `page_at` (`unit` bytes) that a --corrupt-write
// entry flips, as an index into the page, or -1: the entry's offset within
// the block, else the first byte of the request (at `request`).
long corrupt_byte(uint64_t page_at, size_t unit, uint64_t request) {
    const mtdsim::Range* entry = mtdsim::find_range(sim.corrupt_write, block_of(page_at));
    if (!entry) return -1;
    const uint64_t target =
        entry->value == kOffsetUnset ? request : block_of(page_at) * sim.erasesize + entry->value;
    return target >= page_at && target < page_at + unit ? static_cast<long>(target - page_at) : -1;
}

// --stray-write: a program into a block disturbs a cell elsewhere in it, at
// the entry's offset within the block (its last byte by default), which
// then reads 0x00 and counts as programmed. Not when the write itself
// covers that byte ([first, end)). 0, or -1 when the flash file fails.
int disturb(uint64_t first, uint64_t end) {
    if (!sim.stray_write.count || end <= first || sim.erasesize == 0) return 0;
    for (uint64_t block = block_of(first); block <= block_of(end - 1); ++block) {
        const mtdsim::Range* entry = mtdsim::find_range(sim.stray_write, block);
        if (!entry) continue;
        const uint64_t offset = entry->value == kOffsetUnset ? sim.erasesize - 1 : entry->value;
        if (offset >= sim.erasesize) continue;
        const uint64_t target = block * sim.erasesize + offset;
        if (target >= first && target < end) continue;
        const uint8_t zero = 0;
        if (sim.sparse && fill_file_block(target) != 0) return -1;
        if (real_pwrite()(sim.flash_fd, &zero, 1, static_cast<off64_t>(target)) != 1) return -1;
        mark_programmed(page_of(target), 1);
        log_line("stray program at 0x%08llx", static_cast<unsigned long long>(target));
    }
    return 0;
}

// Programs whole pages of `count` bytes at `position` the way NAND does: a
// page programmed since its last erase, or a block marked bad, is a
// violation, and bits only go 1 -> 0. Stops before a page that fails to
// program (--fail-page, a worn --weak-page), setting `error` to EIO; the
// pages before it stay programmed. In a --corrupt-write block one byte the
// request programs keeps bit 0 flipped (see corrupt_byte); a --stray-write
// block gets a stray byte (see disturb). Returns the bytes programmed, -1
// when the flash file fails.
ssize_t program(const uint8_t* data, size_t count, uint64_t position, int& error) {
    static uint8_t cells[1 << 16];
    const size_t unit = sim.check_unit;
    // Whole pages per round trip to the flash file.
    const size_t span = unit <= sizeof cells ? sizeof cells / unit * unit : 0;
    if (span == 0) return fail(EINVAL);
    size_t done = 0;
    while (done < count) {
        size_t piece = count - done < span ? count - done : span;
        const uint64_t at = position + done;
        if (read_cells(cells, piece, at) != 0) return fail(EIO);
        size_t good = 0;  // bytes of whole pages that program
        for (; good < piece; good += unit) {
            uint64_t page_at = at + good;
            if (in_list(sim.fail_page, page_of(page_at)) || weak_program_fails(page_of(page_at))) {
                error = EIO;
                break;
            }
            if (good == 0 || (sim.erasesize && page_at % sim.erasesize == 0)) {
                if (block_is_bad(block_of(page_at)))
                    violation("write into bad block %llu",
                              static_cast<unsigned long long>(block_of(page_at)));
            }
            bool erased = !page_programmed(page_of(page_at));
            for (size_t i = good; i < good + unit; ++i) {
                if (cells[i] != 0xFF) erased = false;
                cells[i] &= data[done + i];
            }
            if (!erased)
                violation("program of page at 0x%08llx that is not erased",
                          static_cast<unsigned long long>(page_at));
            // A weak cell: the program reports success, the page does not hold it.
            const long weak = corrupt_byte(page_at, unit, position);
            if (weak >= 0) cells[good + static_cast<size_t>(weak)] ^= 0x01;
        }
        if (good && sim.sparse && (fill_file_block(at) != 0 || fill_file_block(at + good - 1) != 0))
            return fail(EIO);
        if (good &&
            real_pwrite()(sim.flash_fd, cells, good, static_cast<off64_t>(at)) != static_cast<ssize_t>(good))
            return fail(EIO);
        mark_programmed(page_of(at), good / unit);
        done += good;
        if (error) break;
    }
    if (disturb(position, position + done) != 0) return fail(EIO);
    return static_cast<ssize_t>(done);
}

// Counts the ECC events of reading pages first..last: --bitflips blocks
// give corrected bits, --ecc-fail blocks uncorrectable pages, and
// --ecc-fail-written blocks uncorrectable pages where they were programmed
// since the last erase (the kernel's EBADMSG). The data is returned either
// way, as mtdchar returns it.
void count_ecc(uint64_t first, uint64_t last, uint32_t& corrected, uint32_t& failed) {
    if (!sim.bitflips.count && !sim.ecc_fail.count && !sim.ecc_fail_written.count) return;
    for (uint64_t page = first; page <= last; ++page) {
        uint64_t block = block_of(page * sim.check_unit);
        if (const mtdsim::Range* flips = mtdsim::find_range(sim.bitflips, block)) corrected += flips->value;
        if (in_list(sim.ecc_fail, block) || (in_list(sim.ecc_fail_written, block) && page_programmed(page)))
            ++failed;
    }
    if (corrected) __atomic_fetch_add(&sim.page_state->ecc_corrected, corrected, __ATOMIC_RELAXED);
    if (failed) __atomic_fetch_add(&sim.page_state->ecc_failed, failed, __ATOMIC_RELAXED);
}

}  // namespace mtdsim::preload
