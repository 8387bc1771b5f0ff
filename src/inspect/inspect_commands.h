// drimlet-inspect's commands. Each returns the exit status: 0 when the
// answer is "yes" (the install would succeed, a partition table is there,
// the flash matches the image), 1 otherwise.
#pragma once

#include <cstdint>

#include "inspect/dump_device.h"

int plan_install(const char* flash_path, const DumpGeometry& dump, uint32_t nonfs_bytes,
                 const char* image_path);
int show_partition_table(const char* flash_path, const DumpGeometry& dump);
int verify_install(const char* flash_path, const DumpGeometry& dump, const char* image_path);
