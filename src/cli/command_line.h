// Command line of drimlet: `-n <MiB>` plus the MTD device and image operands.
// Nothing but the presence of both operands is validated here; an incomplete
// command line shows the usage text and ends the process with status 0.
#pragma once

#include <cstdint>

struct RunSettings {
    uint32_t nonfs_bytes = 0;          // size of the non-Filesystem partition in bytes
    const char* mtd_path = nullptr;    // first operand, not copied
    const char* image_path = nullptr;  // second operand; "-" is standard input
};

// Converts the -n text to bytes the way the board's 32-bit tool always has:
// strtol semantics, MiB shifted left by 20 in 32 bits (so 4096 wraps to 0).
uint32_t nonfs_bytes_from_text(const char* text);

// Writes the usage text to standard output and exits with status 0.
[[noreturn]] void show_usage();

// Fills `settings`; returns 0, or never returns when the usage text is shown.
int parse_command_line(int argc, char* argv[], RunSettings& settings);
