// mtdsim's LD_PRELOAD half: makes a regular file act as a raw NAND MTD
// character device for an unchanged program. Opening a path that names an
// MTD device (/dev/mtdN, or the path in MTDSIM_DEVICE) opens the flash file
// instead; ioctl, lseek and write on that descriptor then behave as the
// kernel's mtdchar over NAND does, with the strictness real NAND needs:
//   - MEMERASE and writes must be aligned to erase block and page and stay
//     inside the device (EINVAL otherwise), erasing a bad block fails (EIO);
//   - programming a page that is not erased, or a block marked bad, is a
//     violation: it is logged, counted in MTDSIM_VIOLATIONS, and the bits are
//     ANDed in as the chip would;
//   - MEMUNLOCK fails with errno 524, as on most NAND drivers;
//   - faults can be injected by block or by request index.
// Every request is logged to MTDSIM_LOG as "#index REQUEST args -> result".
// Settings come from the environment, written by the mtdsim wrapper.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr int kMaxFds = 1024;
constexpr int kMaxList = 256;
constexpr int kNotSupported = 524;  // the kernel's ENOTSUPP

struct BlockList {
    int count = 0;
    uint64_t items[kMaxList];
};

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
    BlockList bad, fail_erase, fail_write, fail_query;
    uint64_t short_write = 0;
    bool fail_info = false;
    int fault_count = 0;
    Fault faults[kMaxList];
    int log_fd = -1;
    const char* violations_path = nullptr;
};

Settings g;
bool g_sim_fd[kMaxFds];
int g_sim_number[kMaxFds];  // N of the /dev/mtdN the descriptor was opened as
uint64_t g_request_index = 0;

using OpenFn = int (*)(const char*, int, ...);
using OpenatFn = int (*)(int, const char*, int, ...);
using CloseFn = int (*)(int);
using Dup2Fn = int (*)(int, int);
using Dup3Fn = int (*)(int, int, int);
using DupFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using LseekFn = off64_t (*)(int, off64_t, int);
using WriteFn = ssize_t (*)(int, const void*, size_t);
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
PwriteFn real_pwrite() {
    static PwriteFn f = next_symbol<PwriteFn>("pwrite64");
    return f;
}
PreadFn real_pread() {
    static PreadFn f = next_symbol<PreadFn>("pread64");
    return f;
}

uint64_t parse_number(const char* text) { return strtoull(text, nullptr, 0); }

void parse_list(const char* name, BlockList& list) {
    const char* text = getenv(name);
    while (text && *text && list.count < kMaxList) {
        char* end;
        list.items[list.count++] = strtoull(text, &end, 0);
        text = *end == ',' ? end + 1 : end;
        if (end == text && *end != '\0') break;
    }
}

bool in_list(const BlockList& list, uint64_t block) {
    for (int i = 0; i < list.count; ++i)
        if (list.items[i] == block) return true;
    return false;
}

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
    while (text && *text && g.fault_count < kMaxList) {
        char* end;
        uint64_t index = strtoull(text, &end, 0);
        if (*end != ':') break;
        g.faults[g.fault_count++] = Fault{index, fault_kind(end + 1)};
        const char* comma = strchr(end, ',');
        text = comma ? comma + 1 : nullptr;
    }
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
    parse_faults();
    g.violations_path = getenv("MTDSIM_VIOLATIONS");
    if (const char* log = getenv("MTDSIM_LOG")) {
        // Kept on a high descriptor, out of the way of programs that reuse
        // low ones (dd moves its files onto 0 and 1).
        int fd = real_open()(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        g.log_fd = fd < 0 ? fd : fcntl(fd, F_DUPFD_CLOEXEC, 900);
        if (fd >= 0) real_close()(fd);
    }
}

