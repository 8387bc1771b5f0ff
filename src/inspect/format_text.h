// printf into a std::string, for messages that are both printed and kept
// (for --json). Longer texts are cut at 1023 bytes.
#pragma once

#include <cstdio>
#include <string>

// A text without values is taken as it is (no % conversions).
inline std::string format_text(const char* text) { return text; }

template <typename... Values>
std::string format_text(const char* format, Values... values) {
    char text[1024];
    snprintf(text, sizeof text, format, values...);
    return text;
}
