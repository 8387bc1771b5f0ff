// The progress display of an install on a terminal: image blocks written,
// MiB, MiB/s, and for an image file the share read and the time left.
// Drawn in place after every image block; messages erase it (see
// common/messages.h). Without a terminal it draws nothing.
#pragma once

#include <cstdint>
#include <ctime>

struct InstallProgress {
    bool on = false;
    timespec started{};
    int image_fd = -1;
    uint64_t image_bytes = 0;  // size of an image file; 0 for a pipe
    uint32_t erasesize = 0;
};

void start_install_progress(InstallProgress& progress, int image_fd, uint32_t erasesize);

// After image block `blocks` - 1 is on the flash.
void update_install_progress(const InstallProgress& progress, uint32_t blocks);
