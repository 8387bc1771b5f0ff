// Which paths name the simulated device and which descriptors are it. A
// descriptor opened on the device is the simulator's own descriptor on the
// flash file, remembered here with the device number it was opened as, so
// that dup, close and reuse by the kernel keep the list right.

#include "descriptors.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>

#include "libc_next.h"
#include "log.h"
#include "settings.h"

namespace mtdsim::preload {

bool is_mtd_path(const char* path) {
    load_settings();
    if (!path || !sim.flash_path) return false;
    if (sim.device_path) return strcmp(path, sim.device_path) == 0;
    if (strncmp(path, "/dev/mtd", 8) != 0 || path[8] == '\0') return false;
    for (const char* p = path + 8; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    return true;
}

int find_sim_fd(int fd) {
    for (int i = 0; i < sim.fd_count; ++i)
        if (sim.fds[i].fd == fd) return i;
    return -1;
}

bool is_sim_fd(int fd) { return fd >= 0 && sim.fd_count > 0 && find_sim_fd(fd) >= 0; }

void forget_sim_fd(int fd) {
    int i = find_sim_fd(fd);
    if (i >= 0) sim.fds[i] = sim.fds[--sim.fd_count];
}

void remember_sim_fd(int fd, int number) {
    if (fd < 0) return;
    int i = find_sim_fd(fd);
    if (i < 0) {
        void* grown = realloc(sim.fds, sizeof(SimFd) * static_cast<size_t>(sim.fd_count + 1));
        if (!grown) return;
        sim.fds = static_cast<SimFd*>(grown);
        i = sim.fd_count++;
    }
    sim.fds[i] = SimFd{fd, number};
}

int sim_number(int fd) {
    int i = find_sim_fd(fd);
    return i < 0 ? 0 : sim.fds[i].number;
}

bool is_private_fd(int fd) { return fd >= 0 && (fd == sim.log_fd || fd == sim.flash_fd); }

// N of a "/dev/mtdN" path, 0 for any other path.
int mtd_number(const char* path) {
    if (!path || strncmp(path, "/dev/mtd", 8) != 0 || path[8] == '\0') return 0;
    for (const char* p = path + 8; *p; ++p)
        if (*p < '0' || *p > '9') return 0;
    return atoi(path + 8);
}

// The device numbers the simulated chip answers as: the one --device names,
// or every N when every /dev/mtdN is the chip.
bool is_simulated_number(int number) { return !sim.device_path || number == mtd_number(sim.device_path); }

int open_flash(const char* path, int flags) {
    int fd = real_open()(sim.flash_path, (flags & O_ACCMODE) | O_CLOEXEC);
    remember_sim_fd(fd, mtd_number(path));
    log_line("open %s -> %d", path, fd);
    return fd;
}

// A descriptor the kernel handed out for another file: if the device had
// that number once and was closed where the simulator could not see it
// (fclose, close_range), it is not the device any more.
int plain_descriptor(int fd) {
    if (fd >= 0 && sim.fd_count) forget_sim_fd(fd);
    return fd;
}

}  // namespace mtdsim::preload
