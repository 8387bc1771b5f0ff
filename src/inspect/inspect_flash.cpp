#include "inspect/inspect_flash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/messages.h"
#include "device/mtd_device_linux.h"

namespace {
// A shared lock, so no look at the flash reads it in the middle of an
// install (which holds the lock exclusively). 0, or -1 after a message.
int lock_flash(InspectFlash& flash) {
    if (mtd_lock(flash.device, false) == 0 || errno != EWOULDBLOCK) return 0;
    flash_error(flash, "%s is in use: an install is running on it", flash.path);
    mtd_close(flash.device);
    return -1;
}
// Refuses a geometry no install could have: a division by the erase size,
// or a page that does not fit its erase block, would otherwise follow. The
// sizes are MEMGETINFO's, before a write size of 1 becomes 2048. 0, or -1
// after a message.
int check_geometry(InspectFlash& flash, const char* path) {
    const uint32_t erasesize = flash.info.erasesize, writesize = flash.info.writesize;
    if (erasesize == 0)
        flash_error(flash, "%s reports an erase size of 0: it has no erase blocks to read", path);
    else if (writesize == 0 || writesize > erasesize)
        flash_error(flash,
                    "%s reports a write size of %u bytes with %u-byte erase blocks: not a flash geometry",
                    path, writesize, erasesize);
    else
        return 0;
    return -1;
}

// Refuses --bad blocks past the dump's end: 0, or -1 after a message.
int check_bad_blocks(InspectFlash& flash, const char* path) {
    const uint64_t blocks = flash.dump.size / flash.info.erasesize;
    const int64_t past = bad_block_past(flash.dump.geometry, blocks);
    if (past < 0) return 0;
    flash_error(flash, "--bad %lld is past the end of %s, which has %llu erase blocks",
                static_cast<long long>(past), path, static_cast<unsigned long long>(blocks));
    return -1;
}
}  // namespace

void report_flash_error(InspectFlash& flash, const std::string& message) {
    flash.error = message;
    print_message("drimlet-inspect: %s\n", message.c_str());
}

int open_flash(InspectFlash& flash, const char* path, const DumpGeometry& dump_geometry) {
    flash.path = path;
    flash.device = linux_mtd_device();
    if (mtd_open(flash.device, path, true) != 0) {
        flash_error(flash, "cannot open %s", path);
        return -1;
    }
    // An MTD device answers MEMGETINFO; a regular file that does not is a dump.
    if (mtd_get_info(flash.device, flash.info) != 0) {
        flash.is_dump = is_regular_file(path);
        mtd_close(flash.device);
        if (!flash.is_dump) {
            flash_error(flash, "%s is not an MTD device", path);
            return -1;
        }
        flash.dump.geometry = dump_geometry;
        flash.device = dump_device(flash.dump);
        if (mtd_open(flash.device, path, true) != 0) {
            flash_error(flash, "cannot open %s", path);
            return -1;
        }
        if (lock_flash(flash) != 0) return -1;
        if (mtd_get_info(flash.device, flash.info) != 0) {
            flash_error(flash, "%s is a dump: give its --erase and --page sizes", path);
            mtd_close(flash.device);
            return -1;
        }
        // A flash holds whole erase blocks: any other size means --erase
        // is not the geometry the dump was made with.
        if (flash.dump.size % flash.info.erasesize != 0) {
            flash_error(flash,
                        "%s is %llu bytes, not a whole number of %u-byte erase blocks: is --erase right?",
                        path, static_cast<unsigned long long>(flash.dump.size), flash.info.erasesize);
            mtd_close(flash.device);
            return -1;
        }
        if (check_bad_blocks(flash, path) != 0) {
            mtd_close(flash.device);
            return -1;
        }
    } else if (lock_flash(flash) != 0) {
        return -1;
    } else if (check_geometry(flash, path) != 0) {
        mtd_close(flash.device);
        return -1;
    }
    // MEMGETINFO's size wraps on chips of 4 GiB and more; the device (sysfs,
    // or the dump file's own size) knows the real one.
    if (mtd_total_size(flash.device, flash.size) != 0) flash.size = flash.info.size;
    if (flash.info.writesize == 1) flash.info.writesize = 2048;  // as the installer does
    return 0;
}

void close_flash(InspectFlash& flash) { mtd_close(flash.device); }

