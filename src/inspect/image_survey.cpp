#include "inspect/image_survey.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/messages.h"
#include "run/image_source.h"

namespace {

const char* const kOtherBinSignatures[] = {"N000FF", "X000FF", "S000FF", "R000FF"};

void watch_record(void* context, const BinRecord& header, bool out_of_order) {
    RecordTally& tally = *static_cast<RecordTally*>(context);
    SurveyedRecord record;
    record.address = header.address;
    record.length = header.length;
    record.checksum = header.checksum;
    record.complete = header.length == 0;
    record.out_of_order = out_of_order;
    record.filled_block = tally.assembler.blocks;  // the block being filled
    tally.survey.records.push_back(record);
    tally.received = 0;
}

void watch_data(void* context, uint32_t size, uint32_t sum) {
    RecordTally& tally = *static_cast<RecordTally*>(context);
    SurveyedRecord& record = tally.survey.records.back();
    record.sum = sum;
    tally.received += size;
    record.complete = tally.received == record.length;
}

// What the first bytes say the file is.
void classify(ImageSurvey& survey, const BinImageHeader& header) {
    survey.first_byte_count = header.signature_bytes;
    memcpy(survey.first_bytes, header.signature, header.signature_bytes);
    if (survey.first_byte_count < sizeof survey.first_bytes) {
        survey.kind = ImageKind::kTooShort;
        return;
    }
    const char* signature = reinterpret_cast<const char*>(survey.first_bytes);
    if (memcmp(signature, "B000FF\n", 7) == 0) {
        survey.kind = ImageKind::kBin;
    } else {
        survey.kind = ImageKind::kNotBin;
        for (const char* other : kOtherBinSignatures)
            if (memcmp(signature, other, 6) == 0) survey.kind = ImageKind::kOtherBin;
    }
    if (survey.kind != ImageKind::kNotBin) survey.signature.assign(signature, 6);
}

// Gaps and overlaps between the records' ranges, in address order, from the
// image start on.
void note_ranges(ImageSurvey& survey) {
    std::vector<size_t> order;
    for (size_t i = 0; i < survey.records.size(); ++i)
        if (survey.records[i].length != 0) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return survey.records[a].address < survey.records[b].address;
    });
    uint64_t covered_to = survey.header.start;
    size_t reaching = 0;  // the record that reaches covered_to
    bool any = false;
    for (size_t i : order) {
        const SurveyedRecord& record = survey.records[i];
        const uint64_t end = uint64_t{record.address} + record.length;
        if (record.address > covered_to) {
            survey.gaps.push_back(RangeGap{covered_to, record.address - covered_to});
        } else if (any && record.address < covered_to) {
            survey.overlaps.push_back(
                RangeOverlap{i, reaching, record.address, std::min(end, covered_to) - record.address});
        }
        if (end > covered_to || !any) {
            covered_to = std::max(covered_to, end);
            reaching = i;
        }
        any = true;
    }
    survey.records_end = any ? covered_to : 0;
}

// The bytes after the end record, which the installer never reads.
void count_trailing_bytes(int image_fd, ImageSurvey& survey) {
    uint8_t rest[1 << 12];
    for (;;) {
        const ssize_t more = read(image_fd, rest, sizeof rest);
        if (more < 0 && errno == EINTR) continue;
        if (more < 0) survey.read_error = errno;
        if (more <= 0) return;
        survey.trailing_bytes += static_cast<uint64_t>(more);
    }
}

// The records, laid out by the installer's assembler going on past every
// fault it can: how the survey of a B000FF image ends.
void survey_records(ImageInput& input, uint8_t* block, ImageSurvey& survey) {
    BlockAssembler assembler;
    init_assembler(assembler, input, block, survey.erasesize, survey.header);
    assembler.survey = true;
    RecordTally tally{survey, assembler};
    watch_records(assembler, tally);
    int ready;
    while ((ready = next_image_block(assembler)) == 1) {
    }
    input = assembler.input;
    // The end record closes the block being filled; an image that ends
    // early counts the blocks its records reached.
    survey.image_blocks = assembler.blocks + (ready == 0 ? 0 : 1);
    if (ready != 0 && assembler.in_record && !assembler.skipping) {
        // A record cut short counts the blocks its length would reach.
        const SurveyedRecord& cut = survey.records.back();
        const uint64_t reach =
            (uint64_t{cut.address} - survey.header.start + cut.length) / survey.erasesize + 1;
        survey.image_blocks = std::max(survey.image_blocks, reach);
    }
    survey.ended = assembler.ended;
    if (survey.ended) {
        // The end record's length field carries the entry point.
        survey.entry_point = assembler.record.length;
        survey.end_checksum = assembler.record.checksum;
    } else if (input.error == 0) {
        survey.truncated = assembler.in_record ? "a record's data" : "a record header";
    }
}

