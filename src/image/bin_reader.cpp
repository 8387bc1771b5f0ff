#include "image/bin_reader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/interrupt.h"
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
    // drimlet-inspect sums every byte of an image, and must keep up with
    // reading them.
    size_t at = 0;
#if defined(__SSE2__)
    // x86: psadbw adds sixteen bytes into two 64-bit lanes in one step; four
    // lanes side by side keep it from waiting on its own additions.
    const __m128i zero = _mm_setzero_si128();
    __m128i lanes[4] = {zero, zero, zero, zero};
    for (; size - at >= 64; at += 64)
        for (int k = 0; k < 4; ++k)
            lanes[k] = _mm_add_epi64(
                lanes[k],
                _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at) + k), zero));
    for (; size - at >= 16; at += 16)
        lanes[0] = _mm_add_epi64(
            lanes[0], _mm_sad_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + at)), zero));
    const __m128i total = _mm_add_epi64(_mm_add_epi64(lanes[0], lanes[1]), _mm_add_epi64(lanes[2], lanes[3]));
    sum += static_cast<uint32_t>(_mm_cvtsi128_si32(total)) +
           static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(total, total)));
#else
    // Elsewhere eight bytes a step, the even and the odd ones each into four
    // 16-bit lanes, which 128 steps (at most 2 * 255 each) cannot overflow.
    constexpr uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
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
#endif
    for (; at < size; ++at) sum += data[at];
    return sum;
}

int read_exact(ImageInput& input, uint8_t* buffer, size_t size) {
    size_t received = 0;
    while (received < size) {
        if (!input.positioned && wait_for_input(input.fd) != 0) return -1;
        ssize_t got = input.positioned ? pread(input.fd, buffer + received, size - received,
                                               static_cast<off_t>(input.offset + received))
                                       : read(input.fd, buffer + received, size - received);
        if (got == 0) {
            take_interrupt();  // a producer ended by the same Ctrl-C: the interrupt says why
            break;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A non-blocking standard input has no data yet: wait for it
            // rather than take a slow producer for a short image.
            pollfd ready{input.fd, POLLIN, 0};
            if (poll(&ready, 1, -1) >= 0 || errno == EINTR) continue;
        }
        if (got < 0) {
            input.error = errno;
            input.offset += received;
            if (take_interrupt() == 0) print_message(kShortReadFormat, size - received, strerror(errno));
            return -1;
        }
        received += static_cast<size_t>(got);
    }
    input.offset += received;
    return received == size ? static_cast<int>(size) : 0;
}

namespace {
// Reads a whole field: 0, or -1 after `message` (none when an interrupt
// stopped the read: the run says so itself).
template <size_t N>
int read_field(ImageInput& input, uint8_t* field, size_t size, const char (&message)[N]) {
    if (read_exact(input, field, size) == static_cast<int>(size)) return 0;
    if (interrupt_signal() == 0) print_fixed(message);
    return -1;
}
}  // namespace

int check_image(ImageInput& input, BinImageHeader& header) {
    uint8_t* signature = header.signature;
    const uint64_t before = input.offset;
    const int got = read_field(input, signature, sizeof kSignature, kNoSignature);
    header.signature_bytes = static_cast<uint32_t>(input.offset - before);
    if (got != 0) return -1;
    if (memcmp(signature, kSignature, sizeof kSignature) != 0) {
        print_fixed(kBadSignature);
        return -1;
    }
    uint8_t fields[8];
    if (read_field(input, fields, sizeof fields, kShortHeader) != 0) return -1;
    header.start = load_le32(fields);
    header.length = load_le32(fields + 4);
    print_message(kHeaderFormat, header.start, header.length);
    return 0;
}

int read_record_header(ImageInput& input, BinRecord& record) {
    uint8_t fields[12];
    if (read_field(input, fields, sizeof fields, kShortRecordHeader) != 0) return -1;
    record.address = load_le32(fields);
    record.length = load_le32(fields + 4);
    record.checksum = load_le32(fields + 8);
    return 0;
}
