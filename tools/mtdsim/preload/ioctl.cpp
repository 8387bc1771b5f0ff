// The device's ioctl requests, as mtdchar over NAND answers them:
// MEMGETINFO, MEMGETBADBLOCK, MEMSETBADBLOCK, MEMERASE/MEMERASE64,
// ECCGETSTATS, the layout queries ECCGETLAYOUT and MEMGETOOBSEL,
// MEMGETREGIONCOUNT (no erase regions); MEMUNLOCK fails with 524 and
// MEMISLOCKED with EOPNOTSUPP, as raw NAND does. Any other request is a
// violation. sim_ioctl is the one dispatch: a new request gets a case there
// and a function of its own here.

#include "ioctl.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/ioctl.h>

#include "faults.h"
#include "log.h"
#include "nand.h"
#include "oob_layout.h"
#include "timing.h"

namespace mtdsim::preload {

namespace {

int sim_getinfo(mtd_info_user* info, FaultKind fault) {
    if (sim.cut_now) power_cut("MEMGETINFO");
    const int error = sim.fail_info ? ENOTTY : injected_error(fault, ENOTTY);
    if (error) {
        log_line("MEMGETINFO -> -1%s", error_name(error));
        return fail(error);
    }
    memset(info, 0, sizeof *info);
    info->type = sim.type;
    info->flags = cap_flags();
    info->size = static_cast<uint32_t>(sim.size);  // wraps above 4 GiB, as the kernel's does
    info->erasesize = sim.erasesize;
    info->writesize = sim.writesize;
    info->oobsize = oob_size();
    log_line("MEMGETINFO -> 0");
    return 0;
}

// Like nand_block_isbad: any offset inside the chip asks about the block holding it.
int sim_getbadblock(const loff_t* where, FaultKind fault) {
    uint64_t offset = static_cast<uint64_t>(*where);
    if (sim.cut_now) power_cut("MEMGETBADBLOCK 0x%08llx", static_cast<unsigned long long>(offset));
    int result;
    int error = 0;
    if (*where < 0 || offset >= sim.size)
        error = EINVAL;
    else if (injected_error(fault, EIO))
        error = injected_error(fault, EIO);
    else if (in_list(sim.fail_query, block_of(offset)))
        error = EIO;
    result = error ? -1 : block_is_bad(block_of(offset)) ? 1 : 0;
    log_line("MEMGETBADBLOCK 0x%08llx -> %d%s", static_cast<unsigned long long>(offset), result,
             error_name(error));
    return error ? fail(error) : result;
}

int sim_erase(int fd, uint64_t start, uint64_t length, FaultKind fault) {
    if (sim.cut_now)
        power_cut("MEMERASE 0x%08llx 0x%08llx", static_cast<unsigned long long>(start),
                  static_cast<unsigned long long>(length));
    int error = 0;
    const bool invalid = sim.erasesize == 0 || start % sim.erasesize || length % sim.erasesize ||
                         length == 0 || start + length > sim.size;
    if (invalid)
        error = EINVAL;
    else if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY)
        error = EPERM;
    else
        error = injected_error(fault, EIO);
    for (uint64_t b = block_of(start); !error && b < block_of(start + length); ++b)
        if (block_is_bad(b) || in_list(sim.fail_erase, b) || weak_erase_fails(b)) error = EIO;
    if (invalid)
        violation("MEMERASE of unaligned or out-of-range 0x%08llx+0x%llx",
                  static_cast<unsigned long long>(start), static_cast<unsigned long long>(length));
    uint64_t busy = 0;
    if (!error) {
        if (erase_cells(start, length) != 0)
            error = EIO;
        else
            mark_erased(page_of(start), length / sim.check_unit);
        busy = chip_busy(length / sim.erasesize * sim.t_erase);
    }
    char suffix[40];
    busy_suffix(suffix, sizeof suffix, busy);
    log_line("MEMERASE 0x%08llx 0x%08llx -> %d%s%s", static_cast<unsigned long long>(start),
             static_cast<unsigned long long>(length), error ? -1 : 0,
             error == EPERM ? " EPERM" : error_name(error), suffix);
    return error ? fail(error) : 0;
}

// Like mtdchar and mtd_block_markbad: write access first (EPERM), then a
// chip that has no bad blocks to mark (EOPNOTSUPP: NOR and the other
// non-NAND types), then an offset inside the chip (EINVAL).
int sim_markbad(int fd, const loff_t* where, FaultKind fault) {
    uint64_t offset = static_cast<uint64_t>(*where);
    if (sim.cut_now) power_cut("MEMSETBADBLOCK 0x%08llx", static_cast<unsigned long long>(offset));
    int error = 0;
    if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY)
        error = EPERM;
    else if (sim.type != MTD_NANDFLASH && sim.type != MTD_MLCNANDFLASH)
        error = EOPNOTSUPP;
    else if (*where < 0 || offset >= sim.size)
        error = EINVAL;
    else if (injected_error(fault, EIO))
        error = injected_error(fault, EIO);
    else if (in_list(sim.fail_markbad, block_of(offset)) || mark_block_bad(block_of(offset)) != 0)
        error = EIO;
    log_line("MEMSETBADBLOCK 0x%08llx -> %d%s", static_cast<unsigned long long>(offset), error ? -1 : 0,
             error_name(error));
    return error ? fail(error) : 0;
}

