// The handful of MTD character device requests drimlet makes. The real
// implementation (mtd_device_linux.cpp) is a thin layer over ioctl, lseek and
// write; unit tests and other in-process users link an in-memory flash that
// provides the same functions instead. Each returns -1 on failure with errno
// set, as the system calls do.
#pragma once

#include <mtd/mtd-user.h>

#include <cstddef>
#include <cstdint>

// Opens the device read-write: the descriptor, or -1.
int mtd_open(const char* path);
int mtd_close(int fd);
// MEMGETINFO: 0 on success.
int mtd_get_info(int fd, mtd_info_user& info);
// MEMGETBADBLOCK: 0 for a good block, 1 (or another positive answer) for a
// bad one, -1 when the query itself failed.
int mtd_block_is_bad(int fd, uint64_t offset);
// MEMUNLOCK and MEMERASE of [offset, offset + length): 0 on success.
int mtd_unlock(int fd, uint32_t offset, uint32_t length);
int mtd_erase(int fd, uint32_t offset, uint32_t length);
// lseek to `offset` from the start: 0 on success.
int mtd_seek(int fd, uint64_t offset);
// One write(2) call: the count written, or -1.
long mtd_write(int fd, const uint8_t* data, size_t size);
