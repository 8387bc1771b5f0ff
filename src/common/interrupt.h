// SIGINT, SIGTERM and SIGHUP during an install. While they are caught they
// stay blocked, so no device request and no message is ever cut short by
// one. They are let in at two kinds of places only: the run's check points
// between image blocks (take_interrupt), and the wait for image bytes from a
// pipe (wait_for_input), so a stalled producer cannot hold the install past
// Ctrl-C. Once one is noted, every step stops without a message of its own
// and the run says where it stopped.
#pragma once

// Catches the three signals (leaving alone any the caller ignores, as under
// nohup) and blocks them. 0, or -1 when the signal state could not be
// changed.
int catch_interrupts();

// A check point: lets in a signal that is waiting, and returns the signal
// noted so far, or 0.
int take_interrupt();

// The signal noted so far, or 0; looks for no new one.
int interrupt_signal();

// Waits until `fd` can be read (data, end of input or an error). 0, or -1
// when an interrupt came first. Does not wait while nothing is caught.
int wait_for_input(int fd);

// After a run that an interrupt stopped: restores the signal's default
// action and raises it again, so whoever started the program sees it die of
// that signal. Returns when no interrupt was noted.
void raise_noted_interrupt();
