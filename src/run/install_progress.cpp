#include "run/install_progress.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "common/messages.h"

namespace {
double seconds_since(const timespec& then) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - then.tv_sec) +
           static_cast<double>(now.tv_nsec - then.tv_nsec) / 1e9;
}
}  // namespace

void start_install_progress(InstallProgress& progress, int image_fd, uint32_t erasesize) {
    progress = InstallProgress{};
    progress.on = enable_progress_line();
    if (!progress.on) return;
    clock_gettime(CLOCK_MONOTONIC, &progress.started);
    progress.image_fd = image_fd;
    progress.erasesize = erasesize;
    struct stat image {};
    if (fstat(image_fd, &image) == 0 && S_ISREG(image.st_mode))
        progress.image_bytes = static_cast<uint64_t>(image.st_size);
}

void update_install_progress(const InstallProgress& progress, uint32_t blocks) {
    if (!progress.on) return;
    const double elapsed = seconds_since(progress.started);
    const double mib = static_cast<double>(blocks) * progress.erasesize / (1 << 20);
    char text[160];
    int length = snprintf(text, sizeof text, "%u image blocks written, %.1f MiB, %.1f MiB/s", blocks, mib,
                          elapsed > 0 ? mib / elapsed : 0.0);
    const off_t read = progress.image_bytes ? lseek(progress.image_fd, 0, SEEK_CUR) : -1;
    if (read > 0 && length > 0 && static_cast<size_t>(length) < sizeof text) {
        const double share = static_cast<double>(read) / static_cast<double>(progress.image_bytes);
        snprintf(text + length, sizeof text - static_cast<size_t>(length), ", %.0f%%, %.0f s left",
                 share * 100, share > 0 ? elapsed * (1 - share) / share : 0.0);
    }
    show_progress_line(text);
}
