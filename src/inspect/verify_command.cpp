// drimlet-inspect verify: whether the flash holds exactly the image, block
// for block, and the partition table page the installer writes for it.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/messages.h"
#include "inspect/block_comparison.h"
#include "inspect/image_survey.h"
#include "inspect/inspect_commands.h"
#include "inspect/inspect_flash.h"
#include "inspect/inspect_report.h"
#include "inspect/json_writer.h"
#include "table/partition_table.h"

namespace {

// What verify found beyond the blocks themselves, and its answer.
struct Outcome {
    uint32_t image_blocks = 0;
    uint32_t listed = 0;    // image blocks the partition table lists
    uint32_t compared = 0;  // the fewer of the two
    bool page_matches = false;
    EccCount table_ecc;
    std::vector<std::string> lines;  // every finding, in order
    std::vector<std::string> warnings;
    std::string summary;
    bool ok = false;
};

// The whole partition table block: the page the installer writes for this
// table, the rest of the block erased. 0, or -1 when it cannot be read.
int check_table_block(Verifier& verifier, Outcome& outcome) {
    const FoundTable& found = verifier.found;
    std::vector<uint8_t> expected(found.page.size());
    encode_partition_table_page(found.table, expected.data(), expected.size());
    const uint32_t erasesize = verifier.erasesize;
    // The image blocks are done with the verifier's block: the table's
    // block takes its place, unless its page is larger than an erase block.
    std::vector<uint8_t> larger(erasesize < found.page.size() ? found.page.size() : 0);
    uint8_t* table_block = larger.empty() ? verifier.device_block.get() : larger.data();
    const size_t size = larger.empty() ? erasesize : larger.size();
    if (read_flash_watched(verifier.flash, verifier.ecc, found.offset, table_block, size,
                           outcome.table_ecc) != 0)
        return -1;
    bool page_matches = std::equal(expected.begin(), expected.end(), table_block);
    for (size_t i = expected.size(); i < size; ++i) page_matches = page_matches && table_block[i] == 0xFF;
    outcome.page_matches = page_matches;
    return 0;
}

void note_findings(const Verifier& verifier, Outcome& outcome) {
    outcome.lines = verifier.lines;
    const std::string table_where = format_text("partition table block at 0x%08llx",
                                                static_cast<unsigned long long>(verifier.found.offset));
    note_ecc(outcome.lines, table_where, outcome.table_ecc);
    if (outcome.image_blocks != outcome.listed)
        outcome.lines.push_back(format_text("partition table lists %u image blocks, the image has %u",
                                            outcome.listed, outcome.image_blocks));
    if (!outcome.page_matches)
        outcome.lines.push_back(table_where + " differs from the page the installer writes");
    const std::string geometry = geometry_warning(verifier.flash, verifier.found.offset,
                                                  verifier.found.table.table_count, verifier.misplaced);
    if (!geometry.empty()) outcome.warnings.push_back("verify: " + geometry);
    if (verifier.ecc.total.corrected)
        outcome.warnings.push_back(format_text(
            "verify: warning: %s in %s: ECC corrected them, but worn blocks may fail later",
            count_of(verifier.ecc.total.corrected, "corrected bitflip", "corrected bitflips").c_str(),
            count_of(verifier.ecc.blocks_corrected, "block", "blocks").c_str()));
}

std::string mismatching_checksums(const ImageSurvey& survey) {
    return format_text("%u of %s", survey.checksum_mismatches,
                       count_of(survey.records.size(), "record checksum", "record checksums").c_str());
}

// "verify: N of M image blocks differ", and every other way the flash
// differs from the image.
std::string difference_summary(const Verifier& verifier, const ImageSurvey& survey, const Outcome& outcome) {
    std::string summary =
        format_text("verify: %u of %u image blocks differ", verifier.differing, outcome.compared);
    if (outcome.image_blocks > outcome.listed)
        summary += ", and the image has " +
                   count_of(outcome.image_blocks - outcome.listed, "image block", "image blocks") +
                   " the partition table does not list";
    if (outcome.listed > outcome.image_blocks)
        summary += ", and the partition table lists " +
                   count_of(outcome.listed - outcome.image_blocks, "image block", "image blocks") +
                   " the image does not have";
    if (!outcome.page_matches) summary += ", and the partition table block differs";
    if (verifier.ecc.blocks_failed)
        summary += ", and " + count_of(verifier.ecc.blocks_failed, "block was", "blocks were") +
                   " read with uncorrectable ECC errors";
    if (survey.checksum_mismatches)
        summary += ", and " + mismatching_checksums(survey) + " in the image do not match";
    return summary;
}

void conclude(const Verifier& verifier, const ImageSurvey& survey, Outcome& outcome) {
    outcome.compared = std::min(outcome.image_blocks, outcome.listed);
    const bool blocks_match =
        verifier.differing == 0 && outcome.image_blocks == outcome.listed && outcome.page_matches;
    // Blocks a dump's wrong geometry puts past its end or on erased flash
    // differ from the image: such a verify fails, with the warning.
    outcome.ok = blocks_match && verifier.ecc.blocks_failed == 0 && survey.checksum_mismatches == 0;
    if (!blocks_match || verifier.ecc.blocks_failed) {
        outcome.summary = difference_summary(verifier, survey, outcome);
        return;
    }
    outcome.summary =
        format_text("verify: all %u image blocks and the partition table match", outcome.image_blocks);
    if (survey.checksum_mismatches)
        outcome.summary += ", but the image is damaged: " + mismatching_checksums(survey) + " do not match";
}

void json_ecc(JsonWriter& json, const EccCount& ecc) {
    json_number(json, "corrected_bitflips", static_cast<int64_t>(ecc.corrected));
    json_number(json, "ecc_failures", static_cast<int64_t>(ecc.failed));
}

void json_block_checks(JsonWriter& json, const Verifier& verifier) {
    json_begin_array(json, "blocks");
    for (size_t k = 0; k < verifier.blocks.size(); ++k) {
        const BlockCheck& check = verifier.blocks[k];
        json_begin_object(json);
        json_number(json, "image_block", static_cast<int64_t>(k));
        if (check.status == BlockCheck::kNotListed) {
            json_null(json, "device_block");
            json_null(json, "offset");
        } else {
            json_number(json, "device_block", static_cast<int64_t>(check.device_block));
            json_number(json, "offset", static_cast<int64_t>(check.device_block * verifier.erasesize));
        }
        json_string(json, "status", status_name(check.status));
        json_number(json, "differing_bytes", static_cast<int64_t>(check.differing_bytes));
        if (check.status == BlockCheck::kDiffer)
            json_number(json, "first_difference", static_cast<int64_t>(check.first_difference));
        else
            json_null(json, "first_difference");
        json_ecc(json, check.ecc);
        json_end_object(json);
    }
    json_end_array(json);
}

void json_ecc_watch(JsonWriter& json, const EccWatch& ecc) {
    json_begin_object(json, "ecc");
    json_bool(json, "available", ecc.available);
    json_string_or_null(json, "note", ecc.note);
    json_ecc(json, ecc.total);
    json_number(json, "blocks_with_bitflips", ecc.blocks_corrected);
    json_number(json, "blocks_with_ecc_failures", ecc.blocks_failed);
    json_end_object(json);
}

void json_lines(JsonWriter& json, const char* key, const std::vector<std::string>& lines) {
    json_begin_array(json, key);
    for (const std::string& line : lines) json_string(json, nullptr, line);
    json_end_array(json);
}

void print_json(const Verifier& verifier, const ImageSurvey& survey, const Outcome& outcome,
                const char* flash_path, const char* image_path) {
    const uint32_t image_blocks = outcome.image_blocks, listed = outcome.listed;
    JsonWriter json;
    json_begin_object(json);
    json_string(json, "command", "verify");
    json_string(json, "device", flash_path);
    json_string(json, "image", image_path);
    json_begin_object(json, "partition_table");
    json_number(json, "device_block", static_cast<int64_t>(verifier.found.offset / verifier.erasesize));
    json_number(json, "offset", static_cast<int64_t>(verifier.found.offset));
    json_bool(json, "matches", outcome.page_matches);
    json_ecc(json, outcome.table_ecc);
    json_end_object(json);
    json_number(json, "table_count", listed);
    json_number(json, "image_block_count", image_blocks);
    json_number(json, "compared", outcome.compared);
    json_number(json, "differing", verifier.differing);
    json_number(json, "image_blocks_not_listed", image_blocks > listed ? image_blocks - listed : 0);
    json_number(json, "table_entries_beyond_image", listed > image_blocks ? listed - image_blocks : 0);
    json_block_checks(json, verifier);
    json_ecc_watch(json, verifier.ecc);
    json_checksums(json, survey);
    json_lines(json, "findings", outcome.lines);
    json_lines(json, "warnings", outcome.warnings);
    json_string(json, "summary", outcome.summary);
    json_bool(json, "ok", outcome.ok);
    json_end_object(json);
    json_print(json);
}

void print_text(const ImageSurvey& survey, const Outcome& outcome) {
    for (const std::string& line : outcome.lines) printf("%s\n", line.c_str());
    print_checksum_mismatches(survey, "verify");
    for (const std::string& line : outcome.warnings) printf("%s\n", line.c_str());
    printf("%s\n", outcome.summary.c_str());
}

// The image could not be laid out, or the flash could not be read, part way.
int report_stop(const InspectOptions& options, const Verifier& verifier, const ImageSurvey& survey) {
    const std::string error =
        verifier.flash.error.empty() ? "the image could not be laid out" : verifier.flash.error;
    if (options.json) return print_json_failure("verify", error);
    for (const std::string& line : verifier.lines) printf("%s\n", line.c_str());
    print_checksum_mismatches(survey, "verify");
    printf("verify: the image could not be laid out\n");
    return 1;
}

// Compares the flash with the image and answers: the exit status. The
// image is read once, from its file or standard input, as it is laid out.
int verify_found(const InspectOptions& options, Verifier& verifier, const char* flash_path,
                 const char* image_path) {
    const bool from_stdin = strcmp(image_path, "-") == 0;
    const int image_fd = from_stdin ? STDIN_FILENO : open(image_path, O_RDONLY | O_CLOEXEC);
    if (image_fd < 0) {
        const std::string error = format_text("cannot open %s: %s", image_path, strerror(errno));
        close_flash(verifier.flash);
        print_message("drimlet-inspect: %s\n", error.c_str());
        return options.json ? print_json_failure("verify", error) : 1;
    }
    ImageSurvey survey;
    const int laid_out = verifier.device_block ? compare_image(verifier, image_fd, survey) : -1;
    if (!verifier.device_block) print_message("Out of memory!\n");
    clear_progress_line();
    if (image_fd >= 0 && !from_stdin) close(image_fd);
    if (laid_out < 0) {
        close_flash(verifier.flash);
        return report_stop(options, verifier, survey);
    }
    Outcome outcome;
    outcome.image_blocks = static_cast<uint32_t>(laid_out);
    outcome.listed = verifier.found.table.table_count;
    const int table_read = check_table_block(verifier, outcome);
    close_flash(verifier.flash);
    if (table_read != 0) return options.json ? print_json_failure("verify", verifier.flash.error) : 1;
    note_findings(verifier, outcome);
    conclude(verifier, survey, outcome);
    if (options.json)
        print_json(verifier, survey, outcome, flash_path, image_path);
    else
        print_text(survey, outcome);
    return outcome.ok ? 0 : 1;
}

}  // namespace

int verify_install(const InspectOptions& options, const char* flash_path, const char* image_path) {
    InspectFlash flash;
    if (open_flash(flash, flash_path, options.dump) != 0)
        return options.json ? print_json_failure("verify", flash.error) : 1;
    FoundTable found;
    if (find_partition_table(flash, found) != 0) {
        close_flash(flash);
        return options.json ? print_json_failure("verify", flash.error) : 1;
    }
    const uint32_t erasesize = flash.info.erasesize;
    Verifier verifier{flash,
                      found,
                      erasesize,
                      !options.json && enable_progress_line(),
                      std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[erasesize]),
                      {},
                      {},
                      {},
                      0,
                      {}};
    return verify_found(options, verifier, flash_path, image_path);
}
