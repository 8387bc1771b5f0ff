#include "image/bin_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/messages.h"

namespace {
const uint8_t kSignature[7] = {'B', '0', '0', '0', 'F', 'F', '\n'};

const char kShortReadFormat[] = "Short read, expected %zu bytes. %s\n";
const char kNoSignature[] = "Could not read WinCE signature!\n";
const char kBadSignature[] = "WinCE signature not found!\n";
const char kShortHeader[] = "Incomplete image header!\n";
const char kHeaderFormat[] = "Image base address %08x, size %u\n";
const char kShortRecordHeader[] = "Incomplete record header!\n";
}  // namespace

uint32_t load_le32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

uint32_t add_to_record_checksum(uint32_t sum, const uint8_t* data, size_t size) {
    // drimlet-inspect sums every byte of an image, as fast as it reads them:
    // eight bytes a step, the even and the odd ones each into four 16-bit
    // lanes, which 128 steps (at most 2 * 255 each) cannot overflow.
    constexpr uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    size_t at = 0;
    while (size - at >= 8) {
        const size_t steps = (size - at) / 8 < 128 ? (size - at) / 8 : 128;
        uint64_t lanes = 0;
        for (size_t step = 0; step < steps; ++step, at += 8) {
            uint64_t word;
            memcpy(&word, data + at, sizeof word);
            lanes += (word & kLowBytes) + ((word >> 8) & kLowBytes);
        }
        lanes = (lanes & 0x0000FFFF0000FFFFull) + ((lanes >> 16) & 0x0000FFFF0000FFFFull);
        sum += static_cast<uint32_t>(lanes) + static_cast<uint32_t>(lanes >> 32);
    }
    for (; at < size; ++at) sum += data[at];
    return sum;
}

int read_exact(int fd, uint8_t* buffer, size_t size) {
    size_t received = 0;
    while (received < size) {
        ssize_t got = read(fd, buffer + received, size - received);
        if (got == 0) return 0;
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A non-blocking standard input has no data yet: wait for it
            // rather than take a slow producer for a short image.
            pollfd ready{fd, POLLIN, 0};
            if (poll(&ready, 1, -1) >= 0 || errno == EINTR) continue;
        }
        if (got < 0) {
            print_message(kShortReadFormat, size - received, strerror(errno));
            return -1;
        }
        received += static_cast<size_t>(got);
    }
    return static_cast<int>(size);
}

int check_image(int image_fd, BinImageHeader& header) {
    uint8_t signature[sizeof kSignature];
    if (read_exact(image_fd, signature, sizeof signature) != sizeof signature) {
        print_fixed(kNoSignature);
        return -1;
    }
    if (memcmp(signature, kSignature, sizeof kSignature) != 0) {
        print_fixed(kBadSignature);
        return -1;
    }
    uint8_t fields[8];
    if (read_exact(image_fd, fields, sizeof fields) != sizeof fields) {
        print_fixed(kShortHeader);
        return -1;
    }
    header.start = load_le32(fields);
    header.length = load_le32(fields + 4);
    print_message(kHeaderFormat, header.start, header.length);
    return 0;
}

int read_record_header(int image_fd, BinRecord& record) {
    uint8_t fields[12];
    if (read_exact(image_fd, fields, sizeof fields) != sizeof fields) {
        print_fixed(kShortRecordHeader);
        return -1;
    }
    record.address = load_le32(fields);
    record.length = load_le32(fields + 4);
    record.checksum = load_le32(fields + 8);
    return 0;
}
