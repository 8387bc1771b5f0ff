// Command line of drimlet: `-n <MiB>`, `--progress-fd N`, `--no-verify`,
// `--ignore-checksums`, and exactly two operands, the MTD device and the
// image. Nothing else but --progress-fd's number is validated while parsing;
// check_progress_descriptor looks at the descriptor itself.
#pragma once

#include <cstdint>

#include "run/flash_run.h"

// Converts the -n text to bytes the way the board's 32-bit tool always has:
// strtol semantics, MiB shifted left by 20 in 32 bits (so 4096 wraps to 0).
uint32_t nonfs_bytes_from_text(const char* text);

// --progress-fd's value: a descriptor number (digits only, up to INT_MAX),
// or -1 for anything else.
int descriptor_from_text(const char* text);

// Refuses a --progress-fd descriptor that would send its lines where they
// do harm: one that is not open (the device, opened next, would take its
// number and get the lines programmed into the flash), or one that is the
// MTD device or the image. 0 when there is none or it may be written; -1
// after the message. Runs before the device is opened.
int check_progress_descriptor(const RunSettings& settings);

// Writes the usage text to standard output.
void show_usage();

// Fills `settings` and returns 0 when the install should run. Otherwise
// returns -1 with `exit_status` the status the program ends with: 1 after
// the usage text for an incomplete or wrong command line, 0 after the usage
// text for --help or the version line for --version.
int parse_command_line(int argc, char* argv[], RunSettings& settings, int& exit_status);
