#include "table/partition_table.h"

#include <gtest/gtest.h>

#include "flash/config_block.h"
#include "image/block_assembler.h"
#include "test_support.h"

namespace {

// The page a loader expects, written out byte by byte.
std::vector<uint8_t> expected_page(const std::vector<uint16_t>& blocks, size_t size) {
    std::vector<uint8_t> page(size, 0xFF);
    const char magic[] = "VOLMERACONFIGBLK";
    std::copy(magic, magic + 16, page.begin());
    const uint8_t tags[8] = {0x00, 0x40, 0x01, 0xCF, 0xEA, 0x40, 0x10, 0x00};
    std::copy(tags, tags + 8, page.begin() + 16);
    std::fill(page.begin() + 24, page.begin() + 960, 0);
    page[24] = 64;
    for (size_t k = 0; k < blocks.size(); ++k) {
        page[28 + 2 * k] = static_cast<uint8_t>(blocks[k]);
        page[29 + 2 * k] = static_cast<uint8_t>(blocks[k] >> 8);
    }
    return page;
}

BlockTable table_of(const std::vector<uint16_t>& blocks) {
    BlockTable table;
    for (uint16_t block : blocks) table.entries[table.table_count++] = block;
    return table;
}

TEST(PartitionTablePage, SizeHoldsTheTableOnAnyWriteSize) {
    // The last, rounded up, wrapped to 0 where size_t is 32 bits.
    const std::pair<uint32_t, size_t> cases[] = {
        {2048, 2048}, {4096, 4096}, {960, 960}, {512, 1024}, {256, 1024},
        {1000, 1000}, {100, 1000},  {1, 960},   {0, 960},    {UINT32_MAX, UINT32_MAX}};
    for (auto [writesize, size] : cases) EXPECT_EQ(partition_table_page_size(writesize), size) << writesize;
}

TEST(PartitionTablePage, LayoutByteForByte) {
    const std::vector<uint16_t> blocks = {512, 511, 509, 0x1234};
    for (size_t size : {size_t{1024}, size_t{2048}}) {
        std::vector<uint8_t> page(size, 0);
        encode_partition_table_page(table_of(blocks), page.data(), size);
        EXPECT_EQ(page, expected_page(blocks, size)) << size;
    }
}

TEST(WriteConfigBlock, PageLargerThanAnEraseBlockIsNeverWritten) {
    // 1024-byte pages on 512-byte erase blocks: the page would spill into a
    // block nobody erased.
    MemoryFlash flash;
    attach_memory_flash(flash, 8 << 20, 512, 1024);
    TestRun test(flash, {}, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_config_block(test.run.device, test.run.writes, test.run.geometry, test.run.geometry.size,
                                 table_of({9000})),
              -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Not enough space/too many bad blocks\n");
    EXPECT_TRUE(flash.log.empty());
}

TEST(ConfigSearch, StartsAtThreeAndAHalfMiBOnAnEraseBlockBoundary) {
    EXPECT_EQ(partition_table_search_start(128 << 10), 0x380000u);
    EXPECT_EQ(partition_table_search_start(512 << 10), 0x380000u);
    EXPECT_EQ(partition_table_search_start(1 << 20), 0x400000u);
    EXPECT_EQ(partition_table_search_start(2 << 20), 0x400000u);
    EXPECT_EQ(partition_table_search_start(3 << 20), 0x600000u);
}

struct ConfigCase {
    const char* name;
    uint32_t size;
    std::set<uint32_t> bad, fail_erase, fail_write;
    std::vector<uint16_t> table;
    int status;
    const char* messages;
    int chosen_block;  // -1: nothing written
};

TEST(WriteConfigBlock, SearchSkipsAndRefusals) {
    constexpr uint32_t kErase = 128 << 10;
    const ConfigCase cases[] = {
        {"first candidate good", 64 * kErase, {}, {}, {}, {40, 39}, 0, "Partition table written...\n", 28},
        {"bad block at 3.5 MiB",
         64 * kErase,
         {28},
         {},
         {},
         {40},
         0,
         "Bad block at 00380000, skipping...\nPartition table written...\n",
         29},
        {"erase fails at 3.5 MiB",
         64 * kErase,
         {},
         {28},
         {},
         {40},
         0,
         "Erase failed at 00380000, skipping...\nMarked block at 00380000 bad\nPartition table written...\n",
         29},
        {"device ends at 3.5 MiB",
         28 * kErase,
         {},
         {},
         {},
         {20},
         1,
         "Not enough space/too many bad blocks\n",
         -1},
        {"every candidate bad",
         30 * kErase,
         {28, 29},
         {},
         {},
         {20},
         1,
         "Bad block at 00380000, skipping...\nBad block at 003a0000, skipping...\n"
         "Not enough space/too many bad blocks\n",
         -1},
        {"image reaches the chosen block",
         64 * kErase,
         {28},
         {},
         {},
         {40, 30, 29},
         1,
         "Bad block at 00380000, skipping...\nImage overlaps partition table block at 003a0000!\n",
         -1},
        {"page write fails",
         64 * kErase,
         {},
         {},
         {28},
         {40},
         0,
         "Write failed at 00380000, skipping...\nMarked block at 00380000 bad\nPartition table written...\n",
         29},
    };
    for (const ConfigCase& c : cases) {
        MemoryFlash flash;
        attach_memory_flash(flash, c.size, kErase, 2048);
        flash.bad_blocks = c.bad;
        flash.fail_erase = c.fail_erase;
        flash.fail_write = c.fail_write;
        // Image blocks already on flash must survive whatever happens here.
        for (uint16_t block : c.table) flash.bytes[block * kErase + 7] = 0x11;
        std::vector<uint8_t> before = flash.bytes;
        TestRun test(flash, {}, 0);
        testing::internal::CaptureStderr();
        int status = write_config_block(test.run.device, test.run.writes, test.run.geometry,
                                        test.run.geometry.size, table_of(c.table)) == 0
                         ? 0
                         : 1;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.messages) << c.name;
        EXPECT_EQ(status, c.status) << c.name;
        for (uint16_t block : c.table) {
            if (block < c.size / kErase) {
                EXPECT_EQ(flash.bytes[block * kErase + 7], 0x11) << c.name;
            }
        }
        if (c.chosen_block >= 0) {
            std::vector<uint8_t> page = expected_page(c.table, 2048);
            EXPECT_TRUE(std::equal(page.begin(), page.end(), flash.bytes.begin() + c.chosen_block * kErase))
                << c.name;
            EXPECT_EQ(std::count(flash.bytes.begin() + c.chosen_block * kErase + 2048,
                                 flash.bytes.begin() + (c.chosen_block + 1) * kErase, 0xFF),
                      kErase - 2048)
                << c.name;
        } else if (c.fail_write.empty()) {
            EXPECT_EQ(flash.bytes, before) << c.name;
        }
        EXPECT_EQ(flash.violations, 0) << c.name;
    }
}

}  // namespace
