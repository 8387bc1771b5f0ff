#include "cli/command_line.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// The settings point into `words`, as they point into argv in the tool.
// `result` and `exit_status` get parse_command_line's answers.
RunSettings parse(std::vector<std::string>& words, int* result = nullptr, int* exit_status = nullptr) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    optind = 0;  // glibc: re-initialise getopt for every parse in this process
    RunSettings settings;
    int status = -1;
    int parsed = parse_command_line(static_cast<int>(words.size()), argv.data(), settings, status);
    if (result) *result = parsed;
    if (exit_status) *exit_status = status;
    return settings;
}

struct SizeCase {
    const char* text;
    uint32_t bytes;
};

TEST(CommandLine, NonfsSizeFollowsStrtolAndWrapsIn32Bits) {
    const SizeCase cases[] = {
        {"64", 64u << 20},
        {"abc", 0},
        {"12abc", 12u << 20},
        {" 7", 7u << 20},
        {"+3", 3u << 20},
        {"4095", 4095u << 20},
        {"4096", 0},
        {"4097", 1u << 20},
        {"-1", 0xFFF00000u},
        {"99999999999", 0xFFF00000u},  // saturates like the board's 32-bit strtol
        {"", 0},
    };
    for (const SizeCase& c : cases) EXPECT_EQ(nonfs_bytes_from_text(c.text), c.bytes) << c.text;
}

TEST(CommandLine, OperandsAroundOptionsAndLaterOptionWins) {
    std::vector<std::string> words = {"drimlet", "/dev/mtd3", "-n", "8", "nk.bin"};
    RunSettings s = parse(words);
    EXPECT_STREQ(s.mtd_path, "/dev/mtd3");
    EXPECT_STREQ(s.image_path, "nk.bin");
    EXPECT_EQ(s.nonfs_bytes, 8u << 20);

    std::vector<std::string> repeated = {"drimlet", "-n", "8", "-n16", "dev", "img", "--ignore-checksums"};
    s = parse(repeated);
    EXPECT_EQ(s.nonfs_bytes, 16u << 20);
    EXPECT_STREQ(s.mtd_path, "dev");
    EXPECT_STREQ(s.image_path, "img");
    EXPECT_TRUE(s.ignore_checksums);

    std::vector<std::string> from_stdin = {"drimlet", "dev", "-"};
    s = parse(from_stdin);
    EXPECT_EQ(s.nonfs_bytes, 0u);
    EXPECT_STREQ(s.image_path, "-");
    EXPECT_FALSE(s.ignore_checksums);
}

TEST(CommandLine, IncompleteOrBadCommandLineShowsUsageAndEndsTheRun) {
    std::vector<std::vector<std::string>> cases = {
        {"drimlet"},
        {"drimlet", "dev"},
        {"drimlet", "-x", "dev", "img"},
        {"drimlet", "dev", "img", "-n"},
        {"drimlet", "-n", "8", "dev"},
        {"drimlet", "-n", "8", "dev", "a.bin", "b.bin"},  // `*.bin` that matched two files
    };
    for (auto& words : cases) {
        int result = 0, exit_status = -1;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        parse(words, &result, &exit_status);
        const std::string out = testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, -1) << words.size();
        EXPECT_EQ(exit_status, 1) << words.size();
        EXPECT_EQ(out.rfind("Usage: drimlet [options] MTD NKFILE\n", 0), 0u) << words.size();
    }
}

}  // namespace
