// Pieces of drimlet-inspect's answers that several commands share: the
// command-line options, wording of counts, record checksum findings and
// what a file that is not a B000FF image is, in text and in JSON.
#pragma once

#include <cstdint>
#include <string>

#include "inspect/dump_device.h"
#include "inspect/format_text.h"
#include "inspect/image_survey.h"
#include "inspect/json_writer.h"

struct InspectOptions {
    DumpGeometry dump;         // --erase, --page, --bad
    bool json = false;         // --json: one JSON document on standard output instead of the text
    uint32_t nonfs_bytes = 0;  // -n, in bytes as drimlet computes them
    bool have_nonfs = false;
    uint32_t dump_start = 0;  // --start: image address of the first dumped block
    bool have_start = false;
    bool no_color = false;          // --no-color: plain characters even on a terminal
    bool ignore_checksums = false;  // --ignore-checksums: plan as drimlet --ignore-checksums installs
};

// "1 image block", "2 image blocks".
std::string count_of(uint64_t count, const char* one, const char* many);

// "  image block   3 -> device block   509 at 0x03fa0000" on standard output.
void print_block(const char* what, unsigned number, uint64_t block, uint32_t erasesize);

// {"image_block", "device_block", "offset"}: print_block's line in JSON.
void json_block(JsonWriter& json, uint32_t image_block, uint64_t device_block, uint32_t erasesize);

// The record checksums that do not match, one line each, then
// "COMMAND: the image is damaged: M of R record checksums do not match".
// Prints nothing when all match.
void print_checksum_mismatches(const ImageSurvey& survey, const char* command);

// "records": R, "checksum_mismatches": [{record, address, length, checksum, sum}, ...]
void json_checksums(JsonWriter& json, const ImageSurvey& survey);

// What a file that is not a B000FF image is, in one sentence; empty for a
// B000FF image.
std::string describe_not_b000ff(const ImageSurvey& survey, const char* path);

// The whole JSON document of a command that failed before it had anything
// else to say: {"command", "ok": false, "error"}. Returns 1, the exit status.
int print_json_failure(const char* command, const std::string& error);
