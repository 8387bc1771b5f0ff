#include "flash/config_block.h"

#include <cstdio>
#include <memory>
#include <new>

#include "common/messages.h"
#include "flash/block_ops.h"
#include "flash/read_back.h"
#include "flash/retire_block.h"

namespace {
const char kNoSpace[] = "Not enough space/too many bad blocks\n";
const char kOverlapFormat[] = "Image overlaps partition table block at %08lx!\n";
const char kOutOfMemory[] = "Out of memory!\n";
const char kWriteFailed[] = "Write of partition table failed\n";
const char kWritten[] = "Partition table written...\n";

// Erases the block at `offset`, writes the partition table page there and
// reads the block back when the run verifies. 0 when the block holds the
// table; 1 when it failed and is now marked bad, so the next good block is
// the loader's; -1 after the message when the run stops.
int place_table(MtdDevice& device, WriteContext& context, uint64_t offset, uint32_t erasesize,
                const uint8_t* page, size_t page_size) {
    bool programmed = false;
    if (erase_block(device, static_cast<uint32_t>(offset), erasesize) == 0) {
        ProgramFault fault;
        programmed = true;
        if (program_at(device, offset, page, page_size, fault) < 0) {
            if (fault == kSeekFailed) {
                print_fixed(kWriteFailed);
                return -1;
            }
            report_write_failed(offset);
        } else if (!context.verify || read_back(device, context, offset, page, page_size, erasesize) == 0) {
            return 0;
        }
    }
    // The loader reads the first block from 3.5 MiB up that is not marked
    // bad: passed over unmarked, this block would still be the one it reads.
    if (retire_block(device, context, offset) == 1) return 1;
    // Unmarked, it must at least not offer the loader a page that did not
    // write or read back whole.
    if (programmed) {
        mtd_unlock(device, static_cast<uint32_t>(offset), erasesize);
        mtd_erase(device, static_cast<uint32_t>(offset), erasesize);
    }
    return -1;
}
}  // namespace

int write_config_block(MtdDevice& device, WriteContext& context, const mtd_info_user& geometry,
                       uint64_t search_end, const BlockTable& table) {
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
        const int placed = place_table(device, context, offset, erasesize, page.get(), page_size);
        if (placed < 0) return -1;
        if (placed == 1) continue;
        print_fixed(kWritten);
        return 0;
    }
    print_fixed(kNoSpace);
    return -1;
}