void log_line(const char* format, ...) {
    if (g.log_fd < 0) return;
    char line[256];
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

void violation(const char* format, ...) {
    char text[200];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    log_line("VIOLATION %s", text);
    if (!g.violations_path) return;
    int fd = real_open()(g.violations_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char line[220];
    int length = snprintf(line, sizeof line, "%s\n", text);
    real_write()(fd, line, static_cast<size_t>(length));
    real_close()(fd);
}

// The injected fault for the request being handled, if any.
FaultKind next_request() {
    ++g_request_index;
    for (int i = 0; i < g.fault_count; ++i)
        if (g.faults[i].index == g_request_index) return g.faults[i].kind;
    return kFaultNone;
}

int fail(int error) {
    errno = error;
    return -1;
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

bool is_sim_fd(int fd) { return fd >= 0 && fd < kMaxFds && g_sim_fd[fd]; }

bool is_proc_mtd(const char* path) {
    load_settings();
    return path && g.flash_path && strcmp(path, "/proc/mtd") == 0;
}

// The MTD number in "/dev/mtdN" (0 for another intercepted path).
int mtd_number(const char* path) {
    const char* digits = strrchr(path, 'd');
    return digits ? atoi(digits + 1) : 0;
}

// Tools built on mtd-utils' libmtd find MTD devices through /proc/mtd when
// sysfs has none: list the simulated chip under every device number.
int open_proc_mtd() {
    int fd = static_cast<int>(syscall(SYS_memfd_create, "proc-mtd", 0));
    if (fd < 0) return fd;
    char text[4096];
    int length = snprintf(text, sizeof text, "dev:    size   erasesize  name\n");
    for (int n = 0; n < 32; ++n)
        length += snprintf(text + length, sizeof text - length, "mtd%d: %08llx %08x \"mtdsim\"\n", n,
                           static_cast<unsigned long long>(g.size), g.erasesize);
    real_write()(fd, text, static_cast<size_t>(length));
    real_lseek()(fd, 0, SEEK_SET);
    return fd;
}

int open_flash(const char* path, int flags) {
    int fd = real_open()(g.flash_path, (flags & O_ACCMODE) | O_CLOEXEC);
    if (fd >= 0 && fd < kMaxFds) {
        g_sim_fd[fd] = true;
        g_sim_number[fd] = mtd_number(path);
    }
    log_line("open %s -> %d", path, fd);
    return fd;
}

uint64_t block_of(uint64_t offset) { return g.erasesize ? offset / g.erasesize : 0; }

int sim_getinfo(mtd_info_user* info, FaultKind fault) {
    if (g.fail_info || fault != kFaultNone) {
        log_line("MEMGETINFO -> -1 ENOTTY");
        return fail(ENOTTY);
    }
    memset(info, 0, sizeof *info);
    info->type = g.type;
    info->flags = g.type == MTD_NANDFLASH ? MTD_CAP_NANDFLASH : MTD_CAP_NORFLASH;
    info->size = static_cast<uint32_t>(g.size);
    info->erasesize = g.erasesize;
    info->writesize = g.writesize;
    info->oobsize = g.writesize >= 2048 ? g.writesize / 32 : 16;
    log_line("MEMGETINFO -> 0");
    return 0;
}

int sim_getbadblock(const loff_t* where, FaultKind fault) {
    uint64_t offset = static_cast<uint64_t>(*where);
    int result;
    int error = 0;
    if (*where < 0 || offset >= g.size || (g.erasesize && offset % g.erasesize))
        error = EINVAL;
    else if (fault != kFaultNone || in_list(g.fail_query, block_of(offset)))
        error = EIO;
    result = error ? -1 : in_list(g.bad, block_of(offset)) ? 1 : 0;
    log_line("MEMGETBADBLOCK 0x%08llx -> %d%s", static_cast<unsigned long long>(offset), result,
             error == EINVAL ? " EINVAL"
             : error         ? " EIO"
                             : "");
    return error ? fail(error) : result;
}

int sim_erase(int fd, uint64_t start, uint64_t length, FaultKind fault) {
    int error = 0;
    if (g.erasesize == 0 || start % g.erasesize || length % g.erasesize || length == 0 ||
        start + length > g.size)
        error = EINVAL;
    else if (fault != kFaultNone)
        error = EIO;
    for (uint64_t b = block_of(start); !error && b < block_of(start + length); ++b)
        if (in_list(g.bad, b) || in_list(g.fail_erase, b)) error = EIO;
    if (error == EINVAL)
        violation("MEMERASE of unaligned or out-of-range 0x%08llx+0x%llx",
                  static_cast<unsigned long long>(start), static_cast<unsigned long long>(length));
    if (!error) {
        static uint8_t erased[1 << 16];
        memset(erased, 0xFF, sizeof erased);
        for (uint64_t done = 0; done < length;) {
            size_t piece = length - done < sizeof erased ? length - done : sizeof erased;
            if (real_pwrite()(fd, erased, piece, static_cast<off64_t>(start + done)) !=
                static_cast<ssize_t>(piece)) {
                error = EIO;
                break;
            }
            done += piece;
        }
    }
    log_line("MEMERASE 0x%08llx 0x%08llx -> %d%s", static_cast<unsigned long long>(start),
             static_cast<unsigned long long>(length), error ? -1 : 0,
             error == EINVAL ? " EINVAL"
             : error         ? " EIO"
                             : "");
    return error ? fail(error) : 0;
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
        case MEMUNLOCK: {
            const erase_info_user* range = static_cast<const erase_info_user*>(argument);
            log_line("MEMUNLOCK 0x%08x 0x%08x -> -1 524", range->start, range->length);
            return fail(kNotSupported);
        }
        case ECCGETLAYOUT:
        case ECCGETSTATS:
        case MEMGETOOBSEL:
        case MEMGETREGIONCOUNT:
        case MEMISLOCKED:
            // Queries mtd-utils makes and copes without; not simulated.
            log_line("ioctl 0x%08lx -> -1 ENOTTY", request);
            return fail(ENOTTY);
        default:
            log_line("ioctl 0x%08lx -> -1 ENOTTY", request);
            violation("unexpected ioctl 0x%08lx", request);
            return fail(ENOTTY);
    }
}

off64_t sim_lseek(int fd, off64_t offset, int whence) {
    FaultKind fault = next_request();
    if (fault != kFaultNone) {
        log_line("lseek 0x%08llx %d -> -1 EINVAL", static_cast<unsigned long long>(offset), whence);
        return fail(EINVAL);
    }
    // Like mtdchar: any position from 0 to the device size, else EINVAL.
    off64_t target = offset;
    if (whence == SEEK_CUR)
        target += real_lseek()(fd, 0, SEEK_CUR);
    else if (whence == SEEK_END)
        target += static_cast<off64_t>(g.size);
    off64_t result = target >= 0 && target <= static_cast<off64_t>(g.size)
                         ? real_lseek()(fd, target, SEEK_SET)
                         : fail(EINVAL);
    if (result < 0)
        log_line("lseek 0x%08llx %d -> -1 EINVAL", static_cast<unsigned long long>(offset), whence);
    else
        log_line("lseek 0x%08llx %d -> 0x%08llx", static_cast<unsigned long long>(offset), whence,
                 static_cast<unsigned long long>(result));
    return result;
}

// Programs `count` bytes at `position` the way NAND does: a page that is not
// erased, or a block marked bad, is a violation, and bits only go 1 -> 0.
ssize_t program(int fd, const uint8_t* data, size_t count, uint64_t position) {
    static uint8_t cells[1 << 16];
    const size_t unit = g.check_unit;
    // Whole pages per round trip to the flash file.
    const size_t span = unit <= sizeof cells ? sizeof cells / unit * unit : 0;
    if (span == 0) return fail(EINVAL);
    for (size_t done = 0; done < count; done += span) {
        const size_t piece = count - done < span ? count - done : span;
        const uint64_t at = position + done;
        if (real_pread()(fd, cells, piece, static_cast<off64_t>(at)) != static_cast<ssize_t>(piece))
            return fail(EIO);
        for (size_t page = 0; page < piece; page += unit) {
            uint64_t page_at = at + page;
            if (page == 0 || page_at % g.erasesize == 0) {
                if (in_list(g.bad, block_of(page_at)))
                    violation("write into bad block %llu",
                              static_cast<unsigned long long>(block_of(page_at)));
            }
            bool erased = true;
            for (size_t i = page; i < page + unit; ++i) {
                if (cells[i] != 0xFF) erased = false;
                cells[i] &= data[done + i];
            }
            if (!erased)
                violation("program of page at 0x%08llx that is not erased",
                          static_cast<unsigned long long>(page_at));
        }
        if (real_pwrite()(fd, cells, piece, static_cast<off64_t>(at)) != static_cast<ssize_t>(piece))
            return fail(EIO);
    }
    return static_cast<ssize_t>(count);
}

ssize_t sim_write(int fd, const void* data, size_t count, const off64_t* at) {
    FaultKind fault = next_request();
    uint64_t position =
        at ? static_cast<uint64_t>(*at) : static_cast<uint64_t>(real_lseek()(fd, 0, SEEK_CUR));
    size_t accept = count;
    int error = 0;
    if (position % g.check_unit || count % g.check_unit || position + count > g.size)
        error = EINVAL;
    else if (fault == kFaultEio || in_list(g.fail_write, block_of(position)))
        error = EIO;
    else if (fault == kFaultEintr)
        error = EINTR;
    else if (fault == kFaultZero)
        accept = 0;
    else if (fault == kFaultShort && count > g.check_unit)
        accept = count / 2 / g.check_unit * g.check_unit;
    else if (g.short_write && count > g.short_write)
        accept = g.short_write;
    if (error == EINVAL)
        violation("write of %zu bytes at 0x%08llx: not page aligned or past the end", count,
                  static_cast<unsigned long long>(position));
    ssize_t result = error ? -1 : program(fd, static_cast<const uint8_t*>(data), accept, position);
    if (result > 0 && !at) real_lseek()(fd, result, SEEK_CUR);
    const char* name = error == EINVAL ? " EINVAL" : error == EIO ? " EIO" : error == EINTR ? " EINTR" : "";
    log_line("%s 0x%08llx %zu -> %zd%s", at ? "pwrite" : "write", static_cast<unsigned long long>(position),
             count, result, name);
    return error ? fail(error) : result;
}

// Opens of the device node and of /proc/mtd are the simulator's; true when
// `path` was one of them, with the descriptor (or -1) in `fd`.
bool open_simulated(const char* path, int flags, int& fd) {
    if (is_mtd_path(path))
        fd = open_flash(path, flags);
    else if (is_proc_mtd(path))
        fd = open_proc_mtd();
    else
        return false;
    return true;
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
    return open_simulated(path, flags, fd) ? fd : real_open()(path, flags, mode);
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
    return open_simulated(path, flags, fd) ? fd : real_openat()(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) __attribute__((alias("openat")));

// The fortified entry points that _FORTIFY_SOURCE builds call.
int __open_2(const char* path, int flags) { return open(path, flags); }
int __open64_2(const char* path, int flags) { return open(path, flags); }
int __openat_2(int dirfd, const char* path, int flags) { return openat(dirfd, path, flags); }
int __openat64_2(int dirfd, const char* path, int flags) { return openat(dirfd, path, flags); }

// A duplicate of the device is the device too (dd, for one, moves its output
// onto descriptor 1 with dup2).
static int track_duplicate(int from, int to) {
    if (to >= 0 && to < kMaxFds) {
        g_sim_fd[to] = is_sim_fd(from);
        if (is_sim_fd(from)) g_sim_number[to] = g_sim_number[from];
    }
    if (is_sim_fd(from)) log_line("dup %d -> %d", from, to);
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
    if (is_sim_fd(fd)) return stat_device(g_sim_number[fd], status);
    static Fstat64Fn next = next_symbol<Fstat64Fn>("fstat64");
    return next(fd, status);
}

int fstat(int fd, struct stat* status) {
    if (is_sim_fd(fd)) {
        struct stat64 wide;
        stat_device(g_sim_number[fd], &wide);
        narrow(wide, status);
        return 0;
    }
    static FstatFn next = next_symbol<FstatFn>("fstat");
    return next(fd, status);
}

using AccessFn = int (*)(const char*, int);

int access(const char* path, int mode) {
    if (is_proc_mtd(path) || is_mtd_path(path)) return 0;
    static AccessFn next = next_symbol<AccessFn>("access");
    return next(path, mode);
}

int close(int fd) {
    if (is_sim_fd(fd)) {
        g_sim_fd[fd] = false;
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

}  // extern "C"
