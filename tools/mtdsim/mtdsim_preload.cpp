// mtdsim's LD_PRELOAD half: makes a regular file act as a raw NAND MTD
// character device for an unchanged program. Opening a path that names an
// MTD device (/dev/mtdN, or the path in MTDSIM_DEVICE) opens the flash file
// instead; ioctl, lseek, read and write on that descriptor then behave as the
// kernel's mtdchar over NAND does, with the strictness real NAND needs:
//   - MEMERASE and writes must be aligned to erase block and page and stay
//     inside the device (EINVAL otherwise), erasing a bad block fails (EIO);
//   - programming a page that was programmed since its last erase (whatever
//     it holds), or a block marked bad, is a violation: it is logged, counted
//     in MTDSIM_VIOLATIONS, and the bits are ANDed in as the chip would;
//   - MEMUNLOCK fails with errno 524, as on most NAND drivers;
//   - reads return the flash, count ECC events, and never fail for them;
//   - faults and a power cut can be injected by block, page or request index.
// Every request is logged to MTDSIM_LOG as "#index REQUEST args -> result".
// Settings come from the environment, written by the mtdsim wrapper.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "mtdsim_shared.h"

namespace {

using mtdsim::RangeList;

constexpr int kNotSupported = 524;    // the kernel's ENOTSUPP
constexpr int kPrivateFdFloor = 900;  // out of the way of programs that reuse low descriptors

enum FaultKind { kFaultNone, kFaultEio, kFaultEintr, kFaultShort, kFaultZero };

struct Fault {
    uint64_t index;
    FaultKind kind;
};

struct Settings {
    bool loaded = false;
    const char* flash_path = nullptr;
    const char* device_path = nullptr;  // exact path to intercept, or null for /dev/mtdN
    uint64_t size = 0;
    uint32_t erasesize = 0;
    uint32_t writesize = 0;
    uint32_t check_unit = 0;  // page size for alignment and erased-page checks
    uint8_t type = MTD_NANDFLASH;
    RangeList bad, fail_erase, fail_write, fail_query, fail_page, bitflips, ecc_fail;
    uint32_t bad_count = 0;  // bad blocks inside the chip, for ECCGETSTATS
    uint64_t short_write = 0;
    bool fail_info = false;
    Fault* faults = nullptr;
    int fault_count = 0;
    uint64_t cut_index = 0;                        // 0: no power cut
    int64_t cut_pages = -1;                        // pages of the cut write that still get programmed
    uint64_t t_prog = 0, t_read = 0, t_erase = 0;  // microseconds the chip stays busy
    bool timing = false;
    int log_fd = -1;
    int flash_fd = -1;  // the simulator's own read-write descriptor on the flash file
    bool sparse = false;
    uint32_t file_block = 4096;  // the file system's allocation unit under the flash file
    const char* violations_path = nullptr;
    const char* cut_path = nullptr;
    // Page state: mapped from the wrapper's FLASH.pages when there is one.
    mtdsim::PageStateHeader* state = nullptr;
    uint8_t* programmed = nullptr;
    uint64_t pages = 0;
};

Settings g;
// ECC counters when no page state file is mapped (the library used without the wrapper).
mtdsim::PageStateHeader g_local_state;
uint64_t g_request_index = 0;
bool g_cut_now = false;  // the request being handled is where the power goes

// Descriptors that are the device, whatever their number.
struct SimFd {
    int fd;
    int number;  // N of the /dev/mtdN the descriptor was opened as
};
SimFd* g_fds = nullptr;
int g_fd_count = 0;

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using CloseFn = int (*)(int);
using Dup2Fn = int (*)(int, int);
using Dup3Fn = int (*)(int, int, int);
using DupFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using LseekFn = off64_t (*)(int, off64_t, int);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using ReadFn = ssize_t (*)(int, void*, size_t);
using PwriteFn = ssize_t (*)(int, const void*, size_t, off64_t);
using PreadFn = ssize_t (*)(int, void*, size_t, off64_t);

template <typename Fn>
Fn next_symbol(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

OpenFn real_open() {
    static OpenFn f = next_symbol<OpenFn>("open64");
    return f;
}
OpenatFn real_openat() {
    static OpenatFn f = next_symbol<OpenatFn>("openat64");
    return f;
}
DupFn real_dup() {
    static DupFn f = next_symbol<DupFn>("dup");
    return f;
}
Dup2Fn real_dup2() {
    static Dup2Fn f = next_symbol<Dup2Fn>("dup2");
    return f;
}
Dup3Fn real_dup3() {
    static Dup3Fn f = next_symbol<Dup3Fn>("dup3");
    return f;
}
CloseFn real_close() {
    static CloseFn f = next_symbol<CloseFn>("close");
    return f;
}
IoctlFn real_ioctl() {
    static IoctlFn f = next_symbol<IoctlFn>("ioctl");
    return f;
}
LseekFn real_lseek() {
    static LseekFn f = next_symbol<LseekFn>("lseek64");
    return f;
}
WriteFn real_write() {
    static WriteFn f = next_symbol<WriteFn>("write");
    return f;
}
ReadFn real_read() {
    static ReadFn f = next_symbol<ReadFn>("read");
    return f;
}
PwriteFn real_pwrite() {
    static PwriteFn f = next_symbol<PwriteFn>("pwrite64");
    return f;
}
PreadFn real_pread() {
    static PreadFn f = next_symbol<PreadFn>("pread64");
    return f;
}

uint64_t parse_number(const char* text) { return strtoull(text, nullptr, 0); }

void parse_list(const char* name, RangeList& list, bool with_value = false) {
    // The wrapper checked the syntax; whatever parsed before a fault stays.
    mtdsim::parse_ranges(getenv(name), with_value, 1, list);
}

bool in_list(const RangeList& list, uint64_t block) { return mtdsim::find_range(list, block) != nullptr; }

FaultKind fault_kind(const char* word) {
    if (strncmp(word, "eio", 3) == 0) return kFaultEio;
    if (strncmp(word, "eintr", 5) == 0) return kFaultEintr;
    if (strncmp(word, "short", 5) == 0) return kFaultShort;
    if (strncmp(word, "zero", 4) == 0) return kFaultZero;
    return kFaultNone;
}

// MTDSIM_FAULTS: "index:kind,index:kind", kinds eio, eintr, short, zero.
void parse_faults() {
    const char* text = getenv("MTDSIM_FAULTS");
    while (text && *text) {
        char* end;
        uint64_t index = strtoull(text, &end, 0);
        if (*end != ':') break;
        void* grown = realloc(g.faults, sizeof(Fault) * static_cast<size_t>(g.fault_count + 1));
        if (!grown) break;
        g.faults = static_cast<Fault*>(grown);
        g.faults[g.fault_count++] = Fault{index, fault_kind(end + 1)};
        const char* comma = strchr(end, ',');
        text = comma ? comma + 1 : nullptr;
    }
}

// MTDSIM_CUT: "index" or "index:pages".
void parse_cut() {
    const char* text = getenv("MTDSIM_CUT");
    if (!text) return;
    char* end;
    g.cut_index = strtoull(text, &end, 0);
    if (*end == ':') g.cut_pages = static_cast<int64_t>(strtoull(end + 1, nullptr, 0));
}

// Moves a descriptor of the simulator's own up, out of the program's way.
int keep_high(int fd) {
    if (fd < 0) return fd;
    int high = fcntl(fd, F_DUPFD_CLOEXEC, kPrivateFdFloor);
    if (high < 0) return fd;  // a descriptor limit under the floor: stay where it is
    real_close()(fd);
    return high;
}

bool is_private_fd(int fd) { return fd >= 0 && (fd == g.log_fd || fd == g.flash_fd); }

// Maps FLASH.pages if it matches this chip; without it, a page counts as
// programmed when it is not all 0xFF.
void map_page_state(const char* path) {
    uint64_t unit = g.check_unit;
    uint64_t pages = (g.size + unit - 1) / unit;
    int fd = real_open()(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return;
    mtdsim::PageStateHeader header;
    if (real_pread()(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
        memcmp(header.magic, mtdsim::kPageStateMagic, sizeof header.magic) == 0 &&
        header.version == mtdsim::kPageStateVersion && header.unit == unit && header.pages == pages) {
        size_t length = static_cast<size_t>(mtdsim::page_state_bytes(pages));
        void* map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (map != MAP_FAILED) {
            g.state = static_cast<mtdsim::PageStateHeader*>(map);
            g.programmed = static_cast<uint8_t*>(map) + mtdsim::kPageStateHeader;
            g.pages = pages;
        }
    }
    real_close()(fd);
}

void load_settings() {
    if (g.loaded) return;
    g.loaded = true;
    g.flash_path = getenv("MTDSIM_FLASH");
    g.device_path = getenv("MTDSIM_DEVICE");
    if (const char* v = getenv("MTDSIM_SIZE")) g.size = parse_number(v);
    if (const char* v = getenv("MTDSIM_ERASE")) g.erasesize = static_cast<uint32_t>(parse_number(v));
    if (const char* v = getenv("MTDSIM_PAGE")) g.writesize = static_cast<uint32_t>(parse_number(v));
    if (const char* v = getenv("MTDSIM_TYPE")) g.type = static_cast<uint8_t>(parse_number(v));
    if (const char* v = getenv("MTDSIM_SHORT_WRITE")) g.short_write = parse_number(v);
    g.fail_info = getenv("MTDSIM_FAIL_INFO") != nullptr;
    g.check_unit = g.writesize == 0 ? 1 : g.writesize;
    parse_list("MTDSIM_BAD", g.bad);
    parse_list("MTDSIM_FAIL_ERASE", g.fail_erase);
    parse_list("MTDSIM_FAIL_WRITE", g.fail_write);
    parse_list("MTDSIM_FAIL_QUERY", g.fail_query);
    parse_list("MTDSIM_FAIL_PAGE", g.fail_page);
    parse_list("MTDSIM_BITFLIPS", g.bitflips, true);
    parse_list("MTDSIM_ECC_FAIL", g.ecc_fail);
    if (g.erasesize) g.bad_count = static_cast<uint32_t>(mtdsim::count_blocks(g.bad, g.size / g.erasesize));
    parse_faults();
    parse_cut();
    if (const char* v = getenv("MTDSIM_T_PROG")) g.t_prog = parse_number(v), g.timing = true;
    if (const char* v = getenv("MTDSIM_T_READ")) g.t_read = parse_number(v), g.timing = true;
    if (const char* v = getenv("MTDSIM_T_ERASE")) g.t_erase = parse_number(v), g.timing = true;
    g.violations_path = getenv("MTDSIM_VIOLATIONS");
    g.cut_path = getenv("MTDSIM_CUT_REPORT");
    g.sparse = g.size >= mtdsim::kSparseFrom;
    if (const char* log = getenv("MTDSIM_LOG"))
        g.log_fd = keep_high(real_open()(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (g.flash_path) {
        int fd = real_open()(g.flash_path, O_RDWR | O_CLOEXEC);
        g.flash_fd = keep_high(fd >= 0 ? fd : real_open()(g.flash_path, O_RDONLY | O_CLOEXEC));
        struct stat64 status;
        if (g.flash_fd >= 0 && fstat64(g.flash_fd, &status) == 0 && status.st_blksize > 0 &&
            status.st_blksize <= (1 << 16))
            g.file_block = static_cast<uint32_t>(status.st_blksize);
    }
    if (const char* pages = getenv("MTDSIM_PAGES")) map_page_state(pages);
    if (!g.state) g.state = &g_local_state;
}

void log_line(const char* format, ...) {
    if (g.log_fd < 0) return;
    char line[320];
    int head = snprintf(line, sizeof line, "#%llu ", static_cast<unsigned long long>(g_request_index));
    va_list args;
    va_start(args, format);
    int body = vsnprintf(line + head, sizeof line - head - 1, format, args);
    va_end(args);
    size_t length = static_cast<size_t>(head) + static_cast<size_t>(body);
    if (length > sizeof line - 2) length = sizeof line - 2;
    line[length++] = '\n';
    real_write()(g.log_fd, line, length);
}

void append_to(const char* path, const char* text) {
    if (!path) return;
    int fd = real_open()(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    real_write()(fd, text, strlen(text));
    real_close()(fd);
}

void violation(const char* format, ...) {
    char text[200];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_line("VIOLATION %s", text);
    char line[220];
    snprintf(line, sizeof line, "%s\n", text);
    append_to(g.violations_path, line);
}

// The power goes at this request: logged, told to the wrapper, and the
// process dies as it would on the board, with nothing after this point done.
[[noreturn]] void power_cut(const char* format, ...) {
    char text[200];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_line("cut %s", text);
    char line[240];
    snprintf(line, sizeof line, "%llu %s\n", static_cast<unsigned long long>(g_request_index), text);
    append_to(g.cut_path, line);
    kill(getpid(), SIGKILL);
    _exit(128 + SIGKILL);
}

// The injected fault for the request being handled, if any.
FaultKind next_request() {
    ++g_request_index;
    g_cut_now = g.cut_index == g_request_index;
    for (int i = 0; i < g.fault_count; ++i)
        if (g.faults[i].index == g_request_index) return g.faults[i].kind;
    return kFaultNone;
}

int fail(int error) {
    errno = error;
    return -1;
}

const char* error_name(int error) {
    switch (error) {
        case 0: return "";
        case EINVAL: return " EINVAL";
        case EIO: return " EIO";
        case EINTR: return " EINTR";
        case EBADF: return " EBADF";
        default: return " ERROR";
    }
}

// The chip is busy for this long; sleeping leaves the CPU to others, as a
// controller that waits on an interrupt or DMA does.
uint64_t chip_busy(uint64_t microseconds) {
    if (!g.timing || microseconds == 0) return 0;
    timespec left{static_cast<time_t>(microseconds / 1000000),
                  static_cast<long>(microseconds % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
    return microseconds;
}

// " busy US" on the log line of a request that kept the chip busy.
void busy_suffix(char* out, size_t size, uint64_t microseconds) {
    if (g.timing)
        snprintf(out, size, " busy %llu", static_cast<unsigned long long>(microseconds));
    else if (size)
        out[0] = '\0';
}

bool is_mtd_path(const char* path) {
    load_settings();
    if (!path || !g.flash_path) return false;
    if (g.device_path) return strcmp(path, g.device_path) == 0;
    if (strncmp(path, "/dev/mtd", 8) != 0 || path[8] == '\0') return false;
    for (const char* p = path + 8; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    return true;
}

int find_sim_fd(int fd) {
    for (int i = 0; i < g_fd_count; ++i)
        if (g_fds[i].fd == fd) return i;
    return -1;
}

bool is_sim_fd(int fd) { return fd >= 0 && g_fd_count > 0 && find_sim_fd(fd) >= 0; }

void forget_sim_fd(int fd) {
    int i = find_sim_fd(fd);
    if (i >= 0) g_fds[i] = g_fds[--g_fd_count];
}

void remember_sim_fd(int fd, int number) {
    if (fd < 0) return;
    int i = find_sim_fd(fd);
    if (i < 0) {
        void* grown = realloc(g_fds, sizeof(SimFd) * static_cast<size_t>(g_fd_count + 1));
        if (!grown) return;
        g_fds = static_cast<SimFd*>(grown);
        i = g_fd_count++;
    }
    g_fds[i] = SimFd{fd, number};
}

int sim_number(int fd) {
    int i = find_sim_fd(fd);
    return i < 0 ? 0 : g_fds[i].number;
}

bool is_proc_mtd(const char* path) {
    load_settings();
    return path && g.flash_path && strcmp(path, "/proc/mtd") == 0;
}

// N of a "/dev/mtdN" path, 0 for any other path.
int mtd_number(const char* path) {
    if (!path || strncmp(path, "/dev/mtd", 8) != 0 || path[8] == '\0') return 0;
    for (const char* p = path + 8; *p; ++p)
        if (*p < '0' || *p > '9') return 0;
    return atoi(path + 8);
}

// The device numbers the simulated chip answers as: the one --device names,
// or every N when every /dev/mtdN is the chip.
bool is_simulated_number(int number) { return !g.device_path || number == mtd_number(g.device_path); }

int open_text(const char* name, const char* text, size_t length) {
    int fd = static_cast<int>(syscall(SYS_memfd_create, name, 0));
    if (fd < 0) return fd;
    real_write()(fd, text, length);
    real_lseek()(fd, 0, SEEK_SET);
    return fd;
}

// Tools built on mtd-utils' libmtd find MTD devices through /proc/mtd when
// sysfs has none: list the simulated chip under every device number.
int open_proc_mtd() {
    char text[4096];
    int length = snprintf(text, sizeof text, "dev:    size   erasesize  name\n");
    for (int n = 0; n < 32; ++n)
        length += snprintf(text + length, sizeof text - length, "mtd%d: %08llx %08x \"mtdsim\"\n", n,
                           static_cast<unsigned long long>(g.size), g.erasesize);
    return open_text("proc-mtd", text, static_cast<size_t>(length));
}

uint32_t oob_size() { return g.writesize >= 2048 ? g.writesize / 32 : 16; }

const char* type_name() {
    switch (g.type) {
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

uint32_t cap_flags() { return g.type == MTD_NANDFLASH ? MTD_CAP_NANDFLASH : MTD_CAP_NORFLASH; }

// The text of /sys/class/mtd/mtdN/ATTRIBUTE as the kernel words it; the
// 64-bit chip size is only available here. Returns its length, -1 for an
// attribute not simulated.
int sysfs_text(int number, const char* attribute, char* out, size_t size) {
    const auto is = [attribute](const char* name) { return strcmp(attribute, name) == 0; };
    const mtdsim::PageStateHeader& s = *g.state;
    if (is("dev")) return snprintf(out, size, "90:%d\n", 2 * number);
    if (is("name")) return snprintf(out, size, "mtdsim\n");
    if (is("type")) return snprintf(out, size, "%s\n", type_name());
    if (is("flags")) return snprintf(out, size, "0x%lx\n", static_cast<unsigned long>(cap_flags()));
    if (is("size")) return snprintf(out, size, "%llu\n", static_cast<unsigned long long>(g.size));
    if (is("erasesize")) return snprintf(out, size, "%u\n", g.erasesize);
    if (is("writesize") || is("subpagesize")) return snprintf(out, size, "%u\n", g.writesize);
    if (is("oobsize")) return snprintf(out, size, "%u\n", oob_size());
    if (is("numeraseregions")) return snprintf(out, size, "0\n");
    if (is("corrected_bits"))
        return snprintf(out, size, "%u\n", __atomic_load_n(&s.ecc_corrected, __ATOMIC_RELAXED));
    if (is("ecc_failures"))
        return snprintf(out, size, "%u\n", __atomic_load_n(&s.ecc_failed, __ATOMIC_RELAXED));
    if (is("bad_blocks")) return snprintf(out, size, "%u\n", g.bad_count);
    if (is("bbt_blocks")) return snprintf(out, size, "0\n");
    return -1;
}

// "/sys/class/mtd/mtdN/ATTRIBUTE" for a simulated N: the attribute's text.
bool sysfs_request(const char* path, char* text, size_t size, int& length) {
    load_settings();
    static const char prefix[] = "/sys/class/mtd/mtd";
    if (!path || !g.flash_path || strncmp(path, prefix, sizeof prefix - 1) != 0) return false;
    const char* p = path + sizeof prefix - 1;
    if (*p < '0' || *p > '9') return false;
    int number = 0;
    for (; *p >= '0' && *p <= '9'; ++p) number = number * 10 + (*p - '0');
    if (*p != '/' || strchr(p + 1, '/') || !is_simulated_number(number)) return false;
    length = sysfs_text(number, p + 1, text, size);
    return length >= 0;
}

int open_flash(const char* path, int flags) {
    int fd = real_open()(g.flash_path, (flags & O_ACCMODE) | O_CLOEXEC);
    remember_sim_fd(fd, mtd_number(path));
    log_line("open %s -> %d", path, fd);
    return fd;
}

uint64_t block_of(uint64_t offset) { return g.erasesize ? offset / g.erasesize : 0; }
uint64_t page_of(uint64_t offset) { return offset / g.check_unit; }

bool page_programmed(uint64_t page) {
    if (!g.programmed || page >= g.pages) return false;
    return (__atomic_load_n(&g.programmed[page / 8], __ATOMIC_RELAXED) >> (page % 8)) & 1;
}

void mark_programmed(uint64_t first, uint64_t count) {
    if (!g.programmed) return;
    for (uint64_t p = first; p < first + count && p < g.pages; ++p)
        __atomic_fetch_or(&g.programmed[p / 8], static_cast<uint8_t>(1u << (p % 8)), __ATOMIC_RELAXED);
}

void mark_erased(uint64_t first, uint64_t count) {
    if (!g.programmed) return;
    uint64_t end = first + count < g.pages ? first + count : g.pages;
    for (uint64_t p = first; p < end; ++p) {
        if (p % 8 == 0 && p + 8 <= end) {  // whole bytes at once
            uint64_t whole = (end - p) / 8;
            memset(g.programmed + p / 8, 0, static_cast<size_t>(whole));
            p += whole * 8 - 1;
            continue;
        }
        __atomic_fetch_and(&g.programmed[p / 8], static_cast<uint8_t>(~(1u << (p % 8))), __ATOMIC_RELAXED);
    }
}

// Reads flash bytes from the file; in a sparse flash file a hole is erased
// flash, so it reads as 0xFF. Returns 0, or -1 when the file fails.
int read_cells(uint8_t* into, size_t count, uint64_t at) {
    return mtdsim::read_flash(g.flash_fd, into, count, at, g.sparse, real_pread(), real_lseek());
}

int sim_getinfo(mtd_info_user* info, FaultKind fault) {
    if (g_cut_now) power_cut("MEMGETINFO");
    if (g.fail_info || fault != kFaultNone) {
        log_line("MEMGETINFO -> -1 ENOTTY");
        return fail(ENOTTY);
    }
    memset(info, 0, sizeof *info);
    info->type = g.type;
    info->flags = cap_flags();
    info->size = static_cast<uint32_t>(g.size);  // wraps above 4 GiB, as the kernel's does
    info->erasesize = g.erasesize;
    info->writesize = g.writesize;
    info->oobsize = oob_size();
    log_line("MEMGETINFO -> 0");
    return 0;
}

// Like nand_block_isbad: any offset inside the chip asks about the block holding it.
int sim_getbadblock(const loff_t* where, FaultKind fault) {
    uint64_t offset = static_cast<uint64_t>(*where);
    if (g_cut_now) power_cut("MEMGETBADBLOCK 0x%08llx", static_cast<unsigned long long>(offset));
    int result;
    int error = 0;
    if (*where < 0 || offset >= g.size)
        error = EINVAL;
    else if (fault != kFaultNone || in_list(g.fail_query, block_of(offset)))
        error = EIO;
    result = error ? -1 : in_list(g.bad, block_of(offset)) ? 1 : 0;
    log_line("MEMGETBADBLOCK 0x%08llx -> %d%s", static_cast<unsigned long long>(offset), result,
             error_name(error));
    return error ? fail(error) : result;
}

int erase_cells(uint64_t start, uint64_t length) {
    // Only whole file system blocks become a hole; a partial one would be
    // zeroed, and zeros are not erased flash.
    if (g.sparse && start % g.file_block == 0 && length % g.file_block == 0 &&
        fallocate64(g.flash_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off64_t>(start),
                    static_cast<off64_t>(length)) == 0)
        return 0;
    static uint8_t erased[1 << 16];
    memset(erased, 0xFF, sizeof erased);
    for (uint64_t done = 0; done < length;) {
        size_t piece = length - done < sizeof erased ? static_cast<size_t>(length - done) : sizeof erased;
        if (real_pwrite()(g.flash_fd, erased, piece, static_cast<off64_t>(start + done)) !=
            static_cast<ssize_t>(piece))
            return -1;
        done += piece;
    }
    return 0;
}

int sim_erase(int fd, uint64_t start, uint64_t length, FaultKind fault) {
    if (g_cut_now)
        power_cut("MEMERASE 0x%08llx 0x%08llx", static_cast<unsigned long long>(start),
                  static_cast<unsigned long long>(length));
    int error = 0;
    if (g.erasesize == 0 || start % g.erasesize || length % g.erasesize || length == 0 ||
        start + length > g.size)
        error = EINVAL;
    else if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY)
        error = EPERM;
    else if (fault != kFaultNone)
        error = EIO;
    for (uint64_t b = block_of(start); !error && b < block_of(start + length); ++b)
        if (in_list(g.bad, b) || in_list(g.fail_erase, b)) error = EIO;
    if (error == EINVAL)
        violation("MEMERASE of unaligned or out-of-range 0x%08llx+0x%llx",
                  static_cast<unsigned long long>(start), static_cast<unsigned long long>(length));
    uint64_t busy = 0;
    if (!error) {
        if (erase_cells(start, length) != 0)
            error = EIO;
        else
            mark_erased(page_of(start), length / g.check_unit);
        busy = chip_busy(length / g.erasesize * g.t_erase);
    }
    char suffix[40];
    busy_suffix(suffix, sizeof suffix, busy);
    log_line("MEMERASE 0x%08llx 0x%08llx -> %d%s%s", static_cast<unsigned long long>(start),
             static_cast<unsigned long long>(length), error ? -1 : 0,
             error == EPERM ? " EPERM" : error_name(error), suffix);
    return error ? fail(error) : 0;
}

int sim_eccstats(mtd_ecc_stats* stats, FaultKind fault) {
    if (g_cut_now) power_cut("ECCGETSTATS");
    if (fault != kFaultNone) {
        log_line("ECCGETSTATS -> -1 EIO");
        return fail(EIO);
    }
    memset(stats, 0, sizeof *stats);
    stats->corrected = __atomic_load_n(&g.state->ecc_corrected, __ATOMIC_RELAXED);
    stats->failed = __atomic_load_n(&g.state->ecc_failed, __ATOMIC_RELAXED);
    stats->badblocks = g.bad_count;
    stats->bbtblocks = 0;
    log_line("ECCGETSTATS -> 0 corrected %u failed %u badblocks %u bbtblocks 0", stats->corrected,
             stats->failed, stats->badblocks);
    return 0;
}

int sim_ioctl(int fd, unsigned long request, void* argument) {
    FaultKind fault = next_request();
    switch (request) {
        case MEMGETINFO: return sim_getinfo(static_cast<mtd_info_user*>(argument), fault);
        case MEMGETBADBLOCK: return sim_getbadblock(static_cast<const loff_t*>(argument), fault);
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
            if (g_cut_now) power_cut("MEMUNLOCK 0x%08x 0x%08x", range->start, range->length);
            log_line("MEMUNLOCK 0x%08x 0x%08x -> -1 524", range->start, range->length);
            return fail(kNotSupported);
        }
        case ECCGETLAYOUT:
        case MEMGETOOBSEL:
        case MEMGETREGIONCOUNT:
        case MEMISLOCKED:
            // Queries mtd-utils makes and copes without; not simulated.
            if (g_cut_now) power_cut("ioctl 0x%08lx", request);
            log_line("ioctl 0x%08lx -> -1 ENOTTY", request);
            return fail(ENOTTY);
        default:
            if (g_cut_now) power_cut("ioctl 0x%08lx", request);
            log_line("ioctl 0x%08lx -> -1 ENOTTY", request);
            violation("unexpected ioctl 0x%08lx", request);
            return fail(ENOTTY);
    }
}

off64_t sim_lseek(int fd, off64_t offset, int whence) {
    FaultKind fault = next_request();
    if (g_cut_now) power_cut("lseek 0x%08llx %d", static_cast<unsigned long long>(offset), whence);
    if (fault != kFaultNone) {
        log_line("lseek 0x%08llx %d -> -1 EINVAL", static_cast<unsigned long long>(offset), whence);
        return fail(EINVAL);
    }
    // Like mtdchar: SEEK_SET, SEEK_CUR or SEEK_END to any position from 0 to
    // the device size, else EINVAL.
    off64_t target = offset;
    bool known = whence == SEEK_SET || whence == SEEK_CUR || whence == SEEK_END;
    if (whence == SEEK_CUR)
        target += real_lseek()(fd, 0, SEEK_CUR);
    else if (whence == SEEK_END)
        target += static_cast<off64_t>(g.size);
    off64_t result = known && target >= 0 && target <= static_cast<off64_t>(g.size)
                         ? real_lseek()(fd, target, SEEK_SET)
                         : fail(EINVAL);
    if (result < 0)
        log_line("lseek 0x%08llx %d -> -1 EINVAL", static_cast<unsigned long long>(offset), whence);
    else
        log_line("lseek 0x%08llx %d -> 0x%08llx", static_cast<unsigned long long>(offset), whence,
                 static_cast<unsigned long long>(result));
    return result;
}

// Writing part of a hole in a sparse flash file allocates a whole file
// system block whose other bytes read as zero, not as erased flash: give
// the block holding `at` its 0xFF first.
int fill_file_block(uint64_t at) {
    static uint8_t cells[1 << 16];
    uint64_t start = at / g.file_block * g.file_block;
    size_t length = static_cast<size_t>(g.size - start < g.file_block ? g.size - start : g.file_block);
    if (read_cells(cells, length, start) != 0) return -1;
    return real_pwrite()(g.flash_fd, cells, length, static_cast<off64_t>(start)) ==
                   static_cast<ssize_t>(length)
               ? 0
               : -1;
}

// Programs whole pages of `count` bytes at `position` the way NAND does: a
// page programmed since its last erase, or a block marked bad, is a
// violation, and bits only go 1 -> 0. Stops before a page that fails to
// program (--fail-page), setting `error` to EIO; the pages before it stay
// programmed. Returns the bytes programmed, -1 when the flash file fails.
ssize_t program(const uint8_t* data, size_t count, uint64_t position, int& error) {
    static uint8_t cells[1 << 16];
    const size_t unit = g.check_unit;
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
            if (in_list(g.fail_page, page_of(page_at))) {
                error = EIO;
                break;
            }
            if (good == 0 || (g.erasesize && page_at % g.erasesize == 0)) {
                if (in_list(g.bad, block_of(page_at)))
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
        }
        if (good && g.sparse && (fill_file_block(at) != 0 || fill_file_block(at + good - 1) != 0))
            return fail(EIO);
        if (good &&
            real_pwrite()(g.flash_fd, cells, good, static_cast<off64_t>(at)) != static_cast<ssize_t>(good))
            return fail(EIO);
        mark_programmed(page_of(at), good / unit);
        done += good;
        if (error) break;
    }
    return static_cast<ssize_t>(done);
}

ssize_t sim_write(int fd, const void* data, size_t count, const off64_t* at) {
    FaultKind fault = next_request();
    const char* name = at ? "pwrite" : "write";
    uint64_t position =
        at ? static_cast<uint64_t>(*at) : static_cast<uint64_t>(real_lseek()(fd, 0, SEEK_CUR));
    const size_t unit = g.check_unit;
    const bool invalid = position % unit || count % unit || position + count > g.size;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (g_cut_now) {
        if (g.cut_pages < 0 || invalid)
            power_cut("%s 0x%08llx %zu", name, static_cast<unsigned long long>(position), count);
        size_t pages = count / unit < static_cast<uint64_t>(g.cut_pages) ? count / unit
                                                                         : static_cast<size_t>(g.cut_pages);
        int stopped = 0;
        ssize_t programmed = program(bytes, pages * unit, position, stopped);
        size_t done = programmed > 0 ? static_cast<size_t>(programmed) / unit : 0;
        chip_busy(done * g.t_prog);
        power_cut("%s 0x%08llx %zu after %zu pages", name, static_cast<unsigned long long>(position), count,
                  done);
    }
    size_t accept = count;
    int error = 0;
    if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY)
        error = EBADF;
    else if (invalid)
        error = EINVAL;
    else if (fault == kFaultEio || in_list(g.fail_write, block_of(position)))
        error = EIO;
    else if (fault == kFaultEintr)
        error = EINTR;
    else if (fault == kFaultZero)
        accept = 0;
    else if (fault == kFaultShort && count > unit)
        accept = count / 2 / unit * unit;
    else if (g.short_write && count > g.short_write)
        accept = g.short_write;
    if (error == EINVAL)
        violation("write of %zu bytes at 0x%08llx: not page aligned or past the end", count,
                  static_cast<unsigned long long>(position));
    ssize_t result = -1;
    uint64_t busy = 0;
    char stopped[40] = "";
    if (!error) {
        result = program(bytes, accept, position, error);
        if (result < 0) {
            error = EIO;
        } else {
            // A page that fails to program keeps the chip busy as long as one that works.
            busy = chip_busy((static_cast<uint64_t>(result) / unit + (error ? 1 : 0)) * g.t_prog);
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

// Counts the ECC events of reading pages first..last: --bitflips blocks
// give corrected bits, --ecc-fail blocks uncorrectable pages. The data is
// returned either way, as mtdchar returns it.
void count_ecc(uint64_t first, uint64_t last, uint32_t& corrected, uint32_t& failed) {
    if (!g.bitflips.count && !g.ecc_fail.count) return;
    for (uint64_t page = first; page <= last; ++page) {
        uint64_t block = block_of(page * g.check_unit);
        if (const mtdsim::Range* flips = mtdsim::find_range(g.bitflips, block)) corrected += flips->value;
        if (in_list(g.ecc_fail, block)) ++failed;
    }
    if (corrected) __atomic_fetch_add(&g.state->ecc_corrected, corrected, __ATOMIC_RELAXED);
    if (failed) __atomic_fetch_add(&g.state->ecc_failed, failed, __ATOMIC_RELAXED);
}

ssize_t sim_read(int fd, void* buffer, size_t count, const off64_t* at) {
    FaultKind fault = next_request();
    int64_t position = at ? static_cast<int64_t>(*at) : static_cast<int64_t>(real_lseek()(fd, 0, SEEK_CUR));
    if (g_cut_now) power_cut("read 0x%08llx %zu", static_cast<unsigned long long>(position), count);
    int error = 0;
    size_t length = 0;
    if (position < 0) {
        error = EINVAL;
    } else if ((fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY) {
        error = EBADF;
    } else if (static_cast<uint64_t>(position) < g.size) {
        // Like mtdchar: cut at the end of the chip, 0 at or past it.
        uint64_t left = g.size - static_cast<uint64_t>(position);
        length = count < left ? count : static_cast<size_t>(left);
    }
    if (!error && length) {
        if (fault == kFaultEio)
            error = EIO;
        else if (fault == kFaultEintr)
            error = EINTR;
        else if (fault == kFaultZero)
            length = 0;
        else if (fault == kFaultShort)
            length = length > g.check_unit ? length / 2 / g.check_unit * g.check_unit : (length + 1) / 2;
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
            busy = chip_busy((last - first + 1) * g.t_read);
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

// A descriptor the kernel handed out for another file: if the device had
// that number once and was closed where the simulator could not see it
// (fclose, close_range), it is not the device any more.
int plain_descriptor(int fd) {
    if (fd >= 0 && g_fd_count) forget_sim_fd(fd);
    return fd;
}

// Opens of the device node, of /proc/mtd and of the chip's sysfs attributes
// are the simulator's; true when `path` was one of them, with the descriptor
// (or -1) in `fd`.
bool open_simulated(const char* path, int flags, int& fd) {
    char text[64];
    int length = 0;
    if (is_mtd_path(path))
        fd = open_flash(path, flags);
    else if (is_proc_mtd(path))
        fd = plain_descriptor(open_proc_mtd());
    else if ((flags & O_ACCMODE) == O_RDONLY && sysfs_request(path, text, sizeof text, length))
        fd = plain_descriptor(open_text("sysfs-mtd", text, static_cast<size_t>(length)));
    else
        return false;
    return true;
}

// Tells the wrapper the library is in this process: without it a device
// request would reach the real kernel. Raw system calls and no formatting,
// so a process that never touches the device pays next to nothing for it.
__attribute__((constructor)) void announce() {
    const char* path = getenv("MTDSIM_HANDSHAKE");
    if (!path) return;
    char line[24];
    size_t at = sizeof line;
    line[--at] = '\n';
    for (unsigned long pid = static_cast<unsigned long>(getpid()); at > 0;) {
        line[--at] = static_cast<char>('0' + pid % 10);
        pid /= 10;
        if (pid == 0) break;
    }
    long fd = syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    syscall(SYS_write, fd, line + at, sizeof line - at);
    syscall(SYS_close, fd);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    int fd;
    return open_simulated(path, flags, fd) ? fd : plain_descriptor(real_open()(path, flags, mode));
}

int open64(const char* path, int flags, ...) __attribute__((alias("open")));

int openat(int dirfd, const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    int fd;
    return open_simulated(path, flags, fd) ? fd : plain_descriptor(real_openat()(dirfd, path, flags, mode));
}

int openat64(int dirfd, const char* path, int flags, ...) __attribute__((alias("openat")));

// The fortified entry points that _FORTIFY_SOURCE builds call.
int __open_2(const char* path, int flags) { return open(path, flags); }
int __open64_2(const char* path, int flags) { return open(path, flags); }
int __openat_2(int dirfd, const char* path, int flags) { return openat(dirfd, path, flags); }
int __openat64_2(int dirfd, const char* path, int flags) { return openat(dirfd, path, flags); }

// A duplicate of the device is the device too (dd, for one, moves its output
// onto descriptor 1 with dup2), and a descriptor reused for something else
// no longer is.
static int track_duplicate(int from, int to) {
    if (to < 0) return to;
    if (is_sim_fd(from)) {
        remember_sim_fd(to, sim_number(from));
        log_line("dup %d -> %d", from, to);
    } else {
        forget_sim_fd(to);
    }
    return to;
}

int dup(int fd) { return track_duplicate(fd, real_dup()(fd)); }

int dup2(int fd, int to) {
    int result = real_dup2()(fd, to);
    return result < 0 ? result : track_duplicate(fd, result);
}

int dup3(int fd, int to, int flags) {
    int result = real_dup3()(fd, to, flags);
    return result < 0 ? result : track_duplicate(fd, result);
}

// The device node is a character device of the MTD major (90), minor 2N.
static int stat_device(int number, struct stat64* status) {
    memset(status, 0, sizeof *status);
    status->st_mode = S_IFCHR | 0660;
    status->st_rdev = makedev(90, 2 * number);
    status->st_blksize = 4096;
    return 0;
}

static void narrow(const struct stat64& wide, struct stat* status) {
    memset(status, 0, sizeof *status);
    status->st_mode = wide.st_mode;
    status->st_rdev = wide.st_rdev;
    status->st_blksize = wide.st_blksize;
}

using Stat64Fn = int (*)(const char*, struct stat64*);
using StatFn = int (*)(const char*, struct stat*);

int stat64(const char* path, struct stat64* status) {
    if (is_mtd_path(path)) return stat_device(mtd_number(path), status);
    static Stat64Fn next = next_symbol<Stat64Fn>("stat64");
    return next(path, status);
}

int stat(const char* path, struct stat* status) {
    if (is_mtd_path(path)) {
        struct stat64 wide;
        stat_device(mtd_number(path), &wide);
        narrow(wide, status);
        return 0;
    }
    static StatFn next = next_symbol<StatFn>("stat");
    return next(path, status);
}

using Fstat64Fn = int (*)(int, struct stat64*);
using FstatFn = int (*)(int, struct stat*);

int fstat64(int fd, struct stat64* status) {
    if (is_sim_fd(fd)) return stat_device(sim_number(fd), status);
    static Fstat64Fn next = next_symbol<Fstat64Fn>("fstat64");
    return next(fd, status);
}

int fstat(int fd, struct stat* status) {
    if (is_sim_fd(fd)) {
        struct stat64 wide;
        stat_device(sim_number(fd), &wide);
        narrow(wide, status);
        return 0;
    }
    static FstatFn next = next_symbol<FstatFn>("fstat");
    return next(fd, status);
}

using AccessFn = int (*)(const char*, int);

int access(const char* path, int mode) {
    char text[64];
    int length;
    if (is_proc_mtd(path) || is_mtd_path(path) ||
        (!(mode & W_OK) && sysfs_request(path, text, sizeof text, length)))
        return 0;
    static AccessFn next = next_symbol<AccessFn>("access");
    return next(path, mode);
}

int close(int fd) {
    // Programs that close every descriptor they did not open would take the
    // simulator's own with them.
    if (is_private_fd(fd)) return 0;
    if (is_sim_fd(fd)) {
        forget_sim_fd(fd);
        log_line("close %d", fd);
    }
    return real_close()(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if (is_sim_fd(fd)) return sim_ioctl(fd, request, argument);
    return real_ioctl()(fd, request, argument);
}

off64_t lseek64(int fd, off64_t offset, int whence) {
    if (is_sim_fd(fd)) return sim_lseek(fd, offset, whence);
    return real_lseek()(fd, offset, whence);
}

off_t lseek(int fd, off_t offset, int whence) { return static_cast<off_t>(lseek64(fd, offset, whence)); }

ssize_t write(int fd, const void* data, size_t count) {
    if (is_sim_fd(fd)) return sim_write(fd, data, count, nullptr);
    return real_write()(fd, data, count);
}

ssize_t pwrite64(int fd, const void* data, size_t count, off64_t offset) {
    if (is_sim_fd(fd)) return sim_write(fd, data, count, &offset);
    return real_pwrite()(fd, data, count, offset);
}

ssize_t pwrite(int fd, const void* data, size_t count, off_t offset) {
    return pwrite64(fd, data, count, offset);
}

ssize_t read(int fd, void* buffer, size_t count) {
    if (is_sim_fd(fd)) return sim_read(fd, buffer, count, nullptr);
    return real_read()(fd, buffer, count);
}

ssize_t pread64(int fd, void* buffer, size_t count, off64_t offset) {
    if (is_sim_fd(fd)) return sim_read(fd, buffer, count, &offset);
    return real_pread()(fd, buffer, count, offset);
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) { return pread64(fd, buffer, count, offset); }

// The fortified reads of _FORTIFY_SOURCE builds.
void __chk_fail(void) __attribute__((noreturn));

ssize_t __read_chk(int fd, void* buffer, size_t count, size_t room) {
    if (count > room) __chk_fail();
    return read(fd, buffer, count);
}

ssize_t __pread64_chk(int fd, void* buffer, size_t count, off64_t offset, size_t room) {
    if (count > room) __chk_fail();
    return pread64(fd, buffer, count, offset);
}

ssize_t __pread_chk(int fd, void* buffer, size_t count, off_t offset, size_t room) {
    if (count > room) __chk_fail();
    return pread64(fd, buffer, count, offset);
}

}  // extern "C"
