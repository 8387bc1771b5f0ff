#include "image/bin_reader.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

namespace {

// A stream that hands over exactly one byte per read(), like a slow pipe.
struct OneBytePerRead {
    int fds[2];
    pid_t writer;
    explicit OneBytePerRead(const std::vector<uint8_t>& bytes) {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
        writer = fork();
        if (writer == 0) {
            close(fds[0]);
            for (uint8_t byte : bytes)
                if (write(fds[1], &byte, 1) != 1) _exit(1);
            _exit(0);
        }
        close(fds[1]);
    }
    ~OneBytePerRead() {
        close(fds[0]);
        waitpid(writer, nullptr, 0);
    }
};

TEST(ReadExact, GathersOneByteReadsIntoWholeFields) {
    std::vector<uint8_t> bytes = pattern(300, 5);
    OneBytePerRead stream(bytes);
    std::vector<uint8_t> got(300);
    ImageInput input{stream.fds[0]};
    ASSERT_EQ(read_exact(input, got.data(), 100), 100);
    ASSERT_EQ(read_exact(input, got.data() + 100, 200), 200);
    EXPECT_EQ(got, bytes);
    // The writer is gone: end of input, even part-way through a request.
    EXPECT_EQ(read_exact(input, got.data(), 1), 0);
}

TEST(ReadExact, EndOfInputAfterPartialDataIsZeroWithoutMessage) {
    OneBytePerRead stream(pattern(5, 1));
    uint8_t buffer[8];
    ImageInput input{stream.fds[0]};
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_exact(input, buffer, 8), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(ReadExact, ReadErrorPrintsMissingCountAndErrno) {
    uint8_t buffer[16];
    ImageInput input{-1};
    testing::internal::CaptureStderr();
    EXPECT_EQ(read_exact(input, buffer, 16), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Short read, expected 16 bytes. Bad file descriptor\n");
    // A request of nothing makes no read, so even a bad descriptor is fine.
    EXPECT_EQ(read_exact(input, buffer, 0), 0);
}

struct ImageCheckCase {
    std::vector<uint8_t> bytes;
    int result;
    const char* message;
};

TEST(CheckImage, SignatureAndHeader) {
    std::vector<uint8_t> good = make_bin(0x80001000, {});
    std::vector<uint8_t> carriage = {'B', '0', '0', '0', 'F', 'F', '\r', 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<uint8_t> short_header(good.begin(), good.begin() + 12);
    const ImageCheckCase cases[] = {
        {{}, -1, "Could not read WinCE signature!\n"},
        {{'B', '0', '0'}, -1, "Could not read WinCE signature!\n"},
        {carriage, -1, "WinCE signature not found!\n"},
        {short_header, -1, "Incomplete image header!\n"},
        {good, 0, "Image base address 80001000, size 4660\n"},
    };
    MemoryFlash flash;
    attach_memory_flash(flash, 1 << 20, 1 << 14, 512);
    for (const ImageCheckCase& c : cases) {
        TestRun test(flash, c.bytes, 0);
        BinImageHeader header;
        testing::internal::CaptureStderr();
        EXPECT_EQ(check_image(test.run.image, header), c.result);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    }
}

TEST(CheckImage, StartAddressPrintedWithLeadingZeros) {
    MemoryFlash flash;
    attach_memory_flash(flash, 1 << 20, 1 << 14, 512);
    TestRun test(flash, make_bin(0xABC, {}), 0);
    BinImageHeader header;
    testing::internal::CaptureStderr();
    ASSERT_EQ(check_image(test.run.image, header), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Image base address 00000abc, size 4660\n");
    EXPECT_EQ(header.start, 0xABCu);
}

}  // namespace

// The checksum adds many bytes a step (psadbw lanes on x86, 16-bit lanes
// elsewhere): against the plain byte sum at every alignment, length and
// split, with all-0xFF data (the largest lane sums) and random data.
TEST(RecordChecksum, EqualsTheByteSumAtAnyAlignmentAndSplit) {
    std::vector<uint8_t> ones(5000, 0xFF), noise(5000);
    uint32_t seed = 12345;
    for (uint8_t& byte : noise) byte = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    for (const std::vector<uint8_t>* data : {&ones, &noise}) {
        for (size_t start : {0, 1, 3, 7}) {
            for (size_t length : {0, 1, 7, 8, 9, 1023, 1024, 1025, 2047, 4096, 4993}) {
                uint32_t plain = 0x7FFFFFF0;  // carries into the top bit on the way
                for (size_t i = 0; i < length; ++i) plain += (*data)[start + i];
                EXPECT_EQ(add_to_record_checksum(0x7FFFFFF0, data->data() + start, length), plain)
                    << "start " << start << " length " << length;
                const size_t half = length / 3;
                EXPECT_EQ(
                    add_to_record_checksum(add_to_record_checksum(0x7FFFFFF0, data->data() + start, half),
                                           data->data() + start + half, length - half),
                    plain);
            }
        }
    }
}
