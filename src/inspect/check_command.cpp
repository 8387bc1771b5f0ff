// drimlet-inspect check: everything about an image that can be known
// without a flash.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "inspect/image_survey.h"
#include "inspect/inspect_commands.h"
#include "inspect/inspect_report.h"
#include "inspect/json_writer.h"
#include "inspect/partition_fit.h"
#include "table/partition_table.h"

namespace {

constexpr uint32_t kDefaultEraseSize = 128 << 10;

const char* installer_message_for(const char* truncated) {
    if (strcmp(truncated, "the image header") == 0) return "Incomplete image header!";
    if (strcmp(truncated, "a record header") == 0) return "Incomplete record header!";
    return "Incomplete data section!";
}

std::vector<std::string> problems_of(const ImageSurvey& survey, bool table_fits, const PartitionFit* fit) {
    std::vector<std::string> problems;
    if (survey.kind != ImageKind::kBin) {
        problems.push_back("not a B000FF image");
        return problems;
    }
    if (survey.checksum_mismatches)
        problems.push_back(
            format_text("%u of %s do not match", survey.checksum_mismatches,
                        count_of(survey.records.size(), "record checksum", "record checksums").c_str()));
    if (survey.out_of_order)
        problems.push_back(count_of(survey.out_of_order, "record", "records") + " out of order");
    if (survey.read_error)
        problems.push_back(format_text("the image cannot be read: %s", strerror(survey.read_error)));
    if (survey.truncated) problems.push_back(format_text("the image ends inside %s", survey.truncated));
    if (!table_fits)
        problems.push_back(format_text("%llu image blocks, the partition table holds %d",
                                       static_cast<unsigned long long>(survey.image_blocks), kTableEntries));
    // Whatever else stops the installer's own reading stops the install.
    if (problems.empty() && !survey.stops_with.empty())
        problems.push_back(format_text("drimlet stops with \"%s\"", survey.stops_with.c_str()));
    if (fit && fit->too_large)
        problems.push_back(
            format_text("the non-Filesystem partition holds %llu erase blocks, drimlet counts at "
                        "most %u",
                        static_cast<unsigned long long>(fit->top), UINT16_MAX));
    else if (fit && survey.image_blocks > fit->room)
        problems.push_back(format_text("%llu image blocks, the non-Filesystem partition has room for %llu",
                                       static_cast<unsigned long long>(survey.image_blocks),
                                       static_cast<unsigned long long>(fit->room)));
    else if (fit && fit->reaches_table)
        problems.push_back(format_text("the image blocks reach down to the partition table block %llu",
                                       static_cast<unsigned long long>(fit->table_block)));
    return problems;
}

std::string join(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i) text += (i ? separator : "") + parts[i];
    return text;
}

void print_records(const ImageSurvey& survey) {
    const uint64_t erase = survey.erasesize;
    for (size_t i = 0; i < survey.records.size(); ++i) {
        const SurveyedRecord& record = survey.records[i];
        printf("  %s\n", describe_record(i, record).c_str());
        if (record.out_of_order) {
            const uint64_t block_start = survey.header.start + record.filled_block * erase;
            printf(
                "    out of order: it starts below image block %llu (from 0x%08llx), which is already being "
                "filled; drimlet stops with \"Record at %08x out of order!\"\n",
                static_cast<unsigned long long>(record.filled_block),
                static_cast<unsigned long long>(block_start), record.address);
        }
    }
    for (const RangeGap& gap : survey.gaps)
        printf("  gap: %llu bytes from 0x%08llx that no record covers (left erased, 0xFF)\n",
               static_cast<unsigned long long>(gap.bytes), static_cast<unsigned long long>(gap.address));
    for (const RangeOverlap& overlap : survey.overlaps)
        printf(
            "  overlap: record %zu at 0x%08llx starts inside record %zu, %llu bytes overlap (the bytes "
            "placed "
            "last win)\n",
            overlap.record, static_cast<unsigned long long>(overlap.address), overlap.other,
            static_cast<unsigned long long>(overlap.bytes));
}

// How the image ends: its end record, or where it stops without one.
void print_ending(const ImageSurvey& survey) {
    if (survey.ended) {
        printf("  end record: entry point 0x%08x", survey.entry_point);
        if (survey.end_checksum != 0) printf(", checksum field 0x%08x (0 expected)", survey.end_checksum);
        printf("\n");
        if (survey.trailing_bytes)
            printf("  %s after the end record (drimlet never reads them)\n",
                   count_of(survey.trailing_bytes, "byte", "bytes").c_str());
    } else if (survey.truncated) {
        printf("  the image ends inside %s, without an end record: drimlet stops with \"%s\"\n",
               survey.truncated, installer_message_for(survey.truncated));
    }
    if (survey.read_error) printf("  reading the image failed: %s\n", strerror(survey.read_error));
    const uint64_t span =
        survey.records_end > survey.header.start ? survey.records_end - survey.header.start : 0;
    if (survey.ended && span != survey.header.length)
        printf("  the header's length is %u, the records span %llu bytes from the start\n",
               survey.header.length, static_cast<unsigned long long>(span));
}