int read_flash(InspectFlash& flash, uint64_t offset, uint8_t* into, size_t size) {
    size_t done = 0;
    long got = 0;
    ++flash.reads;
    if (flash.position == static_cast<int64_t>(offset) || mtd_seek(flash.device, offset) == 0) {
        while (done < size) {
            got = mtd_read(flash.device, into + done, size - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += static_cast<size_t>(got);
        }
    } else {
        got = -1;
    }
    flash.position = done == size ? static_cast<int64_t>(offset + size) : -1;
    if (done == size) return 0;
    flash_error(flash, "read of %zu bytes at 0x%08llx failed: %s", size - done,
                static_cast<unsigned long long>(offset) + done, got < 0 ? strerror(errno) : "end of flash");
    return -1;
}

namespace {

// ECCGETSTATS into `stats`; the first refusal is said once and ends the asking.
bool ecc_stats(InspectFlash& flash, EccWatch& watch, mtd_ecc_stats& stats) {
    if (watch.asked && !watch.available) return false;
    watch.asked = true;
    if (mtd_get_ecc_stats(flash.device, stats) == 0) {
        watch.available = true;
        return true;
    }
    char note[300];
    if (flash.is_dump)
        snprintf(note, sizeof note, "%s is a dump file: it carries no ECC, so no ECC errors can be reported",
                 flash.path);
    else
        snprintf(note, sizeof note,
                 "%s does not answer ECCGETSTATS (%s): corrected bitflips and ECC failures cannot be seen",
                 flash.path, strerror(errno));
    watch.note = note;
    watch.available = false;
    print_message("drimlet-inspect: %s\n", note);
    return false;
}

}  // namespace

int read_flash_watched(InspectFlash& flash, EccWatch& watch, uint64_t offset, uint8_t* into, size_t size,
                       EccCount& delta) {
    delta = EccCount{};
    mtd_ecc_stats before = watch.last, after{};
    // The counts after the previous watched read are the counts before this
    // one when nothing was read in between: one request per block, not two.
    const bool counted =
        (watch.last_at_read != 0 && watch.last_at_read == flash.reads) || ecc_stats(flash, watch, before);
    if (read_flash(flash, offset, into, size) != 0) return -1;
    if (counted && ecc_stats(flash, watch, after)) {
        // The counters are 32 bits and only grow; unsigned differences survive a wrap.
        delta.corrected = static_cast<uint32_t>(after.corrected - before.corrected);
        delta.failed = static_cast<uint32_t>(after.failed - before.failed);
        watch.last = after;
        watch.last_at_read = flash.reads;
    }
    watch.total.corrected += delta.corrected;
    watch.total.failed += delta.failed;
    if (delta.corrected) ++watch.blocks_corrected;
    if (delta.failed) ++watch.blocks_failed;
    return 0;
}

int find_partition_table(InspectFlash& flash, FoundTable& found) {
    const uint32_t erasesize = flash.info.erasesize;
    const int64_t offset = find_partition_table_block(flash.device, flash.size, erasesize);
    if (offset < 0) {
        flash_error(flash, "no good erase block from 3.5 MiB up: no partition table");
        return -1;
    }
    found.offset = static_cast<uint64_t>(offset);
    found.page.assign(partition_table_page_size(flash.info.writesize), 0);
    if (read_flash(flash, found.offset, found.page.data(), found.page.size()) != 0) return -1;
    const char* problem = nullptr;
    if (decode_partition_table_page(found.page.data(), found.page.size(), found.table, problem) != 0) {
        flash_error(flash, "no valid partition table at 0x%08llx (the first good block from 3.5 MiB): %s",
                    static_cast<unsigned long long>(found.offset), problem);
        return -1;
    }
    return 0;
}

int check_listed_blocks(InspectFlash& flash, const FoundTable& found, ListedBlocks& listed) {
    listed = ListedBlocks{};
    const uint32_t erasesize = flash.info.erasesize;
    std::vector<uint8_t> block(erasesize);
    for (uint32_t k = 0; k < found.table.table_count; ++k) {
        const uint64_t offset = uint64_t{found.table.entries[k]} * erasesize;
        if (offset + erasesize > flash.size) {
            ++listed.past_end;
            continue;
        }
        if (read_flash(flash, offset, block.data(), erasesize) != 0) return -1;
        if (std::all_of(block.begin(), block.end(), [](uint8_t byte) { return byte == 0xFF; }))
            ++listed.erased;
    }
    return 0;
}

std::string geometry_warning(const InspectFlash& flash, uint64_t table_offset, uint32_t count,
                             const ListedBlocks& listed) {
    if (!flash.is_dump || (listed.past_end == 0 && listed.erased == 0)) return "";
    std::string which;
    if (listed.erased) which = format_text("%u erased", listed.erased);
    if (listed.past_end)
        which +=
            format_text("%s%u past the end of %s", which.empty() ? "" : " and ", listed.past_end, flash.path);
    return format_text(
        "warning: the partition table at 0x%08llx lists %u blocks, %s: the dump's geometry (--erase %u "
        "--page %u) "
        "may be wrong",
        static_cast<unsigned long long>(table_offset), count, which.c_str(), flash.info.erasesize,
        flash.info.writesize);
}
