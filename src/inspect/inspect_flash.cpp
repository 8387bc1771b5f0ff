#include "inspect/inspect_flash.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device/mtd_device_linux.h"

int open_flash(InspectFlash& flash, const char* path, const DumpGeometry& dump_geometry) {
    flash.device = linux_mtd_device();
    if (mtd_open(flash.device, path, true) != 0) {
        fprintf(stderr, "drimlet-inspect: cannot open %s\n", path);
        return -1;
    }
    // An MTD device answers MEMGETINFO; a regular file that does not is a dump.
    if (mtd_get_info(flash.device, flash.info) != 0) {
        flash.is_dump = is_regular_file(path);
        mtd_close(flash.device);
        if (!flash.is_dump) {
            fprintf(stderr, "drimlet-inspect: %s is not an MTD device\n", path);
            return -1;
        }
        flash.dump.geometry = dump_geometry;
        flash.device = dump_device(flash.dump);
        if (mtd_open(flash.device, path, true) != 0) {
            fprintf(stderr, "drimlet-inspect: cannot open %s\n", path);
            return -1;
        }
        if (mtd_get_info(flash.device, flash.info) != 0) {
            fprintf(stderr, "drimlet-inspect: %s is a dump: give its --erase and --page sizes\n", path);
            mtd_close(flash.device);
            return -1;
        }
    }
    flash.size = flash.is_dump ? flash.dump.size : flash.info.size;
    if (flash.info.writesize == 1) flash.info.writesize = 2048;  // as the installer does
    return 0;
}

void close_flash(InspectFlash& flash) { mtd_close(flash.device); }

int read_flash(InspectFlash& flash, uint64_t offset, uint8_t* into, size_t size) {
    size_t done = 0;
    long got = 0;
    if (mtd_seek(flash.device, offset) == 0) {
        while (done < size) {
            got = mtd_read(flash.device, into + done, size - done);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += static_cast<size_t>(got);
        }
    } else {
        got = -1;
    }
    if (done == size) return 0;
    fprintf(stderr, "drimlet-inspect: read of %zu bytes at 0x%08llx failed: %s\n", size - done,
            static_cast<unsigned long long>(offset) + done, got < 0 ? strerror(errno) : "end of flash");
    return -1;
}

int find_partition_table(InspectFlash& flash, FoundTable& found) {
    const uint32_t erasesize = flash.info.erasesize;
    const int64_t offset = find_partition_table_block(flash.device, flash.size, erasesize);
    if (offset < 0) {
        fprintf(stderr, "drimlet-inspect: no good erase block from 3.5 MiB up: no partition table\n");
        return -1;
    }
    found.offset = static_cast<uint64_t>(offset);
    found.page.assign(partition_table_page_size(flash.info.writesize), 0);
    if (read_flash(flash, found.offset, found.page.data(), found.page.size()) != 0) return -1;
    const char* problem = nullptr;
    if (decode_partition_table_page(found.page.data(), found.page.size(), found.table, problem) != 0) {
        fprintf(stderr,
                "drimlet-inspect: no valid partition table at 0x%08llx (the first good block from 3.5 MiB): "
                "%s\n",
                static_cast<unsigned long long>(found.offset), problem);
        return -1;
    }
    return 0;
}