int sim_eccstats(mtd_ecc_stats* stats, FaultKind fault) {
    if (sim.cut_now) power_cut("ECCGETSTATS");
    if (const int error = injected_error(fault, EIO)) {
        log_line("ECCGETSTATS -> -1%s", error_name(error));
        return fail(error);
    }
    memset(stats, 0, sizeof *stats);
    stats->corrected = __atomic_load_n(&sim.page_state->ecc_corrected, __ATOMIC_RELAXED);
    stats->failed = __atomic_load_n(&sim.page_state->ecc_failed, __ATOMIC_RELAXED);
    stats->badblocks = bad_block_count();
    stats->bbtblocks = 0;
    log_line("ECCGETSTATS -> 0 corrected %u failed %u badblocks %u bbtblocks 0", stats->corrected,
             stats->failed, stats->badblocks);
    return 0;
}

// A query that answers from the chip's description: `answer` fills the
// argument and returns 0 or an errno value. The fault kinds fail it with EIO
// (einval, enomem and efault with theirs; ecc leaves it alone).
template <typename Answer>
int sim_query(const char* name, FaultKind fault, Answer answer) {
    if (sim.cut_now) power_cut("%s", name);
    const int injected = injected_error(fault, EIO);
    const int error = injected ? injected : answer();
    log_line("%s -> %d%s", name, error ? -1 : 0, error_name(error));
    return error ? fail(error) : 0;
}

int sim_layout_query(unsigned long request, void* argument, FaultKind fault) {
    if (request == ECCGETLAYOUT)
        return sim_query("ECCGETLAYOUT", fault, [argument] {
            OobLayout layout;
            if (!oob_layout(layout)) return EOPNOTSUPP;
            user_layout(layout, *static_cast<nand_ecclayout_user*>(argument));
            return 0;
        });
    return sim_query("MEMGETOOBSEL", fault, [argument] {
        OobLayout layout;
        if (!oob_layout(layout)) return EOPNOTSUPP;
        return legacy_layout(layout, *static_cast<nand_oobinfo*>(argument)) ? 0 : EINVAL;
    });
}

}  // namespace

int sim_ioctl(int fd, unsigned long request, void* argument) {
    FaultKind fault = next_request();
    switch (request) {
        case MEMGETINFO: return sim_getinfo(static_cast<mtd_info_user*>(argument), fault);
        case MEMGETBADBLOCK: return sim_getbadblock(static_cast<const loff_t*>(argument), fault);
        case MEMSETBADBLOCK: return sim_markbad(fd, static_cast<const loff_t*>(argument), fault);
        case MEMERASE: {
            const erase_info_user* range = static_cast<const erase_info_user*>(argument);
            return sim_erase(fd, range->start, range->length, fault);
        }
        case MEMERASE64: {  // what mtd-utils tries first
            const erase_info_user64* range = static_cast<const erase_info_user64*>(argument);
            return sim_erase(fd, range->start, range->length, fault);
        }
        case ECCGETSTATS: return sim_eccstats(static_cast<mtd_ecc_stats*>(argument), fault);
        case MEMUNLOCK: {
            const erase_info_user* range = static_cast<const erase_info_user*>(argument);
            if (sim.cut_now) power_cut("MEMUNLOCK 0x%08x 0x%08x", range->start, range->length);
            log_line("MEMUNLOCK 0x%08x 0x%08x -> -1 524", range->start, range->length);
            return fail(kNotSupported);
        }
        case ECCGETLAYOUT:
        case MEMGETOOBSEL: return sim_layout_query(request, argument, fault);
        case MEMGETREGIONCOUNT:
            return sim_query("MEMGETREGIONCOUNT", fault, [argument] {
                *static_cast<int*>(argument) = 0;
                return 0;
            });
        case MEMISLOCKED:  // raw NAND cannot tell
            return sim_query("MEMISLOCKED", fault, [] { return EOPNOTSUPP; });
        default:
            if (sim.cut_now) power_cut("ioctl 0x%08lx", request);
            log_line("ioctl 0x%08lx -> -1 ENOTTY", request);
            violation("unexpected ioctl 0x%08lx", request);
            return fail(ENOTTY);
    }
}

}  // namespace mtdsim::preload
