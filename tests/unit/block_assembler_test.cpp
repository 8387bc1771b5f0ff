#include "image/block_assembler.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "run/stream_image.h"
#include "test_support.h"

namespace {

constexpr uint32_t kErase = 16 << 10;
constexpr uint32_t kStart = 0x80200000;

struct Layout {
    std::vector<std::vector<uint8_t>> blocks;  // expected image blocks, in order
    void put(size_t block, size_t offset, const std::vector<uint8_t>& data) {
        for (size_t i = 0; i < data.size(); ++i) {
            size_t at = offset + i;
            while (blocks.size() <= block + at / kErase) blocks.emplace_back(kErase, 0xFF);
            blocks[block + at / kErase][at % kErase] = data[i];
        }
    }
    void ensure(size_t count) {
        while (blocks.size() < count) blocks.emplace_back(kErase, 0xFF);
    }
};

struct StreamResult {
    int result;
    std::string messages;
    BlockTable table;
};

StreamResult stream(MemoryFlash& flash, const std::vector<uint8_t>& image, uint32_t nonfs) {
    TestRun test(flash, image, nonfs);
    BinImageHeader header;
    StreamResult out{};
    testing::internal::CaptureStderr();
    out.result = check_image(test.run.image, header) == 0 ? stream_image(test.run, header, out.table) : -1;
    out.messages = testing::internal::GetCapturedStderr();
    return out;
}

struct PlacementCase {
    const char* name;
    std::vector<TestRecord> records;
    Layout expected;
};

std::vector<PlacementCase> placement_cases() {
    std::vector<uint8_t> a = pattern(40, 1), b = pattern(kErase, 2), c = pattern(9, 3);
    std::vector<PlacementCase> cases;
    {
        PlacementCase t{"end record only", {}, {}};
        t.expected.ensure(1);
        cases.push_back(t);
    }
    {
        PlacementCase t{"one full block then an erased final block", {{kStart, b}}, {}};
        t.expected.put(0, 0, b);
        t.expected.ensure(2);
        cases.push_back(t);
    }
    {
        PlacementCase t{"record at the next block boundary", {{kStart, a}, {kStart + kErase, c}}, {}};
        t.expected.put(0, 0, a);
        t.expected.put(1, 0, c);
        cases.push_back(t);
    }
    {
        PlacementCase t{"gap over a whole block", {{kStart, a}, {kStart + 2 * kErase + kErase / 2, c}}, {}};
        t.expected.put(0, 0, a);
        t.expected.put(2, kErase / 2, c);
        cases.push_back(t);
    }
    {
        PlacementCase t{
            "empty record far ahead flushes the blocks before it", {{kStart + 3 * kErase, {}}}, {}};
        t.expected.ensure(3);
        cases.push_back(t);
    }
    {
        PlacementCase t{
            "record crossing two boundaries", {{kStart + kErase - 3, b}, {kStart + 2 * kErase + 100, c}}, {}};
        t.expected.put(0, kErase - 3, b);
        t.expected.put(2, 100, c);
        cases.push_back(t);
    }
    {
        PlacementCase t{"later bytes in the same block win", {{kStart + 8, a}, {kStart + 10, c}}, {}};
        t.expected.put(0, 8, a);
        t.expected.put(0, 10, c);
        cases.push_back(t);
    }
    return cases;
}

TEST(StreamImage, RecordsLandWhereTheirAddressesSay) {
    for (const PlacementCase& c : placement_cases()) {
        MemoryFlash flash;
        attach_memory_flash(flash, 256 * kErase, kErase, 512);  // the table's window from 3.5 MiB
        flash.bad_blocks = {63};
        StreamResult r = stream(flash, make_bin(kStart, c.records), 64 * kErase);
        const size_t n = c.expected.blocks.size();
        ASSERT_EQ(r.result, static_cast<int>(n)) << c.name << "\n" << r.messages;
        EXPECT_EQ(r.table.table_count, n) << c.name;
        uint32_t device = 64;
        for (size_t k = 0; k < n; ++k, --device) {
            if (device == 63) --device;  // bad, skipped without a table entry
            EXPECT_EQ(r.table.entries[k], device) << c.name << " image block " << k;
            EXPECT_TRUE(std::equal(c.expected.blocks[k].begin(), c.expected.blocks[k].end(),
                                   flash.bytes.begin() + device * kErase))
                << c.name << " image block " << k;
        }
        EXPECT_EQ(r.table.entries[n], 0) << c.name;
        std::string tail = "Image written, " + std::to_string(n) + " erase blocks...\n";
        EXPECT_TRUE(r.messages.size() >= tail.size() &&
                    r.messages.compare(r.messages.size() - tail.size(), tail.size(), tail) == 0)
            << c.name << ": " << r.messages;
        EXPECT_EQ(flash.violations, 0) << c.name;
    }
}

// The blocks as the assembler hands them out: laid out in its buffer, or
// rebuilt from the pieces a sink takes (read `read_size` bytes at a time;
// 0: no sink).
struct Rebuilt {
    std::vector<uint8_t> block = std::vector<uint8_t>(kErase, 0x00);
};

int rebuild(void* context, uint32_t offset, const uint8_t* data, uint32_t size) {
    std::vector<uint8_t>& block = static_cast<Rebuilt*>(context)->block;
    if (data)
        std::copy(data, data + size, block.begin() + offset);
    else
        std::fill(block.begin() + offset, block.begin() + offset + size, 0xFF);
    return 0;
}

std::vector<std::vector<uint8_t>> assemble(const std::vector<uint8_t>& image, uint32_t read_size) {
    ImageInput input{bytes_fd(image)};
    BinImageHeader header;
    std::vector<std::vector<uint8_t>> blocks;
    std::vector<uint8_t> buffer(kErase);
    Rebuilt rebuilt;
    testing::internal::CaptureStderr();
    if (check_image(input, header) == 0) {
        BlockAssembler assembler;
        init_assembler(assembler, input, buffer.data(), kErase, header);
        if (read_size) {
            assembler.sink = PieceSink{rebuild, &rebuilt};
            assembler.read_size = read_size;
        }
        while (next_image_block(assembler) == 1) {
            blocks.push_back(read_size ? rebuilt.block : buffer);
            rebuilt.block.assign(kErase, 0x00);  // every byte must come again
        }
    }
    testing::internal::GetCapturedStderr();
    close(input.fd);
    return blocks;
}

TEST(BlockAssembler, PiecesToASinkRebuildTheBlocksItLaysOut) {
    for (const PlacementCase& c : placement_cases())
        for (uint32_t read_size : {0u, 1u, 7u, kErase / 4, kErase}) {
            EXPECT_EQ(assemble(make_bin(kStart, c.records), read_size), c.expected.blocks)
                << c.name << ", read " << read_size << " bytes at a time";
        }
}

struct FailureCase {
    const char* name;
    std::vector<uint8_t> image;
    uint32_t nonfs_blocks;
    const char* messages_after_header;
    int blocks_written;
};

TEST(StreamImage, FailuresStopBeforeWritingAnythingWrong) {
    std::vector<uint8_t> truncated = make_bin(kStart, {{kStart, pattern(100, 1)}}, false);
    truncated.resize(truncated.size() - 30);
    const FailureCase cases[] = {
        {"record below the image start", make_bin(kStart, {{kStart - 1, {1}}}), 64,
         "Record at 801fffff out of order!\n", 0},
        {"record below an already written block",
         make_bin(kStart, {{kStart, pattern(kErase, 1)}, {kStart + 5, {1}}}), 64,
         "Record at 80200005 out of order!\n", 1},
        {"data cut short", truncated, 64, "Incomplete data section!\n", 0},
        {"end record missing", make_bin(kStart, {{kStart, {1}}}, false), 64, "Incomplete record header!\n",
         0},
        {"no non-Filesystem partition", make_bin(kStart, {}), 0,
         "No good block left in the non-Filesystem partition!\n", 0},
        {"partition larger than the cursor counts", make_bin(kStart, {}), 65536,
         "Non-Filesystem partition too large!\n", 0},
    };
    for (const FailureCase& c : cases) {
        MemoryFlash flash;
        attach_memory_flash(flash, 256 * kErase, kErase, 512);  // the table's window from 3.5 MiB
        StreamResult r = stream(flash, c.image, c.nonfs_blocks * kErase);
        EXPECT_EQ(r.result, -1) << c.name;
        EXPECT_EQ(r.messages,
                  std::string("Image base address 80200000, size 4660\n") + c.messages_after_header)
            << c.name;
        EXPECT_EQ(std::count_if(flash.log.begin(), flash.log.end(),
                                [](const std::string& l) { return l.rfind("write", 0) == 0; }),
                  c.blocks_written)
            << c.name;
    }
}

TEST(StreamImage, TableHoldsAtMost466Blocks) {
    constexpr uint32_t kSmall = 2048;  // the smallest erase block a 960-byte table page fits in
    for (uint32_t blocks : {466u, 467u}) {
        MemoryFlash flash;
        attach_memory_flash(flash, 2048 * kSmall, kSmall, 512);
        // One byte in the last block: every block before it is flushed empty.
        std::vector<uint8_t> image = make_bin(kStart, {{kStart + (blocks - 1) * kSmall, {0x5A}}});
        StreamResult r = stream(flash, image, 1000 * kSmall);
        const int writes =
            static_cast<int>(std::count_if(flash.log.begin(), flash.log.end(),
                                           [](const std::string& l) { return l.rfind("write", 0) == 0; }));
        if (blocks == 466) {
            EXPECT_EQ(r.result, 466);
            EXPECT_EQ(writes, 466);
            EXPECT_EQ(r.table.entries[465], 1000 - 465);
            EXPECT_EQ(flash.bytes[(1000 - 465) * kSmall], 0x5A);
        } else {
            EXPECT_EQ(r.result, -1);
            EXPECT_EQ(writes, 466);  // the 467th block never reaches the device
            EXPECT_NE(r.messages.find("Image too large for partition table!\n"), std::string::npos);
        }
    }
}

}  // namespace
