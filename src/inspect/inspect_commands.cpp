#include "inspect/inspect_commands.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "common/messages.h"
#include "flash/config_block.h"
#include "image/bin_reader.h"
#include "image/block_assembler.h"
#include "inspect/image_scan.h"
#include "inspect/inspect_flash.h"
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

void json_block(JsonWriter& json, uint32_t image_block, uint64_t device_block, uint32_t erasesize) {
    json_begin_object(json);
    json_number(json, "image_block", image_block);
    json_number(json, "device_block", static_cast<int64_t>(device_block));
    json_number(json, "offset", static_cast<int64_t>(device_block * erasesize));
    json_end_object(json);
}

}  // namespace

namespace {
// Where the loader would find a partition table now: its offset, or -1
// when the block the loader reads does not begin with the magic.
int64_t old_partition_table_offset(InspectFlash& flash, uint64_t search_end) {
    const int64_t offset = find_partition_table_block(flash.device, search_end, flash.info.erasesize);
    uint8_t head[kPartitionTableMagicBytes];
    if (offset < 0 || read_flash(flash, static_cast<uint64_t>(offset), head, sizeof head) != 0) return -1;
    return has_partition_table_magic(head) ? offset : -1;
}
}  // namespace

int plan_install(const InspectOptions& options, const char* flash_path, const char* image_path) {
    InspectFlash flash;
    if (open_flash(flash, flash_path, options.dump) != 0)
        return options.json ? print_json_failure("plan", flash.error) : 1;
    const uint32_t nonfs_bytes = options.nonfs_bytes;
    Recorder device;
    device.inner = &flash.device;
    FlashRun run;
    run.settings.nonfs_bytes = nonfs_bytes;
    run.settings.mtd_path = flash_path;
    run.settings.image_path = image_path;
    run.device = recording_device(device);
    run.geometry = flash.info;
    run.search_end = partition_table_search_end(run.device, run.geometry);
    run.block_buffer.reset(new (std::nothrow) uint8_t[run.geometry.erasesize]);
    const int64_t old_table = old_partition_table_offset(flash, run.search_end);
    PreparedImage image;
    if (!run.block_buffer || prepare_image(image_path, run.geometry.erasesize, image) != 0) {
        if (!run.block_buffer) print_message("Out of memory!\n");
        close_flash(flash);
        return options.json ? print_json_failure("plan", "the image cannot be read twice") : 1;
    }
    run.image_fd = image.fd;
    std::vector<std::string> kept;
    const MessageDestination previous = set_message_destination(MessageDestination{&kept});
    // The installer's own phases, in its order, on a device that only records
    // what they would erase and write; their messages say why a run would fail.
    enum { kImageInvalid, kImageBlocks, kPartitionTable, kDone } reached = kImageInvalid;
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
    const std::vector<std::string> messages = as_dry_run(kept);
    for (const std::string& line : messages) print_message("%s\n", line.c_str());
    const bool would_install = reached == kDone;
    release_image(image);
    close_flash(flash);

    const ImageScan& scan = image.scan;
    const uint32_t erasesize = run.geometry.erasesize;
    const uint32_t top = erasesize ? nonfs_bytes / erasesize : 0;
    // On success the last write is the partition table page; all others are image blocks.
    const size_t image_blocks = device.writes.size() - (would_install ? 1 : 0);
    // The allocator gives up without a message when it reaches block 1 (or
    // starts at 0); every other failure has printed its reason.
    const bool exhausted = reached == kImageBlocks && erasesize &&
                           (top == 0 || (!device.queries.empty() && device.queries.back() == erasesize));
    std::string failure;
    if (reached == kImageInvalid)
        failure = "the image cannot be read";
    else if (exhausted)
        failure = format_text("no good block left in the non-Filesystem partition for image block %zu",
                              image_blocks);
    else if (!would_install)
        failure = format_text("the installer stops after %zu image blocks", image_blocks);
    const std::string not_b000ff = describe_not_b000ff(scan, image_path);
    std::string verdict;
    if (would_install && scan.checksum_mismatches == 0)
        verdict = format_text("plan: the install would succeed: %zu image blocks", image_blocks);
    else if (would_install)
        verdict = format_text("plan: the install would write %zu image blocks, but the image is damaged",
                              image_blocks);
    else if (reached == kImageInvalid)
        verdict = "plan: the install would fail: the image cannot be read (the reason is on standard error)";
    else if (exhausted)
        verdict = "plan: the install would fail: " + failure;
    else
        verdict = format_text(
            "plan: the install would fail after %zu image blocks (the reason is on standard error)",
            image_blocks);
    const bool ok = would_install && scan.checksum_mismatches == 0;
    // The installer erases an old partition table just before its first
    // erase of an image block, so any recorded erase means it went.
    const bool old_table_erased = old_table >= 0 && !device.erases.empty();

    if (options.json) {
        JsonWriter json;
        json_begin_object(json);
        json_string(json, "command", "plan");
        json_string(json, "device", flash_path);
        json_string(json, "image", image_path);
        json_number(json, "nonfs_bytes", nonfs_bytes);
        json_number(json, "top_block", top);
        json_begin_array(json, "image_blocks");
        for (size_t k = 0; k < image_blocks; ++k)
            json_block(json, static_cast<uint32_t>(k), device.writes[k].offset / erasesize, erasesize);
        json_end_array(json);
        if (would_install) {
            const PlannedWrite& page = device.writes.back();
            json_begin_object(json, "partition_table");
            json_number(json, "device_block", static_cast<int64_t>(page.offset / erasesize));
            json_number(json, "offset", static_cast<int64_t>(page.offset));
            json_number(json, "page_size", static_cast<int64_t>(page.size));
            json_end_object(json);
        } else {
            json_null(json, "partition_table");
        }
        if (old_table >= 0) {
            json_begin_object(json, "old_partition_table");
            json_number(json, "device_block", old_table / erasesize);
            json_number(json, "offset", old_table);
            json_bool(json, "would_be_erased", old_table_erased);
            json_end_object(json);
        } else {
            json_null(json, "old_partition_table");
        }
        json_bool(json, "would_install", would_install);
        if (failure.empty())
            json_null(json, "failure");
        else
            json_string(json, "failure", failure);
        if (not_b000ff.empty())
            json_null(json, "not_b000ff");
        else
            json_string(json, "not_b000ff", not_b000ff);
        json_begin_array(json, "messages");
        for (const std::string& line : messages) json_string(json, nullptr, line);
        json_end_array(json);
        json_checksums(json, scan);
        json_string(json, "summary", verdict);
        json_bool(json, "ok", ok);
        json_end_object(json);
        json_print(json);
        return ok ? 0 : 1;
    }

    printf("plan for %s, non-Filesystem partition of %u bytes (blocks 2..%u):\n", flash_path, nonfs_bytes,
           top);
    if (old_table >= 0)
        printf(old_table_erased
                   ? "  old partition table at 0x%08llx (device block %llu) would be erased before the first "
                     "image block\n"
                   : "  old partition table at 0x%08llx (device block %llu) would stay: nothing would be "
                     "erased\n",
               static_cast<unsigned long long>(old_table),
               static_cast<unsigned long long>(old_table / erasesize));
    for (size_t k = 0; k < image_blocks; ++k)
        print_block("image block", static_cast<unsigned>(k), device.writes[k].offset / erasesize, erasesize);
    if (would_install) {
        const PlannedWrite& page = device.writes.back();
        printf("  partition table -> device block %5llu at 0x%08llx (%llu-byte page)\n",
               static_cast<unsigned long long>(page.offset / erasesize),
               static_cast<unsigned long long>(page.offset), static_cast<unsigned long long>(page.size));
    }
    if (!not_b000ff.empty()) printf("plan: %s\n", not_b000ff.c_str());
    print_checksum_mismatches(scan, "plan");
    printf("%s\n", verdict.c_str());
    return ok ? 0 : 1;
}

