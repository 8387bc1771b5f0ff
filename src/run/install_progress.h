// The progress of an install, for people and for programs.
//
// On a terminal: one line drawn in place after every image block (image
// blocks written, MiB, MiB/s, share done and time left), cut down to the
// terminal's width; messages erase it (see common/messages.h). Without a
// terminal nothing is drawn.
//
// On the descriptor of --progress-fd: "progress N\n" each time the whole
// percentage N grows, 0 before the first image block, at most 99 while image
// blocks are still being written, 100 once the partition table is written.
//
// The share done is how far the image blocks written reach into the span the
// image header gives (start to start + length); for an image file whose
// header span does not hold its records, the share of the file read.
#pragma once

#include <cstdint>
#include <ctime>

struct InstallProgress {
    bool on = false;  // the terminal line
    timespec started{};
    int image_fd = -1;
    uint64_t image_bytes = 0;  // size of an image file; 0 for a pipe
    uint32_t erasesize = 0;
    uint32_t span_start = 0;   // the image header's start address
    uint32_t span_length = 0;  // and its length
    int report_fd = -1;        // --progress-fd, -1 without
    int reported = -1;         // the last percentage written to report_fd
};

// Before the first image block; `report_fd` is -1 without --progress-fd.
void start_install_progress(InstallProgress& progress, int image_fd, uint32_t erasesize, uint32_t span_start,
                            uint32_t span_length, int report_fd);

// After image block `blocks` - 1 is on the flash; `reached` is the image
// address where the next image block begins.
void update_install_progress(InstallProgress& progress, uint32_t blocks, uint32_t reached);

// After the partition table is written: "progress 100".
void finish_install_progress(InstallProgress& progress);
