// Which paths name the simulated device and which descriptors are it.
#pragma once

namespace mtdsim::preload {

// A path the simulator answers as the device (/dev/mtdN, or MTDSIM_DEVICE).
bool is_mtd_path(const char* path);
// N of a "/dev/mtdN" path, 0 for any other path.
int mtd_number(const char* path);
bool is_simulated_number(int number);

bool is_sim_fd(int fd);
void remember_sim_fd(int fd, int number);
void forget_sim_fd(int fd);
// The device number `fd` was opened as.
int sim_number(int fd);
// The simulator's own log and flash file descriptors, which the program must not close.
bool is_private_fd(int fd);
// Passes on a descriptor that is not the device, forgetting it if it once was.
int plain_descriptor(int fd);

// Opens the flash file for a device path; the descriptor (or -1) is the device.
int open_flash(const char* path, int flags);

}  // namespace mtdsim::preload
