// drimlet-inspect plan: the installer's own dry run (run/dry_run.h), the one
// it makes of an image file before it writes: the phases on a device that
// only records what they would erase and write.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/messages.h"
#include "device/recording_device.h"
#include "image/bin_reader.h"
#include "inspect/image_survey.h"
#include "inspect/inspect_commands.h"
#include "inspect/inspect_flash.h"
#include "inspect/inspect_report.h"
#include "inspect/json_writer.h"
#include "run/dry_run.h"
#include "run/flash_run.h"
#include "run/run_sequence.h"
#include "table/partition_table.h"

namespace {

// The installer's phases print their progress as if they had written the
// flash. A plan that would succeed passes those lines on with the two that
// claim a write saying "would be written", so a dry run never claims a write
// and the installer stays as it is. One that would fail prints what the
// installer's check before writing prints.
std::string as_dry_run(const std::string& line) {
    static const char* const kWritten[] = {"Image written", "Partition table written"};
    for (const char* claim : kWritten) {
        const size_t subject = strlen(claim) - strlen(" written");
        if (line.compare(0, strlen(claim), claim) == 0)
            return line.substr(0, subject) + " would be written" + line.substr(strlen(claim));
    }
    return line;
}

std::vector<std::string> as_dry_run(const std::vector<std::string>& kept) {
    std::vector<std::string> lines;
    lines.reserve(kept.size());
    for (const std::string& line : kept) lines.push_back(as_dry_run(line));
    return lines;
}

// Where the loader would find a partition table now: its offset, or -1
// when the block the loader reads does not begin with the magic.
int64_t old_partition_table_offset(InspectFlash& flash, uint64_t search_end) {
    const int64_t offset = find_partition_table_block(flash.device, search_end, flash.info.erasesize);
    uint8_t head[kPartitionTableMagicBytes];
    if (offset < 0 || read_flash(flash, static_cast<uint64_t>(offset), head, sizeof head) != 0) return -1;
    return has_partition_table_magic(head) ? offset : -1;
}

// What the installer would do, and what the plan makes of it.
struct Plan {
    const char* flash_path = nullptr;
    const char* image_path = nullptr;
    uint32_t nonfs_bytes = 0;
    bool ignore_checksums = false;
    DryRun dry;
    PreparedImage image;
    int64_t old_table = -1;
    uint32_t erasesize = 0;
    std::vector<std::string> messages;  // the installer's, as a dry run says them

