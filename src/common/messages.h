// Progress and failure lines go to standard error; fixed texts are written
// whole, formatted ones through fprintf.
#pragma once

#include <cstddef>
#include <cstdio>

template <size_t N>
void print_fixed(const char (&text)[N]) {
    fwrite(text, 1, N - 1, stderr);
}
