#include "table/partition_table.h"

#include <cstring>

namespace {
const uint8_t kMagic[kPartitionTableMagicBytes] = {'V', 'O', 'L', 'M', 'E', 'R', 'A', 'C',
                                                   'O', 'N', 'F', 'I', 'G', 'B', 'L', 'K'};
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

void store_le32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t le32(const uint8_t* in) {
    return in[0] | in[1] << 8 | in[2] << 16 | static_cast<uint32_t>(in[3]) << 24;
}

void encode_block_table(const BlockTable& table, uint8_t* out) {
    store_le32(out, table.leading_word);
    for (int k = 0; k < kTableEntries; ++k) {
        out[4 + 2 * k] = static_cast<uint8_t>(table.entries[k]);
        out[5 + 2 * k] = static_cast<uint8_t>(table.entries[k] >> 8);
    }
}
}  // namespace

bool table_holds_block(const BlockTable& table, uint32_t block) {
    for (uint32_t k = 0; k < table.table_count; ++k)
        if (table.entries[k] == block) return true;
    return false;
}

size_t partition_table_page_size(uint32_t writesize) {
    size_t unit = writesize == 0 ? 1 : writesize;
    // One page of 960 bytes or more holds the table; rounding such a page up
    // would wrap a 32-bit size_t and leave a page smaller than the table.
    if (unit >= kPartitionTablePayloadBytes) return unit;
    return (kPartitionTablePayloadBytes + unit - 1) / unit * unit;
}

uint64_t partition_table_search_start(uint32_t erasesize) {
    if (erasesize == 0) return kPartitionTableSearchStart;
    return (kPartitionTableSearchStart + erasesize - 1) / erasesize * erasesize;
}

void encode_partition_table_page(const BlockTable& table, uint8_t* page, size_t page_size) {
    memset(page, 0xFF, page_size);
    memcpy(page, kMagic, sizeof kMagic);
    store_le32(page + 16, encode_tag(kStartTag));
    store_le32(page + 20, encode_tag(kTableTag));
    encode_block_table(table, page + 24);
}

bool has_partition_table_magic(const uint8_t* bytes) { return memcmp(bytes, kMagic, sizeof kMagic) == 0; }

int decode_partition_table_page(const uint8_t* page, size_t page_size, BlockTable& table,
                                const char*& problem) {
    problem = nullptr;
    if (page_size < kPartitionTablePayloadBytes || !has_partition_table_magic(page))
        problem = "no magic";
    else if (le32(page + 24) != 64)
        problem = "bad leading word";
    else if (le32(page + 16) != encode_tag(kStartTag) || le32(page + 20) != encode_tag(kTableTag))
        problem = "bad tags";
    if (problem) return -1;
    table = BlockTable{};
    while (table.table_count < kTableEntries) {
        const uint8_t* entry = page + 28 + size_t{2} * table.table_count;
        uint16_t block = static_cast<uint16_t>(entry[0] | entry[1] << 8);
        if (block == 0) break;
        table.entries[table.table_count++] = block;
    }
    return 0;
}

int64_t find_partition_table_block(MtdDevice& device, uint64_t device_size, uint32_t erasesize) {
    if (erasesize == 0) return -1;
    for (uint64_t offset = partition_table_search_start(erasesize); offset < device_size; offset += erasesize)
        if (mtd_block_is_bad(device, offset) == 0) return static_cast<int64_t>(offset);
    return -1;
}
