// mtdsim's LD_PRELOAD half: makes a regular file act as a raw NAND MTD
// character device for an unchanged program. This file is the interception:
// the C library's open, close, dup, stat, access, flock, ioctl, lseek, read
// and write, each of which either serves the simulated device (a path that
// names it, or a descriptor that is it) or passes the call on unchanged.
// Opening /dev/mtdN (or the path in MTDSIM_DEVICE) opens the flash file
// instead; its requests then go to ioctl.cpp and read_write.cpp, which
// behave as the kernel's mtdchar over NAND does, with the strictness real
// NAND needs (nand.cpp), injected faults and power cuts (faults.cpp), chip
// timing (timing.cpp) and a log of every request (log.cpp). Settings come
// from the environment, written by the mtdsim wrapper (settings.cpp).
//
// Only these entry points leave the library: it is built with hidden
// visibility, so nothing else can stand in for a program's own symbols.

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/types.h>
#include <unistd.h>

#include "descriptors.h"
#include "ioctl.h"
#include "libc_next.h"
#include "log.h"
#include "proc_sysfs.h"
#include "read_write.h"

using namespace mtdsim::preload;

namespace {

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

#pragma GCC visibility push(default)

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

// The device is the flash file itself, so a lock on it is a lock on the
// file, and processes that share the flash file (each under its own mtdsim)
// see each other's locks as users of one /dev/mtdN do. Logged, without a
// request number of its own: the driver never sees a lock.
int flock(int fd, int operation) {
    const int result = real_flock()(fd, operation);
    if (!is_sim_fd(fd)) return result;
    const int error = result < 0 ? errno : 0;
    const char* kind = (operation & LOCK_EX) ? "LOCK_EX" : (operation & LOCK_SH) ? "LOCK_SH" : "LOCK_UN";
    log_line("flock %s%s -> %d%s", kind, operation & LOCK_NB ? "|LOCK_NB" : "", result, error_name(error));
    errno = error;
    return result;
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

#pragma GCC visibility pop
