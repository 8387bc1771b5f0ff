// Progress and failure lines go to standard error; fixed texts are written
// whole, formatted ones through a formatted print. On a terminal a one-line
// progress display may stand at the bottom: every message erases it first,
// so the terminal keeps exactly the lines a pipe or a log gets.
#pragma once

#include <cstddef>
#include <cstdio>

// Erases the progress display, if one is shown.
void clear_progress_line();

template <size_t N>
void print_fixed(const char (&text)[N]) {
    clear_progress_line();
    fwrite(text, 1, N - 1, stderr);
}

__attribute__((format(printf, 1, 2))) void print_message(const char* format, ...);

// Turns the progress display on when standard error is a terminal; returns
// whether it is on. Without a terminal nothing is ever drawn.
bool enable_progress_line();

// Draws `text` as the progress display, in place of the previous one.
void show_progress_line(const char* text);
