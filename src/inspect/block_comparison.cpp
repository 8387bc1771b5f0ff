#include "inspect/block_comparison.h"

#include <cstring>
#include <new>

#include "common/messages.h"
#include "image/bin_reader.h"
#include "image/block_assembler.h"
#include "inspect/format_text.h"
#include "inspect/inspect_report.h"

namespace {

std::string where(uint32_t k, uint64_t device_block, uint64_t offset) {
    return format_text("image block %u (device block %llu at 0x%08llx)", k,
                       static_cast<unsigned long long>(device_block),
                       static_cast<unsigned long long>(offset));
}

bool all_erased(const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (data[i] != 0xFF) return false;
    return true;
}

// Bytes of the device block that differ from the image's `block`; the first
// one's offset in `first`. Most blocks match: memcmp says so at the speed of
// the read, and only a block that differs is counted byte by byte.
size_t count_differences(const Verifier& v, const uint8_t* block, size_t& first) {
    size_t count = 0;
    first = v.erasesize;
    if (memcmp(block, v.device_block.get(), v.erasesize) == 0) return 0;
    for (size_t i = 0; i < v.erasesize; ++i) {
        if (block[i] == v.device_block[i]) continue;
        if (first == v.erasesize) first = i;
        ++count;
    }
    return count;
}

// A block the partition table does not list or that lies past the end of
// the flash: noted without reading it. False for any other block, with its
// device block filled in.
bool note_unreadable(Verifier& v, uint32_t k, BlockCheck& check) {
    if (k >= v.found.table.table_count) {
        check.status = BlockCheck::kNotListed;
        v.lines.push_back(format_text("image block %u: not in the partition table", k));
        v.blocks.push_back(check);
        return true;
    }
    check.device_block = v.found.table.entries[k];
    if (check.device_block * v.erasesize + v.erasesize <= v.flash.size) return false;
    check.status = BlockCheck::kPastEnd;
    ++v.misplaced.past_end;
    v.lines.push_back(
        format_text("image block %u: the partition table names device block %llu, past the end of "
                    "the flash",
                    k, static_cast<unsigned long long>(check.device_block)));
    ++v.differing;
    v.blocks.push_back(check);
    return true;
}

// Compares image block `k`, laid out in `block`, with the device block the
// table names: 0, or -1 when the flash cannot be read.
int compare_block(Verifier& v, uint32_t k, const uint8_t* block) {
    BlockCheck check;
    if (note_unreadable(v, k, check)) return 0;
    const uint64_t offset = check.device_block * v.erasesize;
    if (read_flash_watched(v.flash, v.ecc, offset, v.device_block.get(), v.erasesize, check.ecc) != 0)
        return -1;
    size_t first;
    const size_t count = count_differences(v, block, first);
    const std::string here = where(k, check.device_block, offset);
    if (count && all_erased(v.device_block.get(), v.erasesize)) ++v.misplaced.erased;
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

}  // namespace

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

int compare_image(Verifier& verifier, int image_fd, ImageSurvey& survey) {
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[verifier.erasesize]);
    if (!block) {
        print_message("Out of memory!\n");
        return -1;
    }
    BinImageHeader header;
    ImageInput input{image_fd};
    if (check_image(input, header) != 0) return -1;
    BlockAssembler assembler;
    init_assembler(assembler, input, block.get(), verifier.erasesize, header);
    // A checksum that does not match is a finding of verify's own; the
    // blocks are still compared.
    assembler.check_sums = false;
    RecordTally tally{survey, assembler};
    watch_records(assembler, tally);
    int ready;
    while ((ready = next_image_block(assembler)) == 1 &&
           compare_block(verifier, assembler.blocks - 1, assembler.block) == 0) {
    }
    count_checksum_mismatches(survey);
    return ready != 0 ? -1 : static_cast<int>(assembler.blocks);
}

const char* status_name(BlockCheck::Status status) {
    switch (status) {
        case BlockCheck::kMatch: return "match";
        case BlockCheck::kDiffer: return "differ";
        case BlockCheck::kPastEnd: return "past-end";
        default: return "not-listed";
    }
}
