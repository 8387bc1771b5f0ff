// The C library's own entry points behind the ones this library replaces,
// looked up once: the simulator's own files and every descriptor that is
// not the device go through these.

#include "libc_next.h"

#include <dlfcn.h>

namespace mtdsim::preload {

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
FlockFn real_flock() {
    static FlockFn f = next_symbol<FlockFn>("flock");
    return f;
}

}  // namespace mtdsim::preload
