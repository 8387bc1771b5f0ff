#include "readback/readback_commands.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "flash/config_block.h"
#include "flash/mtd_device.h"
#include "image/bin_reader.h"
#include "image/block_assembler.h"
#include "readback/partition_table_reader.h"
#include "readback/readonly_device.h"
#include "run/flash_run.h"

namespace {

int open_image(const char* image_path) {
    return strcmp(image_path, "-") == 0 ? 0 : open(image_path, O_RDONLY);
}

void print_block(const char* what, unsigned number, uint64_t block, uint32_t erasesize) {
    printf("  %s %3u -> device block %5llu at 0x%08llx\n", what, number,
           static_cast<unsigned long long>(block), static_cast<unsigned long long>(block) * erasesize);
}

}  // namespace

int plan_install(const char* flash_path, uint32_t nonfs_bytes, const char* image_path) {
    if (open_flash(flash_path) != 0) return 1;
    InspectDevice& device = inspect_device();
    FlashRun run;
    run.settings.nonfs_bytes = nonfs_bytes;
    run.settings.mtd_path = flash_path;
    run.settings.image_path = image_path;
    run.device_fd = device.fd;
    run.geometry = device.info;
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
    if (check_image(run, header) == 0) {
        reached = kImageBlocks;
        if (stream_image(run, header, table) >= 0) {
            reached = kPartitionTable;
            if (write_config_block(run, table) == 0) reached = kDone;
        }
    }
    const int status = reached == kDone ? 0 : 1;
    close(run.image_fd);
    mtd_close(device.fd);

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

int show_partition_table(const char* flash_path) {
    if (open_flash(flash_path) != 0) return 1;
    FoundTable found;
    const int result = find_partition_table(found);
    mtd_close(inspect_device().fd);
    if (result != 0) return 1;
    const uint32_t erasesize = inspect_device().info.erasesize;
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
    const FoundTable& found;
    uint32_t erasesize;
    uint32_t next = 0;  // image block being compared
    uint32_t differing = 0;
    bool terminal;
    std::unique_ptr<uint8_t[]> device_block;
};

// Compares one laid-out image block with the device block the table names.
int compare_block(void* context, const uint8_t* block) {
    Verifier& v = *static_cast<Verifier*>(context);
    const uint32_t k = v.next++;
    if (k >= v.found.table.table_count) {
        printf("image block %u: not in the partition table\n", k);
        ++v.differing;
        return 0xFFFF;
    }
    const uint16_t device_block = v.found.table.entries[k];
    const uint64_t offset = uint64_t{device_block} * v.erasesize;
    if (offset + v.erasesize > inspect_device().info.size) {
        printf("image block %u: the partition table names device block %u, past the end of the flash\n", k,
               device_block);
        ++v.differing;
        return device_block;
    }
    if (read_flash(offset, v.device_block.get(), v.erasesize) != 0) return -1;
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
    return device_block;
}

}  // namespace

int verify_install(const char* flash_path, const char* image_path) {
    if (open_flash(flash_path) != 0) return 1;
    InspectDevice& device = inspect_device();
    FoundTable found;
    if (find_partition_table(found) != 0) {
        mtd_close(device.fd);
        return 1;
    }
    FlashRun run;
    run.device_fd = device.fd;
    run.geometry = device.info;
    const uint32_t erasesize = run.geometry.erasesize;
    run.block_buffer.reset(new (std::nothrow) uint8_t[erasesize]);
    Verifier verifier{
        found, erasesize,      0,
        0,     isatty(2) != 0, std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[erasesize])};
    if (!run.block_buffer || !verifier.device_block) {
        fprintf(stderr, "Out of memory!\n");
        return 1;
    }
    run.image_fd = open_image(image_path);
    BinImageHeader header;
    BlockTable laid_out;
    int blocks = check_image(run, header) == 0
                     ? assemble_image(run, header, laid_out, BlockSink{compare_block, &verifier})
                     : -1;
    if (verifier.terminal) fputc('\n', stderr);
    close(run.image_fd);
    if (blocks < 0) {
        mtd_close(device.fd);
        printf("verify: the image could not be laid out\n");
        return 1;
    }
    if (static_cast<uint32_t>(blocks) != found.table.table_count) {
        printf("partition table lists %u image blocks, the image has %d\n", found.table.table_count, blocks);
        ++verifier.differing;
    }

    // The page the installer writes for this table, and an erased block after it.
    std::vector<uint8_t> expected(found.page.size());
    build_config_page(found.table, expected.data(), expected.size());
    bool page_matches = expected == found.page;
    std::vector<uint8_t> rest(erasesize > found.page.size() ? erasesize - found.page.size() : 0);
    if (read_flash(found.offset + found.page.size(), rest.data(), rest.size()) != 0) return 1;
    for (uint8_t byte : rest) page_matches = page_matches && byte == 0xFF;
    mtd_close(device.fd);
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