// Copies everything `from` still has to `to`: 0, or -1 with errno set.
int copy_all(int from, int to) {
    uint8_t piece[1 << 16];
    for (;;) {
        const ssize_t got = read(from, piece, sizeof piece);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got == 0 ? 0 : -1;
        for (ssize_t put = 0, done = 0; done < got; done += put) {
            put = write(to, piece + done, static_cast<size_t>(got - done));
            if (put < 0 && errno == EINTR)
                put = 0;
            else if (put <= 0)
                return -1;
        }
    }
}

}  // namespace

void watch_records(BlockAssembler& assembler, RecordTally& tally) {
    assembler.watcher = RecordWatcher{watch_record, watch_data, &tally};
}

void count_checksum_mismatches(ImageSurvey& survey) {
    survey.checksum_mismatches = 0;
    for (const SurveyedRecord& record : survey.records)
        if (record.complete && record.sum != record.checksum) ++survey.checksum_mismatches;
}

int survey_image(int image_fd, uint32_t erasesize, ImageSurvey& survey) {
    survey = ImageSurvey{};
    survey.erasesize = erasesize;
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[erasesize]);
    if (!block) return -1;
    // The reader's and the assembler's lines are what the installer would
    // print; the commands say it in their own words.
    std::vector<std::string> lines;
    const MessageDestination previous = set_message_destination(MessageDestination{&lines});
    ImageInput input{image_fd};
    const int checked = check_image(input, survey.header);
    classify(survey, survey.header);
    if (checked == 0) {
        survey.header_complete = true;
        survey_records(input, block.get(), survey);
    } else if (survey.kind == ImageKind::kBin && input.error == 0) {
        survey.truncated = "the image header";
    }
    set_message_destination(previous);
    // After the image header's line, the first fault's: where the install stops.
    const size_t first_fault = checked == 0 ? 1 : 0;
    if (lines.size() > first_fault) survey.stops_with = lines[first_fault];
    survey.read_error = input.error;
    for (const SurveyedRecord& record : survey.records) survey.out_of_order += record.out_of_order;
    count_checksum_mismatches(survey);
    note_ranges(survey);
    if (survey.ended) count_trailing_bytes(image_fd, survey);
    return 0;
}

int prepare_image(const char* path, uint32_t erasesize, PreparedImage& image) {
    const bool from_stdin = strcmp(path, "-") == 0;
    // The installer's own opening, with its messages.
    std::vector<std::string> refusal;
    const MessageDestination previous = set_message_destination(MessageDestination{&refusal});
    image.fd = open_image(path);
    set_message_destination(previous);
    for (const std::string& line : refusal) print_message("%s\n", line.c_str());
    if (image.fd < 0) {
        image.error = refusal.empty() ? "the image cannot be opened" : refusal.back();
        return -1;
    }
    image.owns_fd = !from_stdin;
    image.error = "the image cannot be read twice";
    off_t at = lseek(image.fd, 0, SEEK_CUR);
    if (at < 0) {
        // A pipe cannot be read twice: keep it in a file nobody else can
        // open, and read that instead.
        FILE* copy = tmpfile();
        const int copy_fd = copy ? dup(fileno(copy)) : -1;
        if (copy) fclose(copy);
        const int copied = copy_fd >= 0 ? copy_all(image.fd, copy_fd) : -1;
        const int copy_error = errno;
        release_image(image);
        image.fd = copy_fd;
        image.owns_fd = copy_fd >= 0;
        image.streamed = true;
        at = 0;
        if (copied != 0) {
            fprintf(stderr, "drimlet-inspect: cannot keep a copy of %s to read it twice: %s\n", path,
                    strerror(copy_error));
            return -1;
        }
        if (lseek(copy_fd, 0, SEEK_SET) != 0) {
            fprintf(stderr, "drimlet-inspect: cannot read back the copy of %s: %s\n", path, strerror(errno));
            return -1;
        }
    }
    survey_image(image.fd, erasesize, image.survey);
    if (lseek(image.fd, at, SEEK_SET) == at) return 0;
    fprintf(stderr, "drimlet-inspect: cannot go back to the start of %s: %s\n", path, strerror(errno));
    return -1;
}

void release_image(PreparedImage& image) {
    if (image.owns_fd) close(image.fd);
    image.fd = -1;
    image.owns_fd = false;
}

std::string describe_record(size_t index, const SurveyedRecord& record) {
    char text[200];
    int used = snprintf(text, sizeof text, "record %zu at 0x%08x, %u bytes, checksum 0x%08x: ", index,
                        record.address, record.length, record.checksum);
    if (!record.complete)
        snprintf(text + used, sizeof text - static_cast<size_t>(used), "the image ends inside its data");
    else if (record.sum == record.checksum)
        snprintf(text + used, sizeof text - static_cast<size_t>(used), "matches");
    else
        snprintf(text + used, sizeof text - static_cast<size_t>(used),
                 "does not match (the data sums to 0x%08x)", record.sum);
    return text;
}