void print_fit(const ImageSurvey& survey, const PartitionFit& fit) {
    printf("non-Filesystem partition of %u bytes (blocks 2..%llu), no bad blocks: ", fit.bytes,
           static_cast<unsigned long long>(fit.top));
    if (fit.too_large)
        printf(
            "too large, drimlet counts at most %u blocks and stops with \"Non-Filesystem partition too "
            "large!\"\n",
            UINT16_MAX);
    else if (survey.image_blocks > fit.room)
        printf("room for %llu image blocks: does not fit\n", static_cast<unsigned long long>(fit.room));
    else if (fit.reaches_table)
        printf(
            "room for %llu image blocks, but they would reach down to block %llu, where the partition "
            "table goes: drimlet stops with \"Image overlaps partition table block at %08llx!\"\n",
            static_cast<unsigned long long>(fit.room), static_cast<unsigned long long>(fit.table_block),
            static_cast<unsigned long long>(fit.table_block) * survey.erasesize);
    else
        printf("room for %llu image blocks: fits\n", static_cast<unsigned long long>(fit.room));
}

void print_text(const ImageSurvey& survey, const char* path, bool table_fits, const PartitionFit* fit,
                const std::string& verdict) {
    if (survey.kind != ImageKind::kBin) {
        printf("check %s: %s\n", path, describe_not_b000ff(survey, path).c_str());
        printf("%s\n", verdict.c_str());
        return;
    }
    if (!survey.header_complete) {
        printf("check %s: B000FF image, but it ends inside the image header: drimlet stops with \"%s\"\n",
               path, installer_message_for(survey.truncated));
        printf("%s\n", verdict.c_str());
        return;
    }
    printf("check %s: B000FF image, start 0x%08x, length %u\n", path, survey.header.start,
           survey.header.length);
    print_records(survey);
    print_ending(survey);
    printf("image blocks: %llu at erase size %u; the partition table holds %d: %s\n",
           static_cast<unsigned long long>(survey.image_blocks), survey.erasesize, kTableEntries,
           table_fits ? "fits" : "does not fit, drimlet stops with \"Image too large for partition table!\"");
    if (fit) print_fit(survey, *fit);
    printf("%s\n", verdict.c_str());
}

// What the file is: its kind, signature, first bytes and header.
void json_kind(JsonWriter& json, const ImageSurvey& survey, const char* path) {
    const char* kind = survey.kind == ImageKind::kBin        ? "B000FF"
                       : survey.kind == ImageKind::kOtherBin ? "other-bin"
                       : survey.kind == ImageKind::kNotBin   ? "not-bin"
                                                             : "too-short";
    json_string(json, "kind", kind);
    json_string_or_null(json, "signature", survey.signature);
    std::string first;
    for (size_t i = 0; i < survey.first_byte_count; ++i) first += format_text("%02x", survey.first_bytes[i]);
    json_string(json, "first_bytes", first);
    json_string_or_null(json, "not_b000ff", describe_not_b000ff(survey, path));
    if (survey.header_complete) {
        json_number(json, "start", survey.header.start);
        json_number(json, "length", survey.header.length);
    } else {
        json_null(json, "start");
        json_null(json, "length");
    }
}

void json_records(JsonWriter& json, const ImageSurvey& survey) {
    json_begin_array(json, "records");
    for (const SurveyedRecord& record : survey.records) {
        json_begin_object(json);
        json_number(json, "address", record.address);
        json_number(json, "length", record.length);
        json_number(json, "checksum", record.checksum);
        json_number(json, "sum", record.sum);
        json_bool(json, "complete", record.complete);
        json_bool(json, "checksum_ok", record.complete && record.sum == record.checksum);
        json_bool(json, "out_of_order", record.out_of_order);
        if (record.out_of_order)
            json_number(json, "filled_block", static_cast<int64_t>(record.filled_block));
        else
            json_null(json, "filled_block");
        json_end_object(json);
    }
    json_end_array(json);
    json_number(json, "checksum_mismatches", survey.checksum_mismatches);
    json_number(json, "out_of_order", survey.out_of_order);
}

