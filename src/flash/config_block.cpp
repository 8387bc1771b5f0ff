#include "flash/config_block.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "flash/block_ops.h"
#include "image/block_assembler.h"
#include "run/flash_run.h"
#include "run/messages.h"

namespace {
const char kMagic[16] = {'V', 'O', 'L', 'M', 'E', 'R', 'A', 'C', 'O', 'N', 'F', 'I', 'G', 'B', 'L', 'K'};
// A tag heads each part of the page: how many 32-bit words of data follow it,
// its flags and its id, stored as one little-endian word.
struct ConfigTag {
    uint32_t length;  // bits 0-13
    uint32_t flags;   // bits 14-15
    uint32_t id;      // bits 16-31
};
constexpr uint32_t encode_tag(ConfigTag tag) { return tag.length | tag.flags << 14 | tag.id << 16; }
constexpr ConfigTag kStartTag{0, 1, 0xCF01};
constexpr ConfigTag kTableTag{kBlockTableBytes / 4, 1, 0x0010};

const char kNoSpace[] = "Not enough space/too many bad blocks\n";
const char kOverlapFormat[] = "Image overlaps partition table block at %08lx!\n";
const char kOutOfMemory[] = "Out of memory!\n";
const char kWriteFailed[] = "Write of partition table failed\n";
const char kWritten[] = "Partition table written...\n";

void store_le32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}
}  // namespace

size_t config_page_size(uint32_t writesize) {
    size_t unit = writesize == 0 ? 1 : writesize;
    return (kConfigPayloadBytes + unit - 1) / unit * unit;
}

uint64_t config_search_start(uint32_t erasesize) {
    if (erasesize == 0) return kConfigSearchStart;
    return (kConfigSearchStart + erasesize - 1) / erasesize * erasesize;
}

void build_config_page(const BlockTable& table, uint8_t* page, size_t page_size) {
    memset(page, 0xFF, page_size);
    memcpy(page, kMagic, sizeof kMagic);
    store_le32(page + 16, encode_tag(kStartTag));
    store_le32(page + 20, encode_tag(kTableTag));
    encode_block_table(table, page + 24);
}

int write_config_block(FlashRun& run, const BlockTable& table) {
    const uint32_t erasesize = run.geometry.erasesize;
    const size_t page_size = config_page_size(run.geometry.writesize);
    std::unique_ptr<uint8_t[]> page(new (std::nothrow) uint8_t[page_size]);
    if (!page) {
        print_fixed(kOutOfMemory);
        return -1;
    }
    build_config_page(table, page.get(), page_size);

    // A page larger than an erase block would spill into the next block,
    // which nobody erased; an erase size of 0 would never advance the search.
    const bool page_fits = page_size <= erasesize;
    for (uint64_t offset = config_search_start(erasesize); page_fits && offset < run.geometry.size;
         offset += erasesize) {
        if (check_block_good(run.device_fd, offset) != 0) continue;
        if (table_holds_block(table, static_cast<uint32_t>(offset / erasesize))) {
            // Erasing it would destroy an image block the table points to.
            fprintf(stderr, kOverlapFormat, static_cast<unsigned long>(offset));
            return -1;
        }
        if (erase_block(run.device_fd, static_cast<uint32_t>(offset), erasesize) != 0) continue;
        if (program_at(run.device_fd, offset, page.get(), page_size) < 0) {
            print_fixed(kWriteFailed);
            return -1;
        }
        print_fixed(kWritten);
        return 0;
    }
    print_fixed(kNoSpace);
    return -1;
}
