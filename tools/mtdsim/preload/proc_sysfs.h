// /proc/mtd and /sys/class/mtd/mtdN/ATTRIBUTE for the simulated chip.
#pragma once

#include <stddef.h>

namespace mtdsim::preload {

bool is_proc_mtd(const char* path);
// A descriptor reading /proc/mtd's text, listing the chip under every N.
int open_proc_mtd();
// A descriptor reading `text`, as an in-memory file.
int open_text(const char* name, const char* text, size_t length);
// True when `path` is a simulated sysfs attribute, with its text in `text`.
bool sysfs_request(const char* path, char* text, size_t size, int& length);

}  // namespace mtdsim::preload
