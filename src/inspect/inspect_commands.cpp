#include "inspect/inspect_commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "flash/config_block.h"
#include "image/bin_reader.h"
#include "image/block_assembler.h"
#include "inspect/inspect_flash.h"
#include "inspect/recording_device.h"
#include "run/flash_run.h"
#include "run/run_sequence.h"
#include "run/stream_image.h"
#include "table/partition_table.h"

namespace {

int open_image(const char* image_path) {
    return strcmp(image_path, "-") == 0 ? 0 : open(image_path, O_RDONLY);
}

void print_block(const char* what, unsigned number, uint64_t block, uint32_t erasesize) {
    printf("  %s %3u -> device block %5llu at 0x%08llx\n", what, number,
           static_cast<unsigned long long>(block), static_cast<unsigned long long>(block) * erasesize);
}

}  // namespace

int plan_install(const char* flash_path, const DumpGeometry& dump, uint32_t nonfs_bytes,
                 const char* image_path) {
    InspectFlash flash;
    if (open_flash(flash, flash_path, dump) != 0) return 1;
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
    if (!run.block_buffer) {
        fprintf(stderr, "Out of memory!\n");
        return 1;
    }
    run.image_fd = open_image(image_path);
    // The installer's own phases, in its order, on a device that only records
    // what they would erase and write; their messages say why a run would fail.
    enum { kImageInvalid, kImageBlocks, kPartitionTable, kDone } reached = kImageInvalid;
    BinImageHeader header;
    BlockTable table;
    if (check_image(run.image_fd, header) == 0) {
        reached = kImageBlocks;
        if (stream_image(run, header, table) >= 0) {
            reached = kPartitionTable;
            if (write_config_block(run.device, run.geometry, run.search_end, table) == 0) reached = kDone;
        }
    }
    const int status = reached == kDone ? 0 : 1;
    close(run.image_fd);
    close_flash(flash);

    const uint32_t erasesize = run.geometry.erasesize;
    printf("plan for %s, non-Filesystem partition of %u bytes (blocks 2..%u):\n", flash_path, nonfs_bytes,
           erasesize ? nonfs_bytes / erasesize : 0);
    // On success the last write is the partition table page; all others are image blocks.
    const size_t image_blocks = device.writes.size() - (status == 0 ? 1 : 0);
    for (size_t k = 0; k < image_blocks; ++k)
        print_block("image block", static_cast<unsigned>(k), device.writes[k].offset / erasesize, erasesize);
    if (status == 0) {
        const PlannedWrite& table = device.writes.back();
        printf("  partition table -> device block %5llu at 0x%08llx (%llu-byte page)\n",
               static_cast<unsigned long long>(table.offset / erasesize),
               static_cast<unsigned long long>(table.offset), static_cast<unsigned long long>(table.size));
        printf("plan: the install would succeed: %zu image blocks\n", image_blocks);
        return 0;
    }
    // The allocator gives up without a message when it reaches block 1 (or
    // starts at 0); every other failure has printed its reason.
    const bool exhausted =
        reached == kImageBlocks && erasesize &&
        (nonfs_bytes / erasesize == 0 || (!device.queries.empty() && device.queries.back() == erasesize));
    if (reached == kImageInvalid)
        printf("plan: the install would fail: the image cannot be read (the reason is on standard error)\n");
    else if (exhausted)
        printf(
            "plan: the install would fail: no good block left in the non-Filesystem partition for image "
            "block %zu\n",
            image_blocks);
    else
        printf("plan: the install would fail after %zu image blocks (the reason is on standard error)\n",
               image_blocks);
    return 1;
}

int show_partition_table(const char* flash_path, const DumpGeometry& dump) {
    InspectFlash flash;
    if (open_flash(flash, flash_path, dump) != 0) return 1;
    FoundTable found;
    const int result = find_partition_table(flash, found);
    close_flash(flash);
    if (result != 0) return 1;
    const uint32_t erasesize = flash.info.erasesize;
    printf("partition table at 0x%08llx (device block %llu):\n",
           static_cast<unsigned long long>(found.offset),
           static_cast<unsigned long long>(found.offset / erasesize));
    for (uint32_t k = 0; k < found.table.table_count; ++k)
        print_block("image block", k, found.table.entries[k], erasesize);
    printf("%u image blocks\n", found.table.table_count);
    return 0;
}

