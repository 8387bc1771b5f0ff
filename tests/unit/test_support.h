// Helpers shared by the unit tests: BIN images built byte by byte, image
// bytes behind a descriptor, and a run record attached to the memory flash.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "memory_flash.h"
#include "run/flash_run.h"

inline void append_le32(std::vector<uint8_t>& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

struct TestRecord {
    uint32_t address;
    std::vector<uint8_t> data;
};

// "B000FF\n", start, length, the records, then an end record.
inline std::vector<uint8_t> make_bin(uint32_t start, const std::vector<TestRecord>& records,
                                     bool end_record = true) {
    std::vector<uint8_t> out = {'B', '0', '0', '0', 'F', 'F', '\n'};
    append_le32(out, start);
    append_le32(out, 0x1234);
    for (const TestRecord& record : records) {
        append_le32(out, record.address);
        append_le32(out, static_cast<uint32_t>(record.data.size()));
        uint32_t sum = 0;
        for (uint8_t byte : record.data) sum += byte;
        append_le32(out, sum);
        out.insert(out.end(), record.data.begin(), record.data.end());
    }
    if (end_record) out.insert(out.end(), 12, 0);
    return out;
}

inline std::vector<uint8_t> pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return out;
}

// A descriptor reading `bytes` from the start.
inline int bytes_fd(const std::vector<uint8_t>& bytes) {
    int fd = memfd_create("image", 0);
    if (fd >= 0 && !bytes.empty()) {
        if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return -1;
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// A run whose device is `flash` and whose image is `image`.
struct TestRun {
    FlashRun run;
    explicit TestRun(MemoryFlash& flash, const std::vector<uint8_t>& image, uint32_t nonfs_bytes) {
        run.settings.nonfs_bytes = nonfs_bytes;
        run.device = memory_flash_device(flash);
        run.search_end = flash.info.size;
        run.geometry = flash.info;
        run.block_buffer.reset(new uint8_t[flash.info.erasesize]);
        run.image.fd = bytes_fd(image);
    }
    ~TestRun() { close(run.image.fd); }
};
