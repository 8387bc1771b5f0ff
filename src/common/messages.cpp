#include "common/messages.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
// The state of the terminal's last line belongs with standard error, which
// is one per process too; so does the choice of where messages go.
struct ProgressLine {
    bool enabled = false;
    bool shown = false;
    int width = 0;  // the terminal's columns
};
ProgressLine g_line;
// Set by the SIGWINCH handler, read before the next drawing: the handler
// itself only touches this flag.
volatile sig_atomic_t g_width_changed = 0;
// What a terminal that cannot tell its size (a serial console often reports
// 0 columns) is taken to be.
constexpr int kDefaultWidth = 80;
MessageDestination g_destination;
bool g_open_line = false;  // the last kept line still waits for its newline

// Appends `text` to the kept lines: a text without a final newline leaves
// its last line open for the next message to finish.
void keep_lines(std::vector<std::string>& lines, const char* text, size_t size, bool& open_line) {
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && text[end] != '\n') ++end;
        if (open_line && !lines.empty())
            lines.back().append(text + start, end - start);
        else
            lines.emplace_back(text + start, end - start);
        open_line = end == size;
        start = end + 1;
    }
}
void note_width_change(int) { g_width_changed = 1; }

int terminal_width() {
    winsize size{};
    if (ioctl(2, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return kDefaultWidth;
    return size.ws_col;
}

// SA_RESTART: a window resized in the middle of a device write or an image
// read must not turn it into a failure. Reads and writes retry EINTR anyway,
// but an erase or another ioctl interrupted without SA_RESTART would report
// a failure of a block that is fine.
void follow_width_changes() {
    static bool installed = false;
    if (installed) return;
    struct sigaction action {};
    action.sa_handler = note_width_change;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    installed = sigaction(SIGWINCH, &action, nullptr) == 0;
}
}  // namespace

MessageDestination set_message_destination(MessageDestination destination) {
    const MessageDestination previous = g_destination;
    g_destination = destination;
    g_open_line = false;
    return previous;
}

void emit_message(const char* text, size_t size) {
    if (g_destination.lines) {
        keep_lines(*g_destination.lines, text, size, g_open_line);
        return;
    }
    clear_progress_line();
    fwrite(text, 1, size, stderr);
}

// C-style variadic on purpose: the printf format attribute in the header
// lets the compiler check every message's format against its arguments,
// which a parameter pack would lose.
void print_message(const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
    va_list arguments;
    va_start(arguments, format);
    char small[256];
    va_list again;
    va_copy(again, arguments);
    // va_start above initialised the list.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const int length = vsnprintf(small, sizeof small, format, arguments);
    va_end(arguments);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(length) < sizeof small) {
        va_end(again);
        emit_message(small, static_cast<size_t>(length));
        return;
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    vsnprintf(&text[0], text.size(), format, again);
    va_end(again);
    emit_message(text.data(), static_cast<size_t>(length));
}

void clear_progress_line() {
    if (!g_line.shown) return;
    fputs("\r\033[K", stderr);
    g_line.shown = false;
}

bool enable_progress_line() {
    g_line.enabled = g_destination.lines == nullptr && isatty(2) == 1;
    if (g_line.enabled) {
        follow_width_changes();
        g_line.width = terminal_width();
    }
    return g_line.enabled;
}

size_t progress_line_room() {
    if (!g_line.enabled) return 0;
    if (g_width_changed) {
        g_width_changed = 0;
        g_line.width = terminal_width();
    }
    // One column short of the width: a line that fills the last column
    // leaves some terminals' cursor on the next row, and the next \r would
    // no longer return to the line drawn.
    return static_cast<size_t>(g_line.width - 1);
}

void show_progress_line(const char* text) {
    const size_t room = progress_line_room();
    if (!g_line.enabled) return;
    const size_t length = strnlen(text, room);
    fputc('\r', stderr);
    fwrite(text, 1, length, stderr);
    fputs("\033[K", stderr);
    fflush(stderr);
    g_line.shown = true;
}
