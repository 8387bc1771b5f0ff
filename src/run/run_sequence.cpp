#include "run/run_sequence.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <new>
#include <string>

#include "common/interrupt.h"
#include "common/messages.h"
#include "flash/config_block.h"
#include "flash/read_back.h"
#include "image/bin_reader.h"
#include "run/dry_run.h"
#include "run/image_source.h"
#include "run/stream_image.h"

namespace {
const char kOpenFailedFormat[] = "Failed to open MTD device %s\n";
const char kInUseFormat[] = "MTD device %s is in use\n";
const char kInfoFailedFormat[] = "Failed to get info of MTD device %s\n";
const char kLargerThanDevice[] = "Non-Filesystem partition larger than the MTD device!\n";
const char kOutOfMemory[] = "Out of memory!\n";
const char kStoppedBeforeChange[] = "Interrupted before the flash was changed\n";
const char kStoppedAfterFormat[] = "Interrupted after %u image blocks: the flash holds no partition table\n";
const char kCorrectedFormat[] = "Read back %u blocks with corrected bitflips\n";

void print_device_report(const mtd_info_user& geometry) {
    printf("MTD Type: %d\n", geometry.type);
    printf("MTD total size: %d kilobytes\n", static_cast<int>(geometry.size >> 10));
    printf("MTD write size: %d bytes\n", static_cast<int>(geometry.writesize));
    printf("MTD erase size: %d bytes\n", static_cast<int>(geometry.erasesize));
}

uint64_t device_size(MtdDevice& device, const mtd_info_user& geometry) {
    uint64_t size = 0;
    return mtd_total_size(device, size) == 0 ? size : geometry.size;
}

// Runs the whole install dry on the image file, read with pread from where
// the descriptor stands. 0 when it would succeed; -1 after printing the
// lines the install would have printed up to its failure, or silently when
// an interrupt stopped it.
int check_before_writing(FlashRun& run) {
    ImageInput image = run.image;
    const off_t at = lseek(image.fd, 0, SEEK_CUR);
    if (at < 0) return 0;  // not a file after all: streamed, as a pipe is
    image.positioned = true;
    image.offset = static_cast<uint64_t>(at);
    DryRun dry;
    if (dry_run_install(run, image, dry) == 0) return 0;
    if (interrupt_signal() != 0) return -1;
    for (const std::string& line : failure_lines(dry)) print_message("%s\n", line.c_str());
    return -1;
}

void report_interrupt(uint32_t image_blocks) {
    clear_progress_line();
    if (image_blocks == 0)
        print_fixed(kStoppedBeforeChange);
    else
        print_message(kStoppedAfterFormat, image_blocks);
}

// Opens, locks and asks the device for its geometry: 0, or -1 after the
// message (the device closed again).
int open_device(FlashRun& run) {
    const char* path = run.settings.mtd_path;
    if (mtd_open(run.device, path) != 0) {
        print_message(kOpenFailedFormat, path);
        return -1;
    }
    // Two installs interleaving their blocks would leave a flash that holds
    // neither image. Only a lock someone holds stops the run: a device that
    // cannot be locked at all is flashed as before.
    if (mtd_lock(run.device, true) != 0 && errno == EWOULDBLOCK) {
        print_message(kInUseFormat, path);
        mtd_close(run.device);
        return -1;
    }
    if (mtd_get_info(run.device, run.geometry) != 0) {
        // Every later step depends on the geometry; guessing it could put
        // blocks anywhere on the chip.
        print_message(kInfoFailedFormat, path);
        mtd_close(run.device);
        return -1;
    }
    return 0;
}

}  // namespace

uint64_t partition_table_search_end(MtdDevice& device, const mtd_info_user& geometry) {
    const uint64_t size = device_size(device, geometry);
    const uint64_t erase_reach = uint64_t{1} << 32;  // erase_info_user's start is 32 bits wide
    return size < erase_reach ? size : erase_reach;
}

int check_nonfs_size(MtdDevice& device, const mtd_info_user& geometry, uint32_t nonfs_bytes) {
    if (nonfs_bytes <= device_size(device, geometry)) return 0;
    print_fixed(kLargerThanDevice);
    return -1;
}

InstallPhase run_install_phases(FlashRun& run, BlockTable& table) {
    if (take_interrupt() != 0) return InstallPhase::kImageHeader;
    BinImageHeader header;
    if (check_image(run.image, header) != 0) return InstallPhase::kImageHeader;
    if (stream_image(run, header, table) < 0) return InstallPhase::kImageBlocks;
    if (take_interrupt() != 0) return InstallPhase::kPartitionTable;
    if (write_config_block(run.device, run.writes, run.geometry, run.search_end, table) != 0)
        return InstallPhase::kPartitionTable;
    // Corrected bitflips are no failure, but a sign of wear worth telling.
    if (run.writes.corrected_blocks) print_message(kCorrectedFormat, run.writes.corrected_blocks);
    finish_install_progress(run.progress);
    return InstallPhase::kDone;
}

int install_image(FlashRun& run) {
    run.search_end = partition_table_search_end(run.device, run.geometry);
    BlockTable table;
    if ((!run.image_is_file || check_before_writing(run) == 0) &&
        run_install_phases(run, table) == InstallPhase::kDone)
        return 0;
    if (interrupt_signal() != 0) report_interrupt(table.table_count);
    return 1;
}

int run_install(const RunSettings& settings, const MtdDevice& device) {
    catch_interrupts();  // without it, a signal ends the run as it always has
    FlashRun run;
    run.settings = settings;
    run.device = device;
    if (open_device(run) != 0) return 1;
    print_device_report(run.geometry);
    // A log of both streams keeps the order in which things happened.
    fflush(stdout);
    int status = 1;
    if (check_nonfs_size(run.device, run.geometry, settings.nonfs_bytes) == 0 &&
        (run.image.fd = open_image(settings.image_path)) >= 0) {
        run.device_writesize = run.geometry.writesize;
        if (run.geometry.writesize == 1) run.geometry.writesize = 2048;
        run.block_buffer.reset(new (std::nothrow) uint8_t[run.geometry.erasesize]);
        if (run.block_buffer &&
            (!settings.verify || start_verifying(run.writes, run.geometry.erasesize) == 0)) {
            run.image_is_file = prepare_image_source(run.image.fd, run.geometry.erasesize) == 1;
            status = install_image(run);
        } else {
            print_fixed(kOutOfMemory);
        }
        clear_progress_line();
        close(run.image.fd);
    }
    mtd_close(run.device);
    return status;
}
