// drimlet-inspect plan: the installer's own phases run on a device that only
// records what they would erase and write.
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/messages.h"
#include "flash/config_block.h"
#include "image/bin_reader.h"
#include "inspect/image_scan.h"
#include "inspect/inspect_commands.h"
#include "inspect/inspect_flash.h"
#include "inspect/inspect_report.h"
#include "inspect/json_writer.h"
#include "inspect/recording_device.h"
#include "run/flash_run.h"
#include "run/run_sequence.h"
#include "run/stream_image.h"
#include "table/partition_table.h"

namespace {

// The installer's phases print their progress as if they had written the
// flash. A plan keeps those lines to itself and passes them on with the two
// that claim a write saying "would be written", so a dry run never claims a
// write and the installer stays as it is.
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

// How far the installer's phases got.
enum Reached { kImageInvalid, kImageBlocks, kPartitionTable, kDone };

// What the installer would do, and what the plan makes of it.
struct Plan {
    const char* flash_path = nullptr;
    const char* image_path = nullptr;
    uint32_t nonfs_bytes = 0;
    Recorder device;
    PreparedImage image;
    int64_t old_table = -1;
    uint32_t erasesize = 0;
    Reached reached = kImageInvalid;
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

// The installer's own phases, in its order, with their messages kept; the
// messages say why a run would fail.
Reached run_phases(FlashRun& run, std::vector<std::string>& kept) {
    const MessageDestination previous = set_message_destination(MessageDestination{&kept});
    Reached reached = kImageInvalid;
    BinImageHeader header;
    BlockTable table;
    if (check_image(run.image_fd, header) == 0) {
        reached = kImageBlocks;
        if (stream_image(run, header, table) >= 0) {
            reached = kPartitionTable;
            if (write_config_block(run.device, run.writes, run.geometry, run.search_end, table) == 0)
                reached = kDone;
        }
    }
    set_message_destination(previous);
    return reached;
}

// Runs the installer on `flash` through the recording device: 0, or -1
// when the image cannot be read twice.
int record_install(InspectFlash& flash, Plan& plan) {
    plan.device.inner = &flash.device;
    FlashRun run;
    run.settings.nonfs_bytes = plan.nonfs_bytes;
    run.settings.mtd_path = plan.flash_path;
    run.settings.image_path = plan.image_path;
    run.device = recording_device(plan.device);
    run.geometry = flash.info;
    run.search_end = partition_table_search_end(run.device, run.geometry);
    run.block_buffer.reset(new (std::nothrow) uint8_t[run.geometry.erasesize]);
    plan.old_table = old_partition_table_offset(flash, run.search_end);
    plan.erasesize = run.geometry.erasesize;
    if (!run.block_buffer || prepare_image(plan.image_path, run.geometry.erasesize, plan.image) != 0) {
        if (!run.block_buffer) print_message("Out of memory!\n");
        return -1;
    }
    run.image_fd = plan.image.fd;
    std::vector<std::string> kept;
    plan.reached = run_phases(run, kept);
    plan.messages = as_dry_run(kept);
    for (const std::string& line : plan.messages) print_message("%s\n", line.c_str());
    release_image(plan.image);
    return 0;
}

std::string verdict_of(const Plan& plan, bool exhausted) {
    if (plan.would_install && plan.image.scan.checksum_mismatches == 0)
        return format_text("plan: the install would succeed: %zu image blocks", plan.image_blocks);
    if (plan.would_install)
        return format_text("plan: the install would write %zu image blocks, but the image is damaged",
                           plan.image_blocks);
    if (plan.reached == kImageInvalid)
        return "plan: the install would fail: the image cannot be read (the reason is on standard error)";
    if (exhausted) return "plan: the install would fail: " + plan.failure;
    return format_text(
        "plan: the install would fail after %zu image blocks (the reason is on standard error)",
        plan.image_blocks);
}

// Reads the recording: what would be written, and whether it would work.
void judge(Plan& plan) {
    const uint32_t erasesize = plan.erasesize;
    const Recorder& device = plan.device;
    plan.top = erasesize ? plan.nonfs_bytes / erasesize : 0;
    plan.would_install = plan.reached == kDone;
    // On success the last write is the partition table page; all others are image blocks.
    plan.image_blocks = device.writes.size() - (plan.would_install ? 1 : 0);
    // The allocator gives up without a message when it reaches block 1 (or
    // starts at 0); every other failure has printed its reason.
    const bool exhausted = plan.reached == kImageBlocks && erasesize &&
                           (plan.top == 0 || (!device.queries.empty() && device.queries.back() == erasesize));
    if (plan.reached == kImageInvalid)
        plan.failure = "the image cannot be read";
    else if (exhausted)
        plan.failure = format_text("no good block left in the non-Filesystem partition for image block %zu",
                                   plan.image_blocks);
    else if (!plan.would_install)
        plan.failure = format_text("the installer stops after %zu image blocks", plan.image_blocks);
    plan.not_b000ff = describe_not_b000ff(plan.image.scan, plan.image_path);
    plan.verdict = verdict_of(plan, exhausted);
    plan.ok = plan.would_install && plan.image.scan.checksum_mismatches == 0;
    // The installer erases an old partition table just before its first
    // erase of an image block, so any recorded erase means it went.
    plan.old_table_erased = plan.old_table >= 0 && !device.erases.empty();
}

void json_tables(JsonWriter& json, const Plan& plan) {
    if (plan.would_install) {
        const PlannedWrite& page = plan.device.writes.back();
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
        json_block(json, static_cast<uint32_t>(k), plan.device.writes[k].offset / plan.erasesize,
                   plan.erasesize);
    json_end_array(json);
    json_tables(json, plan);
    json_bool(json, "would_install", plan.would_install);
    json_string_or_null(json, "failure", plan.failure);
    json_string_or_null(json, "not_b000ff", plan.not_b000ff);
    json_begin_array(json, "messages");
    for (const std::string& line : plan.messages) json_string(json, nullptr, line);
    json_end_array(json);
    json_checksums(json, plan.image.scan);
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
        print_block("image block", static_cast<unsigned>(k), plan.device.writes[k].offset / erasesize,
                    erasesize);
    if (plan.would_install) {
        const PlannedWrite& page = plan.device.writes.back();
        printf("  partition table -> device block %5llu at 0x%08llx (%llu-byte page)\n",
               static_cast<unsigned long long>(page.offset / erasesize),
               static_cast<unsigned long long>(page.offset), static_cast<unsigned long long>(page.size));
    }
    if (!plan.not_b000ff.empty()) printf("plan: %s\n", plan.not_b000ff.c_str());
    print_checksum_mismatches(plan.image.scan, "plan");
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
    const int recorded = record_install(flash, plan);
    close_flash(flash);
    if (recorded != 0) return options.json ? print_json_failure("plan", "the image cannot be read twice") : 1;
    judge(plan);
    if (options.json)
        print_json(plan);
    else
        print_text(plan);
    return plan.ok ? 0 : 1;
}
