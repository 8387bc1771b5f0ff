#include "common/standard_streams.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

int prepare_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open returns the lowest free descriptor: this one.
        int null = open("/dev/null", O_RDWR);
        if (null != fd) return -1;
    }
    signal(SIGPIPE, SIG_IGN);
    return 0;
}
