#include "inspect/block_comparison.h"

#include <cstring>
#include <memory>
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

// The image's data is read this much at a time beside the flash block it is
// compared with: the two erase blocks of a laid-out comparison would cost
// twice the memory of the larger erase blocks.
constexpr uint32_t kImageReadSize = 256 << 10;

bool all_erased(const uint8_t* data, size_t size) {
    static uint8_t erased[4096];
    if (erased[0] != 0xFF) memset(erased, 0xFF, sizeof erased);
    for (size_t at = 0; at < size; at += sizeof erased) {
        const size_t piece = size - at < sizeof erased ? size - at : sizeof erased;
        if (memcmp(data + at, erased, piece) != 0) return false;
    }
    return true;
}

// The image block being compared, piece by piece as the assembler places
// its bytes, with the device block the table names.
struct Comparison {
    Verifier& v;
    uint64_t* differs;  // a bit for each byte of the block that differs so far
    uint32_t k = 0;     // the image block
    bool started = false;
    bool readable = false;  // its device block is in v.device_block
    bool any = false;       // some bit of `differs` is set
    BlockCheck check;
};

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

// Image block c.k begins: notes it when it cannot be read, else reads its
// device block. 0, or -1 when the flash cannot be read.
int start_block(Comparison& c) {
    c.started = true;
    c.check = BlockCheck{};
    if (c.any) memset(c.differs, 0, (c.v.erasesize + 63) / 64 * sizeof *c.differs);
    c.any = false;
    c.readable = !note_unreadable(c.v, c.k, c.check);
    if (!c.readable) return 0;
    return read_flash_watched(c.v.flash, c.v.ecc, c.check.device_block * c.v.erasesize,
                              c.v.device_block.get(), c.v.erasesize, c.check.ecc);
}

// The image's bytes [offset, offset + size) are now `data` (0xFF when
// null): which of them the flash holds otherwise. Bytes an earlier piece
// gave are judged anew. Most pieces match: memcmp says so at the speed of
// the read, and only a piece that differs is looked at byte by byte.
void compare_piece(Comparison& c, uint32_t offset, const uint8_t* data, uint32_t size) {
    const uint8_t* flash = c.v.device_block.get() + offset;
    if (c.any)
        for (uint32_t i = offset; i < offset + size; ++i) c.differs[i / 64] &= ~(uint64_t{1} << (i % 64));
    if (data ? memcmp(data, flash, size) == 0 : all_erased(flash, size)) return;
    for (uint32_t i = 0; i < size; ++i) {
        if ((data ? data[i] : 0xFF) == flash[i]) continue;
        c.differs[(offset + i) / 64] |= uint64_t{1} << ((offset + i) % 64);
        c.any = true;
    }
}

int take_piece(void* context, uint32_t offset, const uint8_t* data, uint32_t size) {
    Comparison& c = *static_cast<Comparison*>(context);
    if (!c.started && start_block(c) != 0) return -1;
    if (c.readable && size != 0) compare_piece(c, offset, data, size);
    return 0;
}

// Image block c.k is complete: its findings. 0, or -1 when the flash cannot
// be read.
int finish_block(Comparison& c) {
    if (!c.started && start_block(c) != 0) return -1;
    Verifier& v = c.v;
    const uint32_t k = c.k++;
    c.started = false;
    if (!c.readable) return 0;
    BlockCheck& check = c.check;
    const uint64_t offset = check.device_block * v.erasesize;
    size_t count = 0, first = v.erasesize;
    for (uint32_t word = 0; c.any && word < (v.erasesize + 63) / 64; ++word) {
        if (c.differs[word] == 0) continue;
        if (first == v.erasesize)
            first = size_t{word} * 64 + static_cast<size_t>(__builtin_ctzll(c.differs[word]));
        count += static_cast<size_t>(__builtin_popcountll(c.differs[word]));
    }
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
    const uint32_t erasesize = verifier.erasesize;
    const uint32_t read_size = erasesize < kImageReadSize ? erasesize : kImageReadSize;
    std::unique_ptr<uint8_t[]> image_data(new (std::nothrow) uint8_t[read_size]);
    std::unique_ptr<uint64_t[]> differs(new (std::nothrow) uint64_t[(erasesize + 63) / 64]());
    if (!image_data || !differs) {
        print_message("Out of memory!\n");
        return -1;
    }
    BinImageHeader header;
    ImageInput input{image_fd};
    if (check_image(input, header) != 0) return -1;
    BlockAssembler assembler;
    init_assembler(assembler, input, image_data.get(), erasesize, header);
    // A checksum that does not match is a finding of verify's own; the
    // blocks are still compared.
    assembler.check_sums = false;
    Comparison comparison{verifier, differs.get(), 0, false, false, false, BlockCheck{}};
    assembler.sink = PieceSink{take_piece, &comparison};
    assembler.read_size = read_size;
    RecordTally tally{survey, assembler};
    watch_records(assembler, tally);
    int ready;
    while ((ready = next_image_block(assembler)) == 1 && finish_block(comparison) == 0) {
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
