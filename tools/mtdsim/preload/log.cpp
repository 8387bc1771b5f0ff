// The request log (MTDSIM_LOG, one "#index REQUEST args -> result" line per
// request) and the violations file (MTDSIM_VIOLATIONS, one line per thing a
// real chip would not forgive), plus how a failed request sets errno and
// names it on its log line.

#include "log.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "libc_next.h"
#include "state.h"

namespace mtdsim::preload {

void log_line(const char* format, ...) {
    if (sim.log_fd < 0) return;
    char line[320];
    int head = snprintf(line, sizeof line, "#%llu ", static_cast<unsigned long long>(sim.request_index));
    va_list args;
    va_start(args, format);
    int body = vsnprintf(line + head, sizeof line - head - 1, format, args);
    va_end(args);
    size_t length = static_cast<size_t>(head) + static_cast<size_t>(body);
    if (length > sizeof line - 2) length = sizeof line - 2;
    line[length++] = '\n';
    real_write()(sim.log_fd, line, length);
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
    append_to(sim.violations_path, line);
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
        case EWOULDBLOCK: return " EWOULDBLOCK";
        case EPERM: return " EPERM";
        case EOPNOTSUPP: return " EOPNOTSUPP";
        case ENOMEM: return " ENOMEM";
        case EFAULT: return " EFAULT";
        case ENOTTY: return " ENOTTY";
        default: return " ERROR";
    }
}

}  // namespace mtdsim::preload
