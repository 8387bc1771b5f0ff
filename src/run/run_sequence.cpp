#include "run/run_sequence.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "common/messages.h"
#include "flash/config_block.h"
#include "flash/read_back.h"
#include "image/bin_reader.h"
#include "run/image_source.h"
#include "run/stream_image.h"

namespace {
const char kOpenFailedFormat[] = "Failed to open MTD device %s\n";
const char kInfoFailedFormat[] = "Failed to get info of MTD device %s\n";
const char kOutOfMemory[] = "Out of memory!\n";
const char kCorrectedFormat[] = "Read back %u blocks with corrected bitflips\n";

void print_device_report(const mtd_info_user& geometry) {
    printf("MTD Type: %d\n", geometry.type);
    printf("MTD total size: %d kilobytes\n", static_cast<int>(geometry.size >> 10));
    printf("MTD write size: %d bytes\n", static_cast<int>(geometry.writesize));
    printf("MTD erase size: %d bytes\n", static_cast<int>(geometry.erasesize));
}

}  // namespace

uint64_t partition_table_search_end(MtdDevice& device, const mtd_info_user& geometry) {
    uint64_t size = 0;
    if (mtd_total_size(device, size) != 0) size = geometry.size;
    const uint64_t erase_reach = uint64_t{1} << 32;  // erase_info_user's start is 32 bits wide
    return size < erase_reach ? size : erase_reach;
}

int install_image(FlashRun& run) {
    run.search_end = partition_table_search_end(run.device, run.geometry);
    BinImageHeader header;
    if (check_image(run.image_fd, header) != 0) return 1;
    BlockTable table;
    if (stream_image(run, header, table) < 0) return 1;
    if (write_config_block(run.device, run.writes, run.geometry, run.search_end, table) != 0) return 1;
    // Corrected bitflips are no failure, but a sign of wear worth telling.
    if (run.writes.corrected_blocks) print_message(kCorrectedFormat, run.writes.corrected_blocks);
    finish_install_progress(run.progress);
    return 0;
}

int run_install(const RunSettings& settings, const MtdDevice& device) {
    FlashRun run;
    run.settings = settings;
    run.device = device;
    if (mtd_open(run.device, settings.mtd_path) != 0) {
        print_message(kOpenFailedFormat, settings.mtd_path);
        return 1;
    }
    if (mtd_get_info(run.device, run.geometry) != 0) {
        // Every later step depends on the geometry; guessing it could put
        // blocks anywhere on the chip.
        print_message(kInfoFailedFormat, settings.mtd_path);
        mtd_close(run.device);
        return 1;
    }
    print_device_report(run.geometry);
    // A log of both streams keeps the order in which things happened.
    fflush(stdout);
    if (run.geometry.writesize == 1) run.geometry.writesize = 2048;

    run.block_buffer.reset(new (std::nothrow) uint8_t[run.geometry.erasesize]);
    if (!run.block_buffer || (settings.verify && start_verifying(run.writes, run.geometry.erasesize) != 0)) {
        print_fixed(kOutOfMemory);
        mtd_close(run.device);
        return 1;
    }
    // A failed open is left to the first read, which reports it.
    run.image_fd = strcmp(settings.image_path, "-") == 0 ? 0 : open(settings.image_path, O_RDONLY);
    run.image_is_file = prepare_image_source(run.image_fd, run.geometry.erasesize) == 1;

    int status = install_image(run);
    clear_progress_line();
    close(run.image_fd);
    mtd_close(run.device);
    return status;
}
