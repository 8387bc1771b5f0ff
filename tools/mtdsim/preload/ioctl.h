// The device's ioctl requests.
#pragma once

namespace mtdsim::preload {

// Serves one ioctl on a descriptor that is the device.
int sim_ioctl(int fd, unsigned long request, void* argument);

}  // namespace mtdsim::preload
