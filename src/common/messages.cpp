#include "common/messages.h"

#include <unistd.h>

#include <cstdarg>

namespace {
// The state of the terminal's last line belongs with standard error, which
// is one per process too.
struct ProgressLine {
    bool enabled = false;
    bool shown = false;
};
ProgressLine g_line;
}  // namespace

void clear_progress_line() {
    if (!g_line.shown) return;
    fputs("\r\033[K", stderr);
    g_line.shown = false;
}

// C-style variadic on purpose: the printf format attribute in the header
// lets the compiler check every message's format against its arguments,
// which a parameter pack would lose.
void print_message(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    clear_progress_line();
    va_list arguments;
    va_start(arguments, format);
    vfprintf(stderr, format, arguments);  // NOLINT(clang-analyzer-valist.Uninitialized): va_start above
    va_end(arguments);
}

bool enable_progress_line() {
    g_line.enabled = isatty(2) == 1;
    return g_line.enabled;
}

void show_progress_line(const char* text) {
    if (!g_line.enabled) return;
    fprintf(stderr, "\r%s\033[K", text);
    fflush(stderr);
    g_line.shown = true;
}
