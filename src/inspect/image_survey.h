// drimlet-inspect's look at a whole BIN image, through the installer's own
// reader and assembler in their survey mode: every record's range and
// checksum, the end record, and the image blocks the installer would lay
// out. Unlike the install it does not stop at a bad checksum, a record out
// of order or a block past the partition table's end: it notes each and
// goes on, so one look at an image reports everything wrong with it. It
// prints nothing; the commands say what they found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/block_assembler.h"

enum class ImageKind {
    kUnread,    // not opened or not read
    kTooShort,  // fewer bytes than a signature
    kBin,       // "B000FF\n": the one format drimlet installs
    kOtherBin,  // another signature of the BIN family
    kNotBin,    // no BIN signature at all
};

struct SurveyedRecord {
    uint32_t address = 0;
    uint32_t length = 0;
    uint32_t checksum = 0;  // as the record header carries it
    uint32_t sum = 0;       // of the data bytes read
    bool complete = true;   // false when the image ends inside the data
    bool out_of_order = false;
    uint64_t filled_block = 0;  // when out of order: the image block already being filled
};

struct RangeGap {
    uint64_t address = 0;  // first byte no record covers
    uint64_t bytes = 0;
};

struct RangeOverlap {
    size_t record = 0;  // the record that starts inside an earlier one's range
    size_t other = 0;   // the record whose range it starts in
    uint64_t address = 0;
    uint64_t bytes = 0;
};

struct ImageSurvey {
    ImageKind kind = ImageKind::kUnread;
    uint8_t first_bytes[7] = {};
    size_t first_byte_count = 0;
    std::string signature;  // the first six bytes when the kind is kBin or kOtherBin
    bool header_complete = false;
    BinImageHeader header;
    std::vector<SurveyedRecord> records;
    bool ended = false;  // the end record was read
    uint32_t entry_point = 0;
    uint32_t end_checksum = 0;
    const char* truncated = nullptr;  // "the image header", "a record header", "a record's data"
    uint64_t trailing_bytes = 0;      // after the end record (the installer never reads them)
    int read_error = 0;               // errno of a failed read, or 0

    uint32_t erasesize = 0;
    uint64_t image_blocks = 0;  // as the installer lays them out, counting past the table's end
    uint32_t checksum_mismatches = 0;
    uint32_t out_of_order = 0;
    uint64_t records_end = 0;  // one past the highest record byte (0 without data)
    std::vector<RangeGap> gaps;
    std::vector<RangeOverlap> overlaps;
    // The line the installer's own reading of the image stops with, empty
    // when it would lay the whole image out: check's verdict rests on it.
    std::string stops_with;
};

// Reads the image on `image_fd` to its end, laying it out at `erasesize`.
// 0, or -1 when it cannot have a block buffer (the survey then holds
// nothing).
int survey_image(int image_fd, uint32_t erasesize, ImageSurvey& survey);

// Notes in `survey` each record `assembler` reads: set up after
// init_assembler. `tally` lives as long as the assembler reads.
struct RecordTally {
    ImageSurvey& survey;
    const BlockAssembler& assembler;
    uint32_t received = 0;  // data bytes of the last record so far
};
void watch_records(BlockAssembler& assembler, RecordTally& tally);

// Counts the mismatching checksums of the complete records, once they are all read.
void count_checksum_mismatches(ImageSurvey& survey);

// The image as the plan command uses it: surveyed once, then handed to
// the installer's dry run from its first byte. A pipe is first copied into
// an unnamed temporary file.
struct PreparedImage {
    int fd = -1;
    bool owns_fd = false;
    bool streamed = false;  // from a pipe, which drimlet streams without a check before writing
    ImageSurvey survey;
    std::string error;  // why it cannot be read, after a failure
};

// 0, or -1 after a message (the installer's when the image cannot be
// opened, or on a terminal) when the image cannot be opened or standard
// input could not be kept for the second read.
int prepare_image(const char* path, uint32_t erasesize, PreparedImage& image);
void release_image(PreparedImage& image);

// "record 3 at 0x80300000, 100 bytes, checksum 0x00001234: does not match
// (the data sums to 0x00001235)"
std::string describe_record(size_t index, const SurveyedRecord& record);
