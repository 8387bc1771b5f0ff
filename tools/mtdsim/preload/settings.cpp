// Reads the chip, its faults (faults.cpp) and timing from the environment the mtdsim
// wrapper wrote (MTDSIM_*), once, on the first request that may concern the
// device, and opens the simulator's own files: the flash file, the log and
// the page state beside the flash.

#include "settings.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "faults.h"
#include "libc_next.h"

namespace mtdsim::preload {

SimState sim;

namespace {

uint64_t parse_number(const char* text) { return strtoull(text, nullptr, 0); }

// Moves a descriptor of the simulator's own up, out of the program's way.
int keep_high(int fd) {
    if (fd < 0) return fd;
    int high = fcntl(fd, F_DUPFD_CLOEXEC, kPrivateFdFloor);
    if (high < 0) return fd;  // a descriptor limit under the floor: stay where it is
    real_close()(fd);
    return high;
}

// Maps FLASH.pages if it matches this chip; without it, a page counts as
// programmed when it is not all 0xFF.
void map_page_state(const char* path) {
    uint64_t unit = sim.check_unit;
    uint64_t pages = (sim.size + unit - 1) / unit;
    uint64_t blocks = sim.blocks;
    int fd = real_open()(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    mtdsim::PageStateHeader header;
    if (real_pread()(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
        memcmp(header.magic, mtdsim::kPageStateMagic, sizeof header.magic) == 0 &&
        header.version == mtdsim::kPageStateVersion && header.unit == unit && header.pages == pages &&
        header.blocks == blocks) {
        size_t length = static_cast<size_t>(mtdsim::page_state_bytes(pages, blocks));
        void* map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            sim.page_state = static_cast<mtdsim::PageStateHeader*>(map);
            sim.programmed = static_cast<uint8_t*>(map) + mtdsim::kPageStateHeader;
            sim.pages = pages;
            sim.marked = sim.programmed + mtdsim::page_bitmap_bytes(pages);
        }
    }
    real_close()(fd);
}

}  // namespace

// The wrapper checked the syntax; whatever parsed before a fault stays.
void parse_list(const char* name, RangeList& list, bool with_value, uint32_t default_value) {
    mtdsim::parse_ranges(getenv(name), with_value, default_value, list);
}

void load_settings() {
    if (sim.loaded) return;
    sim.loaded = true;
    sim.flash_path = getenv("MTDSIM_FLASH");
    sim.device_path = getenv("MTDSIM_DEVICE");
    if (const char* v = getenv("MTDSIM_SIZE")) sim.size = parse_number(v);
    if (const char* v = getenv("MTDSIM_ERASE")) sim.erasesize = static_cast<uint32_t>(parse_number(v));
    if (const char* v = getenv("MTDSIM_PAGE")) sim.writesize = static_cast<uint32_t>(parse_number(v));
    if (const char* v = getenv("MTDSIM_TYPE")) sim.type = static_cast<uint8_t>(parse_number(v));
    sim.check_unit = sim.writesize == 0 ? 1 : sim.writesize;
    parse_list("MTDSIM_BAD", sim.bad);
    sim.blocks = sim.erasesize ? sim.size / sim.erasesize : 0;
    sim.bad_count = static_cast<uint32_t>(mtdsim::count_blocks(sim.bad, sim.blocks));
    load_faults();
    if (const char* v = getenv("MTDSIM_T_PROG")) sim.t_prog = parse_number(v), sim.timing = true;
    if (const char* v = getenv("MTDSIM_T_READ")) sim.t_read = parse_number(v), sim.timing = true;
    if (const char* v = getenv("MTDSIM_T_ERASE")) sim.t_erase = parse_number(v), sim.timing = true;
    sim.exact = getenv("MTDSIM_T_EXACT") != nullptr;
    sim.violations_path = getenv("MTDSIM_VIOLATIONS");
    sim.sparse = sim.size >= mtdsim::kSparseFrom;
    if (const char* log = getenv("MTDSIM_LOG"))
        sim.log_fd = keep_high(real_open()(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (sim.flash_path) {
        int fd = real_open()(sim.flash_path, O_RDWR | O_CLOEXEC);
        sim.flash_fd = keep_high(fd >= 0 ? fd : real_open()(sim.flash_path, O_RDONLY | O_CLOEXEC));
        struct stat64 status;
        if (sim.flash_fd >= 0 && fstat64(sim.flash_fd, &status) == 0 && status.st_blksize > 0 &&
            status.st_blksize <= (1 << 16))
            sim.file_block = static_cast<uint32_t>(status.st_blksize);
    }
    if (const char* pages = getenv("MTDSIM_PAGES")) map_page_state(pages);
    if (!sim.page_state) sim.page_state = &sim.local_page_state;
}

}  // namespace mtdsim::preload
