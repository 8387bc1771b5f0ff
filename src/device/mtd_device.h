// The requests drimlet makes of an MTD character device, as one record of
// function pointers passed explicitly to every phase that touches the flash.
// Implementations: the Linux device (mtd_device_linux.cpp, the only code that
// talks to the kernel), the in-memory NAND of the unit tests and the fuzzer,
// the recorder of a dry run and drimlet-inspect's dump file. Every request
// returns -1 on failure with errno set, as the system calls do.
#pragma once

#include <mtd/mtd-user.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

struct MtdDevice {
    // Opens `path` read-write, or read-only when `read_only`: 0 or -1.
    int (*open)(MtdDevice& device, const char* path, bool read_only);
    int (*close)(MtdDevice& device);
    // MEMGETINFO: 0 on success.
    int (*get_info)(MtdDevice& device, mtd_info_user& info);
    // MEMGETBADBLOCK: 0 for a good block, 1 (or another positive answer) for
    // a bad one, -1 when the query itself failed.
    int (*block_is_bad)(MtdDevice& device, uint64_t offset);
    // MEMUNLOCK and MEMERASE of [offset, offset + length): 0 on success.
    int (*unlock)(MtdDevice& device, uint32_t offset, uint32_t length);
    int (*erase)(MtdDevice& device, uint32_t offset, uint32_t length);
    // lseek to `offset` from the start: 0 on success.
    int (*seek)(MtdDevice& device, uint64_t offset);
    // One write(2) or read(2) call at the current position: the count, or -1.
    long (*write)(MtdDevice& device, const uint8_t* data, size_t size);
    long (*read)(MtdDevice& device, uint8_t* into, size_t size);
    // ECCGETSTATS: corrected bitflips and ECC failures since the chip was
    // attached. 0 on success.
    int (*ecc_stats)(MtdDevice& device, mtd_ecc_stats& stats);
    // The device's size in bytes, 64 bits wide: MEMGETINFO's 32-bit field
    // wraps on chips of 4 GiB and more. 0 on success; -1 when the device
    // cannot tell, and MEMGETINFO's size is all there is.
    int (*total_size)(MtdDevice& device, uint64_t& size);
    // MEMSETBADBLOCK: marks the erase block holding `offset` bad in the
    // chip's bad-block table, for good. 0 on success; -1 where the device
    // cannot mark (NOR has no bad blocks) or the mark failed.
    int (*mark_bad)(MtdDevice& device, uint64_t offset);
    // flock(2) without waiting: exclusive for an install, shared for a look
    // at the flash. 0, or -1 with errno EWOULDBLOCK while another process
    // holds a lock that conflicts.
    int (*lock)(MtdDevice& device, bool exclusive);

    void* context = nullptr;  // the implementation's own state
    int fd = -1;              // the open descriptor, where there is one
};

inline int mtd_open(MtdDevice& d, const char* path, bool read_only = false) {
    return d.open(d, path, read_only);
}
inline int mtd_close(MtdDevice& d) { return d.close(d); }
inline int mtd_get_info(MtdDevice& d, mtd_info_user& info) { return d.get_info(d, info); }
inline int mtd_block_is_bad(MtdDevice& d, uint64_t offset) { return d.block_is_bad(d, offset); }
inline int mtd_unlock(MtdDevice& d, uint32_t offset, uint32_t length) { return d.unlock(d, offset, length); }
inline int mtd_erase(MtdDevice& d, uint32_t offset, uint32_t length) { return d.erase(d, offset, length); }
inline int mtd_seek(MtdDevice& d, uint64_t offset) { return d.seek(d, offset); }
inline long mtd_write(MtdDevice& d, const uint8_t* data, size_t size) { return d.write(d, data, size); }
inline long mtd_read(MtdDevice& d, uint8_t* into, size_t size) { return d.read(d, into, size); }
inline int mtd_get_ecc_stats(MtdDevice& d, struct mtd_ecc_stats& stats) { return d.ecc_stats(d, stats); }
inline int mtd_total_size(MtdDevice& d, uint64_t& size) { return d.total_size(d, size); }
// A device record built without the request cannot mark, like NOR.
inline int mtd_mark_bad(MtdDevice& d, uint64_t offset) {
    if (d.mark_bad) return d.mark_bad(d, offset);
    errno = EOPNOTSUPP;
    return -1;
}
// A device record built without the request has nothing to lock.
inline int mtd_lock(MtdDevice& d, bool exclusive) { return d.lock ? d.lock(d, exclusive) : 0; }
