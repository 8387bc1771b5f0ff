// lseek, read and write on the device, as mtdchar over NAND does them:
// positions from 0 to the chip's size, writes of whole pages only (EINVAL
// and a violation otherwise), reads cut at the end of the chip. Injected
// faults and power cuts apply per request; the pages themselves are
// nand.cpp's.

#include "read_write.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "faults.h"
#include "libc_next.h"
#include "log.h"
#include "nand.h"
#include "timing.h"

namespace mtdsim::preload {

off64_t sim_lseek(int fd, off64_t offset, int whence) {
    FaultKind fault = next_request();
    if (sim.cut_now) power_cut("lseek 0x%08llx %d", static_cast<unsigned long long>(offset), whence);
    if (const int error = injected_error(fault, EINVAL)) {
        log_line("lseek 0x%08llx %d -> -1%s", static_cast<unsigned long long>(offset), whence,
                 error_name(error));
        return fail(error);
    }
    // Like mtdchar: SEEK_SET, SEEK_CUR or SEEK_END to any position from 0 to
    // the device size, else EINVAL.
    off64_t target = offset;
    bool known = whence == SEEK_SET || whence == SEEK_CUR || whence == SEEK_END;
    if (whence == SEEK_CUR)
        target += real_lseek()(fd, 0, SEEK_CUR);
    else if (whence == SEEK_END)
        target += static_cast<off64_t>(sim.size);
    off64_t result = known && target >= 0 && target <= static_cast<off64_t>(sim.size)
                         ? real_lseek()(fd, target, SEEK_SET)
                         : fail(EINVAL);
    if (result < 0)
        log_line("lseek 0x%08llx %d -> -1 EINVAL", static_cast<unsigned long long>(offset), whence);
    else
        log_line("lseek 0x%08llx %d -> 0x%08llx", static_cast<unsigned long long>(offset), whence,
                 static_cast<unsigned long long>(result));
    return result;
}

namespace {

// The power goes during this write: with MTDSIM_CUT's page count, that many
// pages of a valid write are programmed first.
[[noreturn]] void cut_write(const char* name, const uint8_t* bytes, size_t count, uint64_t position,
                            bool invalid) {
    const size_t unit = sim.check_unit;
    if (sim.cut_pages < 0 || invalid)
        power_cut("%s 0x%08llx %zu", name, static_cast<unsigned long long>(position), count);
    size_t pages = count / unit < static_cast<uint64_t>(sim.cut_pages) ? count / unit
                                                                       : static_cast<size_t>(sim.cut_pages);
    int stopped = 0;
    ssize_t programmed = program(bytes, pages * unit, position, stopped);
    size_t done = programmed > 0 ? static_cast<size_t>(programmed) / unit : 0;
    chip_busy(done * sim.t_prog);
    power_cut("%s 0x%08llx %zu after %zu pages", name, static_cast<unsigned long long>(position), count,
              done);
}

// Why a write fails before any page is programmed (0: it goes ahead), and
// how many of its bytes the chip takes when a fault shortens it.
int refuse_write(int fd, size_t count, uint64_t position, bool invalid, FaultKind fault, size_t& accept) {
    const size_t unit = sim.check_unit;
    accept = count;
    int error = 0;
    if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY)
        error = EBADF;
    else if (invalid)
        error = EINVAL;
    else if (injected_error(fault, 0))
        error = injected_error(fault, 0);
    else if (fault == kFaultEio || in_list(sim.fail_write, block_of(position)))
        error = EIO;
    else if (fault == kFaultEintr)
        error = EINTR;
    else if (fault == kFaultZero)
        accept = 0;
    else if (fault == kFaultShort && count > unit)
        accept = count / 2 / unit * unit;
    else if (sim.short_write && count > sim.short_write)
        accept = sim.short_write;
    if (invalid && error == EINVAL)
        violation("write of %zu bytes at 0x%08llx: not page aligned or past the end", count,
                  static_cast<unsigned long long>(position));
    return error;
}

}  // namespace

