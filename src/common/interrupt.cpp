#include "common/interrupt.h"

#include <poll.h>

#include <cerrno>
#include <csignal>

namespace {
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t g_signal = 0;
bool g_catching = false;
sigset_t g_caught;   // the signals caught, blocked outside the places that let them in
sigset_t g_letting;  // the mask while letting them in

void note_signal(int signal) {
    if (g_signal == 0) g_signal = signal;
}
}  // namespace

int catch_interrupts() {
    sigemptyset(&g_caught);
    for (int signal : kSignals) {
        struct sigaction old {};
        if (sigaction(signal, nullptr, &old) != 0) return -1;
        if (old.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = note_signal;  // no SA_RESTART: a wait for input must end
        sigemptyset(&action.sa_mask);
        if (sigaction(signal, &action, nullptr) != 0) return -1;
        sigaddset(&g_caught, signal);
    }
    sigset_t previous;
    if (sigprocmask(SIG_BLOCK, &g_caught, &previous) != 0) return -1;
    g_letting = previous;
    for (int signal : kSignals)
        if (sigismember(&g_caught, signal)) sigdelset(&g_letting, signal);
    g_catching = true;
    return 0;
}

int take_interrupt() {
    if (g_signal != 0 || !g_catching) return g_signal;
    sigset_t waiting;
    if (sigpending(&waiting) != 0) return 0;
    for (int signal : kSignals) {
        if (!sigismember(&g_caught, signal) || !sigismember(&waiting, signal)) continue;
        sigset_t blocked;
        sigprocmask(SIG_SETMASK, &g_letting, &blocked);  // the handler runs here
        sigprocmask(SIG_SETMASK, &blocked, nullptr);
        break;
    }
    return g_signal;
}

int interrupt_signal() { return g_signal; }

int wait_for_input(int fd) {
    if (!g_catching) return 0;  // the read itself waits
    if (g_signal != 0) return -1;
    pollfd ready{fd, POLLIN, 0};
    while (ppoll(&ready, 1, nullptr, &g_letting) < 0) {
        if (errno != EINTR) return 0;  // the read will say what is wrong
        if (g_signal != 0) return -1;
    }
    // A signal that came as the input did (Ctrl-C ends the producer too)
    // stays blocked when ppoll reports the input: it still comes first.
    return take_interrupt() != 0 ? -1 : 0;
}

void raise_noted_interrupt() {
    const int signal = g_signal;
    if (signal == 0) return;
    ::signal(signal, SIG_DFL);
    raise(signal);  // stays blocked until the line below
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
}
