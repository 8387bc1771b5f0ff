// The preload library's one process-wide record: the chip as the wrapper
// described it in the environment, the injected faults, the page state file
// mapped beside the flash, the request counter and the descriptors that are
// the device. settings.cpp fills it once; every other part reads it, and
// only the part that owns a field changes it (the comments name which).
// It needs no constructor run: programs call in before any would.
#pragma once

#include <mtd/mtd-user.h>
#include <stdint.h>

#include "../mtdsim_shared.h"

namespace mtdsim::preload {

constexpr int kNotSupported = 524;    // the kernel's ENOTSUPP
constexpr int kPrivateFdFloor = 900;  // out of the way of programs that reuse low descriptors
constexpr uint32_t kOffsetUnset = UINT32_MAX;

// eio, eintr, short and zero fail a request each in its own way; einval,
// enomem and efault fail any request with that errno; ecc makes a read
// count one ECC failure, and leaves other requests alone.
enum FaultKind {
    kFaultNone,
    kFaultEio,
    kFaultEintr,
    kFaultShort,
    kFaultZero,
    kFaultEinval,
    kFaultEnomem,
    kFaultEfault,
    kFaultEcc,
};

// The errno an einval, enomem or efault fault fails its request with; 0
// for no fault and for ecc; `otherwise` for the other kinds.
int injected_error(FaultKind fault, int otherwise);

// MTDSIM_FAULTS entry: the request with this index meets this fault.
struct Fault {
    uint64_t index;
    FaultKind kind;
};

struct Wear;  // faults.cpp's

// A descriptor that is the device, whatever its number.
struct SimFd {
    int fd;
    int number;  // N of the /dev/mtdN the descriptor was opened as
};

struct SimState {
    // The chip (settings.cpp).
    bool loaded = false;
    const char* flash_path = nullptr;
    const char* device_path = nullptr;  // exact path to intercept, or null for /dev/mtdN
    uint64_t size = 0;
    uint32_t erasesize = 0;
    uint32_t writesize = 0;
    uint32_t check_unit = 0;  // page size for alignment and erased-page checks
    uint8_t type = MTD_NANDFLASH;
    RangeList bad;
    uint32_t bad_count = 0;  // --bad blocks inside the chip; marked ones come on top (nand.cpp)
    uint64_t blocks = 0;     // erase blocks in the chip

    // Injected faults and the power cut (faults.cpp).
    RangeList fail_erase, fail_write, fail_query, fail_page, bitflips, ecc_fail;
    RangeList fail_markbad, ecc_fail_written;
    // --corrupt-write B[:OFFSET] and --stray-write B[:OFFSET]: the value is
    // the offset within the block, kOffsetUnset when not given.
    RangeList corrupt_write, stray_write;
    // --weak BLOCK:N and --weak-page PAGE:N: the erases (programs) each
    // block (page) still takes before it fails; counted down by faults.cpp.
    RangeList weak_erase, weak_page;
    Wear* wear = nullptr;
    int wear_count = 0;
    uint64_t short_write = 0;
    bool fail_info = false;
    Fault* faults = nullptr;
    int fault_count = 0;
    uint64_t cut_index = 0;          // 0: no power cut
    int64_t cut_pages = -1;          // pages of the cut write that still get programmed
    const char* cut_path = nullptr;  // where the wrapper learns of the cut

    // Timing (settings.cpp): microseconds the chip stays busy.
    uint64_t t_prog = 0, t_read = 0, t_erase = 0;
    bool timing = false;
    bool exact = false;  // the busy time waited out to the microsecond, not slept

    // The simulator's own files (settings.cpp).
    int log_fd = -1;
    int flash_fd = -1;  // the simulator's own read-write descriptor on the flash file
    bool sparse = false;
    uint32_t file_block = 4096;  // the file system's allocation unit under the flash file
    const char* violations_path = nullptr;

    // Page state: mapped from the wrapper's FLASH.pages when there is one
    // (settings.cpp), bits set and cleared by nand.cpp.
    PageStateHeader* page_state = nullptr;
    uint8_t* programmed = nullptr;
    uint64_t pages = 0;
    uint8_t* marked = nullptr;  // one bit per erase block marked bad, after the page bits
    // Marks when no page state file is mapped: they last as long as the process.
    RangeList marked_local;
    // ECC counters when no page state file is mapped (the library used without the wrapper).
    PageStateHeader local_page_state{};

    // The request being handled (faults.cpp).
    uint64_t request_index = 0;
    bool cut_now = false;  // the request being handled is where the power goes

    // Descriptors that are the device (descriptors.cpp).
    SimFd* fds = nullptr;
    int fd_count = 0;
};

extern SimState sim;

// Whether a block list (bad blocks, a fault list) names `block`.
inline bool in_list(const RangeList& list, uint64_t block) { return find_range(list, block) != nullptr; }

}  // namespace mtdsim::preload