ssize_t sim_write(int fd, const void* data, size_t count, const off64_t* at) {
    FaultKind fault = next_request();
    const char* name = at ? "pwrite" : "write";
    uint64_t position =
        at ? static_cast<uint64_t>(*at) : static_cast<uint64_t>(real_lseek()(fd, 0, SEEK_CUR));
    const size_t unit = sim.check_unit;
    const bool invalid = position % unit || count % unit || position + count > sim.size;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (sim.cut_now) cut_write(name, bytes, count, position, invalid);
    size_t accept;
    int error = refuse_write(fd, count, position, invalid, fault, accept);
    ssize_t result = -1;
    uint64_t busy = 0;
    char stopped[40] = "";
    if (!error) {
        result = program(bytes, accept, position, error);
        if (result < 0) {
            error = EIO;
        } else {
            // A page that fails to program keeps the chip busy as long as one that works.
            busy = chip_busy((static_cast<uint64_t>(result) / unit + (error ? 1 : 0)) * sim.t_prog);
            if (error)
                snprintf(stopped, sizeof stopped, " after %zu pages", static_cast<size_t>(result) / unit);
        }
    }
    if (!error && result > 0 && !at) real_lseek()(fd, result, SEEK_CUR);
    char suffix[40];
    busy_suffix(suffix, sizeof suffix, busy);
    log_line("%s 0x%08llx %zu -> %zd%s%s%s", name, static_cast<unsigned long long>(position), count,
             error ? static_cast<ssize_t>(-1) : result, error_name(error), stopped, suffix);
    return error ? fail(error) : result;
}

ssize_t sim_read(int fd, void* buffer, size_t count, const off64_t* at) {
    FaultKind fault = next_request();
    int64_t position = at ? static_cast<int64_t>(*at) : static_cast<int64_t>(real_lseek()(fd, 0, SEEK_CUR));
    if (sim.cut_now) power_cut("read 0x%08llx %zu", static_cast<unsigned long long>(position), count);
    int error = 0;
    size_t length = 0;
    if (position < 0) {
        error = EINVAL;
    } else if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY) {
        error = EBADF;
    } else if (static_cast<uint64_t>(position) < sim.size) {
        // Like mtdchar: cut at the end of the chip, 0 at or past it.
        uint64_t left = sim.size - static_cast<uint64_t>(position);
        length = count < left ? count : static_cast<size_t>(left);
    }
    if (!error && length) {
        if (injected_error(fault, 0))
            error = injected_error(fault, 0);
        else if (fault == kFaultEio)
            error = EIO;
        else if (fault == kFaultEintr)
            error = EINTR;
        else if (fault == kFaultZero)
            length = 0;
        else if (fault == kFaultShort)
            length =
                length > sim.check_unit ? length / 2 / sim.check_unit * sim.check_unit : (length + 1) / 2;
    }
    uint32_t corrected = 0, failed = 0;
    uint64_t busy = 0;
    if (!error && length) {
        const uint64_t at_byte = static_cast<uint64_t>(position);
        if (read_cells(static_cast<uint8_t*>(buffer), length, at_byte) != 0) {
            error = EIO;
        } else {
            uint64_t first = page_of(at_byte), last = page_of(at_byte + length - 1);
            count_ecc(first, last, corrected, failed);
            // One uncorrectable error that a read again will not meet.
            if (fault == kFaultEcc) {
                ++failed;
                __atomic_fetch_add(&sim.page_state->ecc_failed, 1, __ATOMIC_RELAXED);
            }
            busy = chip_busy((last - first + 1) * sim.t_read);
        }
    }
    if (!error && !at) real_lseek()(fd, position + static_cast<int64_t>(length), SEEK_SET);
    char ecc[60] = "";
    int used = corrected ? snprintf(ecc, sizeof ecc, " bitflips %u", corrected) : 0;
    if (failed) snprintf(ecc + used, sizeof ecc - static_cast<size_t>(used), " ecc-failures %u", failed);
    char suffix[40];
    busy_suffix(suffix, sizeof suffix, busy);
    log_line("read 0x%08llx %zu -> %zd%s%s%s", static_cast<unsigned long long>(position), count,
             error ? static_cast<ssize_t>(-1) : static_cast<ssize_t>(length), error_name(error), ecc, suffix);
    return error ? fail(error) : static_cast<ssize_t>(length);
}

}  // namespace mtdsim::preload