int show_partition_table(const InspectOptions& options, const char* flash_path) {
    InspectFlash flash;
    if (open_flash(flash, flash_path, options.dump) != 0)
        return options.json ? print_json_failure("show", flash.error) : 1;
    FoundTable found;
    const int result = find_partition_table(flash, found);
    close_flash(flash);
    if (result != 0) return options.json ? print_json_failure("show", flash.error) : 1;
    const uint32_t erasesize = flash.info.erasesize;
    const uint64_t table_block = found.offset / erasesize;
    if (options.json) {
        JsonWriter json;
        json_begin_object(json);
        json_string(json, "command", "show");
        json_string(json, "device", flash_path);
        json_begin_object(json, "partition_table");
        json_number(json, "device_block", static_cast<int64_t>(table_block));
        json_number(json, "offset", static_cast<int64_t>(found.offset));
        json_end_object(json);
        json_begin_array(json, "image_blocks");
        for (uint32_t k = 0; k < found.table.table_count; ++k)
            json_block(json, k, found.table.entries[k], erasesize);
        json_end_array(json);
        json_number(json, "count", found.table.table_count);
        json_bool(json, "ok", true);
        json_end_object(json);
        json_print(json);
        return 0;
    }
    printf("partition table at 0x%08llx (device block %llu):\n",
           static_cast<unsigned long long>(found.offset), static_cast<unsigned long long>(table_block));
    for (uint32_t k = 0; k < found.table.table_count; ++k)
        print_block("image block", k, found.table.entries[k], erasesize);
    printf("%u image blocks\n", found.table.table_count);
    return 0;
}

