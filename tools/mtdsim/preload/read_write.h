// lseek, read and write on the device.
#pragma once

#include <stddef.h>
#include <sys/types.h>

namespace mtdsim::preload {

off64_t sim_lseek(int fd, off64_t offset, int whence);
// `at` is the pwrite/pread offset, null for write/read at the descriptor's position.
ssize_t sim_write(int fd, const void* data, size_t count, const off64_t* at);
ssize_t sim_read(int fd, void* buffer, size_t count, const off64_t* at);

}  // namespace mtdsim::preload
