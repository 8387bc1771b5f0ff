#include "flash/block_writer.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

constexpr uint32_t kErase = 128 << 10;
constexpr uint32_t kPage = 2048;

class BlockWriter : public testing::Test {
  protected:
    void SetUp() override {
        attach_memory_flash(flash, 16 * kErase, kErase, kPage);
        device = memory_flash_device(flash);
        block = pattern(kErase, 3);
    }

    // One call, with standard error captured into `messages`.
    int write_block() {
        testing::internal::CaptureStderr();
        int result = write_next_block(device, context, kErase, cursor, block.data());
        messages = testing::internal::GetCapturedStderr();
        return result;
    }
    bool holds_block(uint32_t number) const {
        return std::equal(block.begin(), block.end(), flash.bytes.begin() + number * kErase);
    }

    MemoryFlash flash;
    MtdDevice device;
    WriteContext context;
    std::vector<uint8_t> block;
    AllocatorCursor cursor = 0;
    std::string messages;
};

TEST_F(BlockWriter, CountsDownAndNeverWritesBlockOne) {
    cursor = 3;
    EXPECT_EQ(write_block(), 3);
    EXPECT_EQ(write_block(), 2);
    EXPECT_EQ(write_block(), -1);  // block 1 is looked at, not written
    EXPECT_EQ(messages, "No good block left in the non-Filesystem partition!\n");
    EXPECT_EQ(cursor, 0);
    EXPECT_EQ(write_block(), -1);
    EXPECT_TRUE(holds_block(3));
    EXPECT_TRUE(holds_block(2));
    EXPECT_EQ(std::count(flash.bytes.begin() + kErase, flash.bytes.begin() + 2 * kErase, 0xFF), kErase);
    EXPECT_EQ(flash.log.back(), "isbad 1 -> 0");
    EXPECT_EQ(flash.violations, 0);
}

TEST_F(BlockWriter, RequestsForOneBlockComeInDeviceOrder) {
    cursor = 5;
    ASSERT_EQ(write_block(), 5);
    const std::vector<std::string> expected = {"isbad 5 -> 0", "unlock", "erase 5 -> 0", "seek 655360 -> 0",
                                               "write 655360 131072 -> 131072"};
    EXPECT_EQ(flash.log, expected);
}

TEST_F(BlockWriter, CursorZeroMakesNoRequest) {
    EXPECT_EQ(write_block(), -1);
    EXPECT_TRUE(flash.log.empty());
    EXPECT_EQ(messages, "No good block left in the non-Filesystem partition!\n");
}

TEST_F(BlockWriter, BlockOneBadIsReportedThenExhausted) {
    cursor = 1;
    flash.bad_blocks = {1};
    EXPECT_EQ(write_block(), -1);
    EXPECT_EQ(messages,
              "Bad block at 00020000, skipping...\nNo good block left in the non-Filesystem partition!\n");
}

struct SkipCase {
    const char* name;
    void (*arrange)(MemoryFlash&);
    const char* message;
};

TEST_F(BlockWriter, UnusableBlocksAreSkippedWithTheirOffset) {
    const SkipCase cases[] = {
        {"bad", [](MemoryFlash& f) { f.bad_blocks = {3}; }, "Bad block at 00060000, skipping...\n"},
        {"query fails", [](MemoryFlash& f) { f.fail_query = {3}; }, "Bad block at 00060000, skipping...\n"},
        {"erase fails", [](MemoryFlash& f) { f.fail_erase = {3}; },
         "Erase failed at 00060000, skipping...\nMarked block at 00060000 bad\n"},
        {"program fails with EIO", [](MemoryFlash& f) { f.fail_write = {3}; },
         "Write failed at 00060000, skipping...\nMarked block at 00060000 bad\n"},
    };
    for (const SkipCase& c : cases) {
        attach_memory_flash(flash, 16 * kErase, kErase, kPage);
        flash.bad_blocks.clear(), flash.fail_query.clear(), flash.fail_erase.clear(),
            flash.fail_write.clear();
        c.arrange(flash);
        cursor = 3;
        EXPECT_EQ(write_block(), 2) << c.name;
        EXPECT_EQ(messages, c.message) << c.name;
        EXPECT_TRUE(holds_block(2)) << c.name;
        EXPECT_EQ(flash.violations, 0) << c.name;
    }
}

TEST_F(BlockWriter, ErasedBeforeEveryWrite) {
    std::fill(flash.bytes.begin() + 4 * kErase, flash.bytes.begin() + 5 * kErase, 0x00);
    cursor = 4;
    EXPECT_EQ(write_block(), 4);
    EXPECT_TRUE(holds_block(4));
    EXPECT_EQ(flash.violations, 0);
}

TEST_F(BlockWriter, ShortAndInterruptedWritesAreCompleted) {
    flash.short_write = 3 * kPage;
    flash.eintr_writes = 2;
    cursor = 6;
    EXPECT_EQ(write_block(), 6);
    EXPECT_TRUE(holds_block(6));
    EXPECT_EQ(messages, "");
}

struct FailCase {
    const char* name;
    void (*arrange)(MemoryFlash&);
    const char* reason;  // the line naming the errno
};

TEST_F(BlockWriter, FailedWritesEndWithTheWriteMessage) {
    const FailCase cases[] = {
        {"no progress", [](MemoryFlash& f) { f.zero_write = true; }, "No progress\n"},
        {"seek error", [](MemoryFlash& f) { f.fail_seek = true; }, "Invalid argument\n"},
    };
    for (const FailCase& c : cases) {
        attach_memory_flash(flash, 16 * kErase, kErase, kPage);
        flash.zero_write = false, flash.fail_seek = false;
        c.arrange(flash);
        cursor = 6;
        EXPECT_EQ(write_block(), -1) << c.name;
        EXPECT_EQ(messages, std::string("Write erase block failed\n") + c.reason) << c.name;
        EXPECT_EQ(cursor, 5) << c.name;  // the failed block stays behind the cursor
    }
}

TEST(InitCursor, BlocksInPartitionAndSixteenBitLimit) {
    AllocatorCursor cursor = 7;
    EXPECT_EQ(init_cursor(64u << 20, 128u << 10, cursor), 512);
    EXPECT_EQ(init_cursor(64u << 20, 0, cursor), 0);
    EXPECT_EQ(init_cursor(0, 2048, cursor), 0);
    EXPECT_EQ(init_cursor(65535u * 512, 512, cursor), 65535);
    testing::internal::CaptureStderr();
    EXPECT_EQ(init_cursor(65536u * 512, 512, cursor), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Non-Filesystem partition too large!\n");
}

}  // namespace