namespace {

struct Verifier {
    InspectFlash& flash;
    const FoundTable& found;
    uint32_t erasesize;
    uint32_t differing = 0;
    bool terminal;
    std::unique_ptr<uint8_t[]> device_block;
};

// Compares image block `k`, laid out in `block`, with the device block the
// table names: 0, or -1 when the flash cannot be read.
int compare_block(Verifier& v, uint32_t k, const uint8_t* block) {
    if (k >= v.found.table.table_count) {
        printf("image block %u: not in the partition table\n", k);
        ++v.differing;
        return 0;
    }
    const uint16_t device_block = v.found.table.entries[k];
    const uint64_t offset = uint64_t{device_block} * v.erasesize;
    if (offset + v.erasesize > v.flash.size) {
        printf("image block %u: the partition table names device block %u, past the end of the flash\n", k,
               device_block);
        ++v.differing;
        return 0;
    }
    if (read_flash(v.flash, offset, v.device_block.get(), v.erasesize) != 0) return -1;
    size_t first = v.erasesize, count = 0;
    for (size_t i = 0; i < v.erasesize; ++i) {
        if (block[i] == v.device_block[i]) continue;
        if (first == v.erasesize) first = i;
        ++count;
    }
    if (count) {
        printf("image block %u (device block %u at 0x%08llx): %zu bytes differ, the first at offset 0x%zx\n",
               k, device_block, static_cast<unsigned long long>(offset), count, first);
        ++v.differing;
    }
    if (v.terminal)
        fprintf(stderr, "\rverified %u of %u image blocks", k + 1, v.found.table.table_count);
    else if ((k + 1) % 64 == 0)
        fprintf(stderr, "verified %u image blocks\n", k + 1);
    return 0;
}

// Lays the image out and compares every block: the number of image blocks,
// or -1 when the image cannot be laid out or the flash cannot be read.
int compare_image(Verifier& verifier, int image_fd) {
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[verifier.erasesize]);
    if (!block) {
        fprintf(stderr, "Out of memory!\n");
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

}  // namespace

int verify_install(const char* flash_path, const DumpGeometry& dump, const char* image_path) {
    InspectFlash flash;
    if (open_flash(flash, flash_path, dump) != 0) return 1;
    FoundTable found;
    if (find_partition_table(flash, found) != 0) {
        close_flash(flash);
        return 1;
    }
    const uint32_t erasesize = flash.info.erasesize;
    Verifier verifier{flash,          found,
                      erasesize,      0,
                      isatty(2) != 0, std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[erasesize])};
    if (!verifier.device_block) {
        fprintf(stderr, "Out of memory!\n");
        return 1;
    }
    const int image_fd = open_image(image_path);
    const int blocks = compare_image(verifier, image_fd);
    if (verifier.terminal) fputc('\n', stderr);
    close(image_fd);
    if (blocks < 0) {
        close_flash(flash);
        printf("verify: the image could not be laid out\n");
        return 1;
    }
    if (static_cast<uint32_t>(blocks) != found.table.table_count) {
        printf("partition table lists %u image blocks, the image has %d\n", found.table.table_count, blocks);
        ++verifier.differing;
    }

    // The page the installer writes for this table, and an erased block after it.
    std::vector<uint8_t> expected(found.page.size());
    encode_partition_table_page(found.table, expected.data(), expected.size());
    bool page_matches = expected == found.page;
    std::vector<uint8_t> rest(erasesize > found.page.size() ? erasesize - found.page.size() : 0);
    if (read_flash(flash, found.offset + found.page.size(), rest.data(), rest.size()) != 0) return 1;
    for (uint8_t byte : rest) page_matches = page_matches && byte == 0xFF;
    close_flash(flash);
    if (!page_matches)
        printf("partition table block at 0x%08llx differs from the page the installer writes\n",
               static_cast<unsigned long long>(found.offset));
    if (verifier.differing == 0 && page_matches) {
        printf("verify: all %d image blocks and the partition table match\n", blocks);
        return 0;
    }
    printf("verify: %u of %d image blocks differ%s\n", verifier.differing, blocks,
           page_matches ? "" : ", and the partition table block differs");
    return 1;
}