    // What judge() reads from the recording.
    uint32_t top = 0;
    size_t image_blocks = 0;
    bool would_install = false;
    bool old_table_erased = false;
    bool ok = false;
    std::string failure;
    std::string not_b000ff;
    std::string verdict;
};

// Runs the installer's dry run on `flash`: 0, or -1 when the image cannot
// be opened or read twice (plan.image.error says which).
int record_install(InspectFlash& flash, Plan& plan) {
    FlashRun run;
    run.settings.nonfs_bytes = plan.nonfs_bytes;
    run.settings.mtd_path = plan.flash_path;
    run.settings.image_path = plan.image_path;
    run.settings.ignore_checksums = plan.ignore_checksums;
    run.device = flash.device;
    run.geometry = flash.info;
    run.search_end = partition_table_search_end(run.device, run.geometry);
    plan.old_table = old_partition_table_offset(flash, run.search_end);
    plan.erasesize = run.geometry.erasesize;
    // The installer's refusal before it opens the image, in its words.
    const MessageDestination previous = set_message_destination(MessageDestination{&plan.messages});
    const int fits = check_nonfs_size(run.device, run.geometry, plan.nonfs_bytes);
    set_message_destination(previous);
    if (fits != 0) {
        print_message("%s\n", plan.messages.back().c_str());
        return 0;
    }
    if (prepare_image(plan.image_path, run.geometry.erasesize, plan.image) != 0) return -1;
    const ImageInput image{plan.image.fd};
    if (dry_run_install(run, image, plan.dry) == 0)
        plan.messages = as_dry_run(plan.dry.lines);
    else
        plan.messages = failure_lines(plan.dry);
    plan.dry.recorder.inner = nullptr;  // that was run's copy of the device
    for (const std::string& line : plan.messages) print_message("%s\n", line.c_str());
    release_image(plan.image);
    return 0;
}

std::string verdict_of(const Plan& plan) {
    if (plan.would_install && plan.image.survey.checksum_mismatches == 0)
        return format_text("plan: the install would succeed: %zu image blocks", plan.image_blocks);
    if (plan.would_install)
        return format_text("plan: the install would write %zu image blocks, but the image is damaged",
                           plan.image_blocks);
    return "plan: the install would fail: " + plan.failure;
}

// Reads the recording: what would be written, and whether it would work.
void judge(Plan& plan) {
    const uint32_t erasesize = plan.erasesize;
    const Recorder& device = plan.dry.recorder;
    plan.top = erasesize ? plan.nonfs_bytes / erasesize : 0;
    plan.would_install = plan.dry.reached == InstallPhase::kDone;
    // On success the last write is the partition table page; all others are image blocks.
    plan.image_blocks = device.writes.size() - (plan.would_install ? 1 : 0);
    // Every way the dry run fails ends with the installer's message.
    if (!plan.would_install)
        plan.failure = plan.messages.empty() ? "the install stops" : plan.messages.back();
    plan.not_b000ff = describe_not_b000ff(plan.image.survey, plan.image_path);
    plan.verdict = verdict_of(plan);
    plan.ok = plan.would_install && plan.image.survey.checksum_mismatches == 0;
    // The installer erases an old partition table just before its first
    // erase of an image block, so any recorded erase means it went; unless
    // the install fails its check before writing, as an image file does.
    plan.old_table_erased =
        plan.old_table >= 0 && !device.erases.empty() && (plan.would_install || plan.image.streamed);
}

void json_tables(JsonWriter& json, const Plan& plan) {
    if (plan.would_install) {
        const PlannedWrite& page = plan.dry.recorder.writes.back();
        json_begin_object(json, "partition_table");
        json_number(json, "device_block", static_cast<int64_t>(page.offset / plan.erasesize));
        json_number(json, "offset", static_cast<int64_t>(page.offset));
        json_number(json, "page_size", static_cast<int64_t>(page.size));
        json_end_object(json);
    } else {
        json_null(json, "partition_table");
    }
    if (plan.old_table >= 0) {
        json_begin_object(json, "old_partition_table");
        json_number(json, "device_block", plan.old_table / plan.erasesize);
        json_number(json, "offset", plan.old_table);
        json_bool(json, "would_be_erased", plan.old_table_erased);
        json_end_object(json);
    } else {
        json_null(json, "old_partition_table");
    }
}

void print_json(const Plan& plan) {
    JsonWriter json;
    json_begin_object(json);
    json_string(json, "command", "plan");
    json_string(json, "device", plan.flash_path);
    json_string(json, "image", plan.image_path);
    json_number(json, "nonfs_bytes", plan.nonfs_bytes);
    json_number(json, "top_block", plan.top);
    json_begin_array(json, "image_blocks");
    for (size_t k = 0; k < plan.image_blocks; ++k)
        json_block(json, static_cast<uint32_t>(k), plan.dry.recorder.writes[k].offset / plan.erasesize,
                   plan.erasesize);
    json_end_array(json);
    json_tables(json, plan);
    json_bool(json, "would_install", plan.would_install);
    json_string_or_null(json, "failure", plan.failure);
    json_string_or_null(json, "not_b000ff", plan.not_b000ff);
    json_begin_array(json, "messages");
    for (const std::string& line : plan.messages) json_string(json, nullptr, line);
    json_end_array(json);
    json_checksums(json, plan.image.survey);
    json_string(json, "summary", plan.verdict);
    json_bool(json, "ok", plan.ok);
    json_end_object(json);
    json_print(json);
}

void print_text(const Plan& plan) {
    const uint32_t erasesize = plan.erasesize;
    printf("plan for %s, non-Filesystem partition of %u bytes (blocks 2..%u):\n", plan.flash_path,
           plan.nonfs_bytes, plan.top);
    if (plan.old_table >= 0)
        printf(plan.old_table_erased
                   ? "  old partition table at 0x%08llx (device block %llu) would be erased before the first "
                     "image block\n"
                   : "  old partition table at 0x%08llx (device block %llu) would stay: nothing would be "
                     "erased\n",
               static_cast<unsigned long long>(plan.old_table),
               static_cast<unsigned long long>(plan.old_table / erasesize));
    for (size_t k = 0; k < plan.image_blocks; ++k)
        print_block("image block", static_cast<unsigned>(k), plan.dry.recorder.writes[k].offset / erasesize,
                    erasesize);
    if (plan.would_install) {
        const PlannedWrite& page = plan.dry.recorder.writes.back();
        printf("  partition table -> device block %5llu at 0x%08llx (%llu-byte page)\n",
               static_cast<unsigned long long>(page.offset / erasesize),
               static_cast<unsigned long long>(page.offset), static_cast<unsigned long long>(page.size));
    }
    if (!plan.not_b000ff.empty()) printf("plan: %s\n", plan.not_b000ff.c_str());
    print_checksum_mismatches(plan.image.survey, "plan");
    printf("%s\n", plan.verdict.c_str());
}

}  // namespace

int plan_install(const InspectOptions& options, const char* flash_path, const char* image_path) {
    InspectFlash flash;
    if (open_flash(flash, flash_path, options.dump) != 0)
        return options.json ? print_json_failure("plan", flash.error) : 1;
    Plan plan;
    plan.flash_path = flash_path;
    plan.image_path = image_path;
    plan.nonfs_bytes = options.nonfs_bytes;
    plan.ignore_checksums = options.ignore_checksums;
    const int recorded = record_install(flash, plan);
    close_flash(flash);
    if (recorded != 0) return options.json ? print_json_failure("plan", plan.image.error) : 1;
    judge(plan);
    if (options.json)
        print_json(plan);
    else
        print_text(plan);
    return plan.ok ? 0 : 1;
}
