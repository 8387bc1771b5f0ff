#include "flash/config_block.h"

#include <cstdio>
#include <memory>
#include <new>

#include "common/messages.h"
#include "flash/block_ops.h"

namespace {
const char kNoSpace[] = "Not enough space/too many bad blocks\n";
const char kOverlapFormat[] = "Image overlaps partition table block at %08lx!\n";
const char kOutOfMemory[] = "Out of memory!\n";
const char kWriteFailed[] = "Write of partition table failed\n";
const char kEraseFailedFormat[] = "Erase of partition table block at %08lx failed\n";
const char kWritten[] = "Partition table written...\n";
}  // namespace

int write_config_block(MtdDevice& device, const mtd_info_user& geometry, uint64_t search_end,
                       const BlockTable& table) {
    const uint32_t erasesize = geometry.erasesize;
    const size_t page_size = partition_table_page_size(geometry.writesize);
    std::unique_ptr<uint8_t[]> page(new (std::nothrow) uint8_t[page_size]);
    if (!page) {
        print_fixed(kOutOfMemory);
        return -1;
    }
    encode_partition_table_page(table, page.get(), page_size);

    // A page larger than an erase block would spill into the next block,
    // which nobody erased; an erase size of 0 would never advance the search.
    const bool page_fits = page_size <= erasesize;
    for (uint64_t offset = partition_table_search_start(erasesize); page_fits && offset < search_end;
         offset += erasesize) {
        if (check_block_good(device, offset) != 0) continue;
        if (table_holds_block(table, static_cast<uint32_t>(offset / erasesize))) {
            // Erasing it would destroy an image block the table points to.
            print_message(kOverlapFormat, static_cast<unsigned long>(offset));
            return -1;
        }
        // The loader reads the first block that is not marked bad and no
        // other: a table in the next block would never be found, and an old
        // table left here would point at the new image's blocks.
        mtd_unlock(device, static_cast<uint32_t>(offset), erasesize);
        if (mtd_erase(device, static_cast<uint32_t>(offset), erasesize) != 0) {
            print_message(kEraseFailedFormat, static_cast<unsigned long>(offset));
            return -1;
        }
        if (program_at(device, offset, page.get(), page_size) < 0) {
            print_fixed(kWriteFailed);
            return -1;
        }
        print_fixed(kWritten);
        return 0;
    }
    print_fixed(kNoSpace);
    return -1;
}
