#include "readback/partition_table_reader.h"

#include <cstdio>
#include <cstring>

#include "flash/config_block.h"
#include "flash/mtd_device.h"
#include "readback/readonly_device.h"

namespace {
const uint8_t kHead[24] = {'V', 'O', 'L', 'M', 'E',  'R',  'A',  'C',  'O',  'N',  'F',  'I',
                           'G', 'B', 'L', 'K', 0x00, 0x40, 0x01, 0xCF, 0xEA, 0x40, 0x10, 0x00};
}

int open_flash(const char* flash_path) {
    InspectDevice& device = inspect_device();
    if (mtd_open(flash_path) < 0) {
        fprintf(stderr, "drimlet-inspect: cannot open %s\n", flash_path);
        return -1;
    }
    mtd_info_user info{};
    if (mtd_get_info(device.fd, info) != 0) {
        fprintf(stderr,
                device.is_dump ? "drimlet-inspect: %s is a dump: give its --erase and --page sizes\n"
                               : "drimlet-inspect: %s is not an MTD device\n",
                flash_path);
        return -1;
    }
    if (device.info.writesize == 1) device.info.writesize = 2048;  // as the installer does
    return 0;
}

int find_partition_table(FoundTable& found) {
    InspectDevice& device = inspect_device();
    const uint32_t erasesize = device.info.erasesize;
    const size_t page_size = config_page_size(device.info.writesize);
    uint64_t offset = config_search_start(erasesize);
    while (erasesize && offset < device.info.size && mtd_block_is_bad(device.fd, offset) != 0)
        offset += erasesize;
    if (erasesize == 0 || offset >= device.info.size) {
        fprintf(stderr, "drimlet-inspect: no good erase block from 3.5 MiB up: no partition table\n");
        return -1;
    }
    found.offset = offset;
    found.page.assign(page_size, 0);
    if (read_flash(offset, found.page.data(), page_size) != 0) return -1;
    const uint8_t* page = found.page.data();
    const uint32_t leading =
        page[24] | page[25] << 8 | page[26] << 16 | static_cast<uint32_t>(page[27]) << 24;
    if (memcmp(page, kHead, sizeof kHead) != 0 || leading != 64) {
        fprintf(
            stderr,
            "drimlet-inspect: no valid partition table at 0x%08llx (the first good block from 3.5 MiB): %s\n",
            static_cast<unsigned long long>(offset),
            memcmp(page, kHead, 16) != 0 ? "no magic"
            : leading != 64              ? "bad leading word"
                                         : "bad tags");
        return -1;
    }
    found.table = BlockTable{};
    while (found.table.table_count < kTableEntries) {
        const uint8_t* entry = page + 28 + size_t{2} * found.table.table_count;
        uint16_t block = static_cast<uint16_t>(entry[0] | entry[1] << 8);
        if (block == 0) break;
        found.table.entries[found.table.table_count++] = block;
    }
    return 0;
}
