// The C library's own entry points behind the ones this library replaces:
// real_open()(...) and the like reach the file system, not the simulator.
#pragma once

#include <dlfcn.h>
#include <sys/types.h>

namespace mtdsim::preload {

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
using FlockFn = int (*)(int, int);

template <typename Fn>
Fn next_symbol(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

OpenFn real_open();
OpenatFn real_openat();
DupFn real_dup();
Dup2Fn real_dup2();
Dup3Fn real_dup3();
CloseFn real_close();
IoctlFn real_ioctl();
LseekFn real_lseek();
WriteFn real_write();
ReadFn real_read();
PwriteFn real_pwrite();
PreadFn real_pread();
FlockFn real_flock();

}  // namespace mtdsim::preload