namespace {

struct BlockCheck {
    enum Status { kMatch, kDiffer, kPastEnd, kNotListed } status = kMatch;
    uint64_t device_block = 0;
    size_t differing_bytes = 0;
    size_t first_difference = 0;
    EccCount ecc;
};

struct Verifier {
    InspectFlash& flash;
    const FoundTable& found;
    uint32_t erasesize;
    bool terminal;
    std::unique_ptr<uint8_t[]> device_block;
    EccWatch ecc;
    std::vector<BlockCheck> blocks;
    std::vector<std::string> lines;  // the per-block findings, in order
    uint32_t differing = 0;          // among the blocks the partition table lists
};

std::string where(uint32_t k, uint64_t device_block, uint64_t offset) {
    return format_text("image block %u (device block %llu at 0x%08llx)", k,
                       static_cast<unsigned long long>(device_block),
                       static_cast<unsigned long long>(offset));
}

void note_ecc(std::vector<std::string>& lines, const std::string& what, const EccCount& ecc) {
    if (ecc.corrected)
        lines.push_back(
            format_text("%s: %s (ECC corrected them: a warning)", what.c_str(),
                        count_of(ecc.corrected, "corrected bitflip", "corrected bitflips").c_str()));
    if (ecc.failed)
        lines.push_back(
            format_text("%s: %s: the data read may not be what was written", what.c_str(),
                        count_of(ecc.failed, "uncorrectable ECC error", "uncorrectable ECC errors").c_str()));
}

// Compares image block `k`, laid out in `block`, with the device block the
// table names: 0, or -1 when the flash cannot be read.
int compare_block(Verifier& v, uint32_t k, const uint8_t* block) {
    BlockCheck check;
    if (k >= v.found.table.table_count) {
        check.status = BlockCheck::kNotListed;
        v.lines.push_back(format_text("image block %u: not in the partition table", k));
        v.blocks.push_back(check);
        return 0;
    }
    check.device_block = v.found.table.entries[k];
    const uint64_t offset = check.device_block * v.erasesize;
    if (offset + v.erasesize > v.flash.size) {
        check.status = BlockCheck::kPastEnd;
        v.lines.push_back(
            format_text("image block %u: the partition table names device block %llu, past the end of "
                        "the flash",
                        k, static_cast<unsigned long long>(check.device_block)));
        ++v.differing;
        v.blocks.push_back(check);
        return 0;
    }
    if (read_flash_watched(v.flash, v.ecc, offset, v.device_block.get(), v.erasesize, check.ecc) != 0)
        return -1;
    size_t first = v.erasesize, count = 0;
    for (size_t i = 0; i < v.erasesize; ++i) {
        if (block[i] == v.device_block[i]) continue;
        if (first == v.erasesize) first = i;
        ++count;
    }
    const std::string here = where(k, check.device_block, offset);
    if (count) {
        check.status = BlockCheck::kDiffer;
        check.differing_bytes = count;
        check.first_difference = first;
        v.lines.push_back(
            format_text("%s: %zu bytes differ, the first at offset 0x%zx", here.c_str(), count, first));
        ++v.differing;
    }
    note_ecc(v.lines, here, check.ecc);
    v.blocks.push_back(check);
    // The same lines a log gets, and on a terminal a count drawn in place
    // between them.
    if ((k + 1) % 64 == 0) print_message("verified %u image blocks\n", k + 1);
    if (v.terminal)
        show_progress_line(
            format_text("verified %u of %u image blocks", k + 1, v.found.table.table_count).c_str());
    return 0;
}

// Lays the image out and compares every block: the number of image blocks,
// or -1 when the image cannot be laid out or the flash cannot be read.
int compare_image(Verifier& verifier, int image_fd) {
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[verifier.erasesize]);
    if (!block) {
        print_message("Out of memory!\n");
        return -1;
    }
    BinImageHeader header;
    if (check_image(image_fd, header) != 0) return -1;
    BlockAssembler assembler;
    init_assembler(assembler, image_fd, block.get(), verifier.erasesize, header);
    int ready;
    while ((ready = next_image_block(assembler)) == 1)
        if (compare_block(verifier, assembler.blocks - 1, assembler.block) != 0) return -1;
    return ready < 0 ? -1 : static_cast<int>(assembler.blocks);
}

