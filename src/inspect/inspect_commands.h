// drimlet-inspect's commands. Each returns the exit status: 0 when the
// answer is "yes" (the image is good and would install, the install would
// succeed, a partition table is there, the flash holds exactly the image,
// the dump was written, the board would boot), 1 otherwise. With options.json each writes one JSON
// document on standard output instead of its text.
#pragma once

#include <cstdint>

#include "inspect/inspect_report.h"

int check_image_file(const InspectOptions& options, const char* image_path);
int plan_install(const InspectOptions& options, const char* flash_path, const char* image_path);
int show_partition_table(const InspectOptions& options, const char* flash_path);
int verify_install(const InspectOptions& options, const char* flash_path, const char* image_path);
// "-" as `out_path` is standard output, refused when it is a terminal.
int dump_image(const InspectOptions& options, const char* flash_path, const char* out_path);
// Every erase block of the flash as one character: 0 when the partition
// table the loader reads is valid and every block it lists is readable.
int map_blocks(const InspectOptions& options, const char* flash_path);
