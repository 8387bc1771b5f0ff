#include "run/image_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"

namespace {
constexpr int kBlocksAhead = 4;
const char kOpenFailedFormat[] = "Failed to open image file %s: %s\n";
const char kTerminal[] = "Refusing to read the image from a terminal\n";

long pipe_limit() {
    int fd = open("/proc/sys/fs/pipe-max-size", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[24] = {};
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    return got > 0 ? strtol(text, nullptr, 10) : 0;
}
}  // namespace

int open_image(const char* path) {
    if (strcmp(path, "-") == 0) {
        if (isatty(0) == 1) {
            print_fixed(kTerminal);
            return -1;
        }
        return 0;
    }
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) print_message(kOpenFailedFormat, path, strerror(errno));
    return fd;
}

int prepare_image_source(int image_fd, uint32_t erasesize) {
    struct stat source {};
    if (fstat(image_fd, &source) != 0) return 0;
    if (S_ISREG(source.st_mode)) {
        posix_fadvise(image_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        return 1;
    }
    if (!S_ISFIFO(source.st_mode)) return 0;
    // The limit binds unprivileged users; a user over the pipe page quota
    // gets less: halve until the kernel agrees, never below one erase block.
    const long current = fcntl(image_fd, F_GETPIPE_SZ);
    for (long size = pipe_limit(); size > current && size >= static_cast<long>(erasesize); size /= 2)
        if (fcntl(image_fd, F_SETPIPE_SZ, static_cast<int>(size)) >= 0) break;
    return 0;
}

void read_image_ahead(const ImageInput& input, uint32_t erasesize) {
    const off_t at = input.positioned ? static_cast<off_t>(input.offset) : lseek(input.fd, 0, SEEK_CUR);
    if (at >= 0)
        posix_fadvise(input.fd, at, static_cast<off_t>(erasesize) * kBlocksAhead, POSIX_FADV_WILLNEED);
}
