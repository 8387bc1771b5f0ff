// drimlet-inspect map: a picture of every erase block of the flash. Exit
// status 0 when the partition table the loader reads is valid and every
// block it lists is readable, 1 otherwise.
#pragma once

#include "inspect/inspect_report.h"

int map_blocks(const InspectOptions& options, const char* flash_path);
