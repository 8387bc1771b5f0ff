#include "inspect/inspect_report.h"

#include <cstdio>

std::string count_of(uint64_t count, const char* one, const char* many) {
    return format_text("%llu %s", static_cast<unsigned long long>(count), count == 1 ? one : many);
}

void print_block(const char* what, unsigned number, uint64_t block, uint32_t erasesize) {
    printf("  %s %3u -> device block %5llu at 0x%08llx\n", what, number,
           static_cast<unsigned long long>(block), static_cast<unsigned long long>(block) * erasesize);
}

void json_block(JsonWriter& json, uint32_t image_block, uint64_t device_block, uint32_t erasesize) {
    json_begin_object(json);
    json_number(json, "image_block", image_block);
    json_number(json, "device_block", static_cast<int64_t>(device_block));
    json_number(json, "offset", static_cast<int64_t>(device_block * erasesize));
    json_end_object(json);
}

void print_checksum_mismatches(const ImageSurvey& survey, const char* command) {
    if (survey.checksum_mismatches == 0) return;
    for (size_t i = 0; i < survey.records.size(); ++i) {
        const SurveyedRecord& record = survey.records[i];
        if (record.complete && record.sum != record.checksum)
            printf("%s\n", describe_record(i, record).c_str());
    }
    printf("%s: the image is damaged: %u of %s do not match\n", command, survey.checksum_mismatches,
           count_of(survey.records.size(), "record checksum", "record checksums").c_str());
}

void json_checksums(JsonWriter& json, const ImageSurvey& survey) {
    json_number(json, "records", static_cast<int64_t>(survey.records.size()));
    json_begin_array(json, "checksum_mismatches");
    for (size_t i = 0; i < survey.records.size(); ++i) {
        const SurveyedRecord& record = survey.records[i];
        if (!record.complete || record.sum == record.checksum) continue;
        json_begin_object(json);
        json_number(json, "record", static_cast<int64_t>(i));
        json_number(json, "address", record.address);
        json_number(json, "length", record.length);
        json_number(json, "checksum", record.checksum);
        json_number(json, "sum", record.sum);
        json_end_object(json);
    }
    json_end_array(json);
}

std::string describe_not_b000ff(const ImageSurvey& survey, const char* path) {
    switch (survey.kind) {
        case ImageKind::kOtherBin:
            return format_text(
                "%s starts with the signature %s: a Windows CE image of another BIN-family format, not a "
                "B000FF image; drimlet installs only B000FF images",
                path, survey.signature.c_str());
        case ImageKind::kNotBin: {
            std::string bytes;
            for (size_t i = 0; i < survey.first_byte_count; ++i)
                bytes += format_text(i ? " %02x" : "%02x", survey.first_bytes[i]);
            return format_text(
                "%s has no BIN signature (it starts with the bytes %s): it is not a Windows CE BIN image; "
                "drimlet installs only B000FF images",
                path, bytes.c_str());
        }
        case ImageKind::kTooShort:
            return format_text(
                "%s holds only %zu bytes, too few for a BIN signature: it is not a Windows CE BIN image; "
                "drimlet installs only B000FF images",
                path, survey.first_byte_count);
        default: return std::string();
    }
}

int print_json_failure(const char* command, const std::string& error) {
    JsonWriter json;
    json_begin_object(json);
    json_string(json, "command", command);
    json_bool(json, "ok", false);
    json_string(json, "error", error);
    json_end_object(json);
    json_print(json);
    return 1;
}