void json_ranges(JsonWriter& json, const ImageSurvey& survey) {
    json_begin_array(json, "gaps");
    for (const RangeGap& gap : survey.gaps) {
        json_begin_object(json);
        json_number(json, "address", static_cast<int64_t>(gap.address));
        json_number(json, "bytes", static_cast<int64_t>(gap.bytes));
        json_end_object(json);
    }
    json_end_array(json);
    json_begin_array(json, "overlaps");
    for (const RangeOverlap& overlap : survey.overlaps) {
        json_begin_object(json);
        json_number(json, "record", static_cast<int64_t>(overlap.record));
        json_number(json, "with", static_cast<int64_t>(overlap.other));
        json_number(json, "address", static_cast<int64_t>(overlap.address));
        json_number(json, "bytes", static_cast<int64_t>(overlap.bytes));
        json_end_object(json);
    }
    json_end_array(json);
}

void json_ending(JsonWriter& json, const ImageSurvey& survey) {
    json_bool(json, "end_record", survey.ended);
    if (survey.ended) {
        json_number(json, "entry_point", survey.entry_point);
        json_number(json, "end_record_checksum", survey.end_checksum);
    } else {
        json_null(json, "entry_point");
        json_null(json, "end_record_checksum");
    }
    json_number(json, "trailing_bytes", static_cast<int64_t>(survey.trailing_bytes));
    if (survey.truncated)
        json_string(json, "truncated", survey.truncated);
    else
        json_null(json, "truncated");
    if (survey.read_error)
        json_string(json, "read_error", strerror(survey.read_error));
    else
        json_null(json, "read_error");
    json_number(json, "records_end", static_cast<int64_t>(survey.records_end));
}

void json_fit(JsonWriter& json, const PartitionFit* fit) {
    if (!fit) {
        json_null(json, "nonfs");
        return;
    }
    json_begin_object(json, "nonfs");
    json_number(json, "bytes", fit->bytes);
    json_number(json, "top_block", static_cast<int64_t>(fit->top));
    json_number(json, "room", static_cast<int64_t>(fit->room));
    json_bool(json, "too_large", fit->too_large);
    json_number(json, "table_block", static_cast<int64_t>(fit->table_block));
    json_bool(json, "reaches_table_block", fit->reaches_table);
    json_bool(json, "fits", fit->fits);
    json_end_object(json);
}

void print_json(const ImageSurvey& survey, const char* path, bool table_fits, const PartitionFit* fit,
                const std::vector<std::string>& problems, const std::string& verdict) {
    JsonWriter json;
    json_begin_object(json);
    json_string(json, "command", "check");
    json_string(json, "image", path);
    json_kind(json, survey, path);
    json_records(json, survey);
    json_ranges(json, survey);
    json_ending(json, survey);
    json_number(json, "erase_size", survey.erasesize);
    json_number(json, "image_blocks", static_cast<int64_t>(survey.image_blocks));
    json_number(json, "table_entries", kTableEntries);
    json_bool(json, "fits_table", table_fits);
    json_fit(json, fit);
    json_begin_array(json, "problems");
    for (const std::string& problem : problems) json_string(json, nullptr, problem);
    json_end_array(json);
    json_string(json, "summary", verdict);
    json_bool(json, "ok", problems.empty());
    json_end_object(json);
    json_print(json);
}

}  // namespace

int check_image_file(const InspectOptions& options, const char* image_path) {
    const uint32_t erasesize = options.dump.erasesize ? options.dump.erasesize : kDefaultEraseSize;
    const bool from_stdin = strcmp(image_path, "-") == 0;
    const int fd = from_stdin ? 0 : open(image_path, O_RDONLY);
    if (fd < 0) {
        const std::string error = format_text("cannot open %s: %s", image_path, strerror(errno));
        fprintf(stderr, "drimlet-inspect: %s\n", error.c_str());
        return options.json ? print_json_failure("check", error) : 1;
    }
    ImageSurvey survey;
    const int surveyed = survey_image(fd, erasesize, survey);
    if (!from_stdin) close(fd);
    if (surveyed != 0) {
        fprintf(stderr, "drimlet-inspect: Out of memory!\n");
        return options.json ? print_json_failure("check", "Out of memory!") : 1;
    }

    const bool table_fits = survey.image_blocks <= static_cast<uint64_t>(kTableEntries);
    PartitionFit fit;
    if (options.have_nonfs) fit = fit_partition(options.nonfs_bytes, erasesize, survey.image_blocks);
    const PartitionFit* partition = options.have_nonfs ? &fit : nullptr;
    const std::vector<std::string> problems = problems_of(survey, table_fits, partition);
    std::string verdict;
    if (problems.empty())
        verdict = format_text("check: the image would install: %s, all checksums match, %s",
                              count_of(survey.records.size(), "record", "records").c_str(),
                              count_of(survey.image_blocks, "image block", "image blocks").c_str());
    else
        verdict = "check: the image would not install: " + join(problems, "; ");
    if (options.json)
        print_json(survey, image_path, table_fits, partition, problems, verdict);
    else
        print_text(survey, image_path, table_fits, partition, verdict);
    return problems.empty() ? 0 : 1;
}
