// Every line the installer prints on its way through an install goes through
// emit_message, whose destination the caller chooses: standard error (the
// default), or a list of lines that a dry run keeps to itself and prints,
// reworded, or not at all. Fixed texts and formatted ones both end there.
// On a terminal a one-line progress display may stand at the bottom: every
// message erases it first, so the terminal keeps exactly the lines a pipe or
// a log gets.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Where messages go: `lines` when set (one entry per line, without its
// newline), standard error otherwise.
struct MessageDestination {
    std::vector<std::string>* lines = nullptr;
};

// Sends messages to `destination` until the next call; returns the one it
// replaces, so a caller can put it back.
MessageDestination set_message_destination(MessageDestination destination);

// The one way out for every message: `size` bytes of text, newlines included.
void emit_message(const char* text, size_t size);

template <size_t N>
void print_fixed(const char (&text)[N]) {
    emit_message(text, N - 1);
}

__attribute__((format(printf, 1, 2))) void print_message(const char* format, ...);

// Erases the progress display, if one is shown.
void clear_progress_line();

// Turns the progress display on when standard error is a terminal and
// messages go there; returns whether it is on. Without a terminal nothing is
// ever drawn. From then on a change of the terminal's width (SIGWINCH) is
// followed at the next drawing.
bool enable_progress_line();

// The characters a progress display may have so that it never wraps: one
// less than the terminal's width (80 when the terminal cannot tell). 0 when
// the display is off.
size_t progress_line_room();

// Draws `text` as the progress display, in place of the previous one, cut
// to progress_line_room() characters. `text` is plain ASCII.
void show_progress_line(const char* text);