const char* status_name(BlockCheck::Status status) {
    switch (status) {
        case BlockCheck::kMatch: return "match";
        case BlockCheck::kDiffer: return "differ";
        case BlockCheck::kPastEnd: return "past-end";
        default: return "not-listed";
    }
}

void json_ecc(JsonWriter& json, const EccCount& ecc) {
    json_number(json, "corrected_bitflips", static_cast<int64_t>(ecc.corrected));
    json_number(json, "ecc_failures", static_cast<int64_t>(ecc.failed));
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
                      0};
    PreparedImage image;
    if (!verifier.device_block || prepare_image(image_path, erasesize, image) != 0) {
        if (!verifier.device_block) print_message("Out of memory!\n");
        close_flash(flash);
        return options.json ? print_json_failure("verify", "the image cannot be read twice") : 1;
    }
    const ImageScan& scan = image.scan;
    const int laid_out = compare_image(verifier, image.fd);
    clear_progress_line();
    release_image(image);
    if (laid_out < 0) {
        close_flash(flash);
        const std::string error = flash.error.empty() ? "the image could not be laid out" : flash.error;
        if (options.json) return print_json_failure("verify", error);
        for (const std::string& line : verifier.lines) printf("%s\n", line.c_str());
        print_checksum_mismatches(scan, "verify");
        printf("verify: the image could not be laid out\n");
        return 1;
    }
    const uint32_t image_blocks = static_cast<uint32_t>(laid_out);
    const uint32_t listed = found.table.table_count;

    // The whole partition table block: the page the installer writes for
    // this table, the rest of the block erased.
    std::vector<uint8_t> expected(found.page.size());
    encode_partition_table_page(found.table, expected.data(), expected.size());
    std::vector<uint8_t> table_block(erasesize > found.page.size() ? erasesize : found.page.size());
    EccCount table_ecc;
    if (read_flash_watched(flash, verifier.ecc, found.offset, table_block.data(), table_block.size(),
                           table_ecc) != 0) {
        close_flash(flash);
        return options.json ? print_json_failure("verify", flash.error) : 1;
    }
    close_flash(flash);
    bool page_matches = std::equal(expected.begin(), expected.end(), table_block.begin());
    for (size_t i = expected.size(); i < table_block.size(); ++i)
        page_matches = page_matches && table_block[i] == 0xFF;

    std::vector<std::string> lines = verifier.lines;
    const std::string table_where =
        format_text("partition table block at 0x%08llx", static_cast<unsigned long long>(found.offset));
    note_ecc(lines, table_where, table_ecc);
    if (image_blocks != listed)
        lines.push_back(
            format_text("partition table lists %u image blocks, the image has %u", listed, image_blocks));
    if (!page_matches) lines.push_back(table_where + " differs from the page the installer writes");
    std::vector<std::string> warnings;
    if (verifier.ecc.total.corrected)
        warnings.push_back(format_text(
            "verify: warning: %s in %s: ECC corrected them, but worn blocks may fail later",
            count_of(verifier.ecc.total.corrected, "corrected bitflip", "corrected bitflips").c_str(),
            count_of(verifier.ecc.blocks_corrected, "block", "blocks").c_str()));

    const uint32_t compared = image_blocks < listed ? image_blocks : listed;
    const bool blocks_match = verifier.differing == 0 && image_blocks == listed && page_matches;
    const bool ok = blocks_match && verifier.ecc.blocks_failed == 0 && scan.checksum_mismatches == 0;
    std::string summary;
    if (blocks_match && verifier.ecc.blocks_failed == 0) {
        summary = format_text("verify: all %u image blocks and the partition table match", image_blocks);
        if (scan.checksum_mismatches)
            summary +=
                format_text(", but the image is damaged: %u of %s do not match", scan.checksum_mismatches,
                            count_of(scan.records.size(), "record checksum", "record checksums").c_str());
    } else {
        summary = format_text("verify: %u of %u image blocks differ", verifier.differing, compared);
        if (image_blocks > listed)
            summary += ", and the image has " +
                       count_of(image_blocks - listed, "image block", "image blocks") +
                       " the partition table does not list";
        if (listed > image_blocks)
            summary += ", and the partition table lists " +
                       count_of(listed - image_blocks, "image block", "image blocks") +
                       " the image does not have";
        if (!page_matches) summary += ", and the partition table block differs";
        if (verifier.ecc.blocks_failed)
            summary += ", and " + count_of(verifier.ecc.blocks_failed, "block was", "blocks were") +
                       " read with uncorrectable ECC errors";
        if (scan.checksum_mismatches)
            summary +=
                format_text(", and %u of %s in the image do not match", scan.checksum_mismatches,
                            count_of(scan.records.size(), "record checksum", "record checksums").c_str());
    }

    if (options.json) {
        JsonWriter json;
        json_begin_object(json);
        json_string(json, "command", "verify");
        json_string(json, "device", flash_path);
        json_string(json, "image", image_path);
        json_begin_object(json, "partition_table");
        json_number(json, "device_block", static_cast<int64_t>(found.offset / erasesize));
        json_number(json, "offset", static_cast<int64_t>(found.offset));
        json_bool(json, "matches", page_matches);
        json_ecc(json, table_ecc);
        json_end_object(json);
        json_number(json, "table_count", listed);
        json_number(json, "image_block_count", image_blocks);
        json_number(json, "compared", compared);
        json_number(json, "differing", verifier.differing);
        json_number(json, "image_blocks_not_listed", image_blocks > listed ? image_blocks - listed : 0);
        json_number(json, "table_entries_beyond_image", listed > image_blocks ? listed - image_blocks : 0);
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
                json_number(json, "offset", static_cast<int64_t>(check.device_block * erasesize));
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
        json_begin_object(json, "ecc");
        json_bool(json, "available", verifier.ecc.available);
        if (verifier.ecc.note.empty())
            json_null(json, "note");
        else
            json_string(json, "note", verifier.ecc.note);
        json_ecc(json, verifier.ecc.total);
        json_number(json, "blocks_with_bitflips", verifier.ecc.blocks_corrected);
        json_number(json, "blocks_with_ecc_failures", verifier.ecc.blocks_failed);
        json_end_object(json);
        json_checksums(json, scan);
        json_begin_array(json, "findings");
        for (const std::string& line : lines) json_string(json, nullptr, line);
        json_end_array(json);
        json_begin_array(json, "warnings");
        for (const std::string& line : warnings) json_string(json, nullptr, line);
        json_end_array(json);
        json_string(json, "summary", summary);
        json_bool(json, "ok", ok);
        json_end_object(json);
        json_print(json);
        return ok ? 0 : 1;
    }
    for (const std::string& line : lines) printf("%s\n", line.c_str());
    print_checksum_mismatches(scan, "verify");
    for (const std::string& line : warnings) printf("%s\n", line.c_str());
    printf("%s\n", summary.c_str());
    return ok ? 0 : 1;
}
