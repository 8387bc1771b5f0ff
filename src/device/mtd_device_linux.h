// The MTD character device of a real Linux kernel.
#pragma once

#include "device/mtd_device.h"

MtdDevice linux_mtd_device();
