// drimlet-inspect dump: what the partition table lists, read back into a BIN
// image that drimlet installs again to the same flash contents.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/messages.h"
#include "image/bin_reader.h"
#include "inspect/inspect_commands.h"
#include "inspect/inspect_flash.h"
#include "inspect/inspect_report.h"
#include "table/partition_table.h"

namespace {

void store_le32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

int write_all(int fd, const uint8_t* data, size_t size) {
    for (size_t done = 0; done < size;) {
        ssize_t put = write(fd, data + done, size - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return -1;
        done += static_cast<size_t>(put);
    }
    return 0;
}

int write_record(int fd, uint32_t address, const uint8_t* data, uint32_t length) {
    uint8_t fields[12];
    store_le32(fields, address);
    store_le32(fields + 4, length);
    store_le32(fields + 8, add_to_record_checksum(0, data, length));
    return write_all(fd, fields, sizeof fields) == 0 && write_all(fd, data, length) == 0 ? 0 : -1;
}

// Bytes of `block` up to its last one that is not erased.
uint32_t used_length(const uint8_t* block, uint32_t size) {
    while (size > 0 && block[size - 1] == 0xFF) --size;
    return size;
}

}  // namespace

int dump_image(const InspectOptions& options, const char* flash_path, const char* out_path) {
    InspectFlash flash;
    if (open_flash(flash, flash_path, options.dump) != 0) return 1;
    FoundTable found;
    if (find_partition_table(flash, found) != 0) {
        close_flash(flash);
        return 1;
    }
    const uint32_t erasesize = flash.info.erasesize;
    const uint32_t blocks = found.table.table_count;
    const uint32_t start = options.dump_start;
    if (blocks == 0) {
        fprintf(stderr,
                "drimlet-inspect: the partition table at 0x%08llx lists no image blocks: nothing to dump\n",
                static_cast<unsigned long long>(found.offset));
        close_flash(flash);
        return 1;
    }
    // Address 0 ends a BIN image, so no record may start there or wrap to it.
    if (start == 0 || uint64_t{start} + uint64_t{blocks} * erasesize > UINT32_MAX) {
        fprintf(
            stderr,
            "drimlet-inspect: --start 0x%08x leaves no room for %u image blocks of %u bytes below 4 GiB\n",
            start, blocks, erasesize);
        close_flash(flash);
        return 1;
    }
    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[erasesize]);
    const int out = block ? open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644) : -1;
    if (out < 0) {
        print_message("drimlet-inspect: cannot create %s: %s\n", out_path,
                      block ? strerror(errno) : "out of memory");
        close_flash(flash);
        return 1;
    }
    printf("dump of %s: partition table at 0x%08llx (device block %llu), %s\n", flash_path,
           static_cast<unsigned long long>(found.offset),
           static_cast<unsigned long long>(found.offset / erasesize),
           count_of(blocks, "image block", "image blocks").c_str());
    // The header's length is filled in once the last block is known.
    uint8_t header[15] = {'B', '0', '0', '0', 'F', 'F', '\n'};
    store_le32(header + 7, start);
    bool failed = write_all(out, header, sizeof header) != 0;
    EccWatch watch;
    uint32_t span = 0;
    bool last_byte_used = false;
    for (uint32_t k = 0; k < blocks && !failed; ++k) {
        const uint64_t device_block = found.table.entries[k];
        const uint64_t offset = device_block * erasesize;
        EccCount ecc;
        if (offset + erasesize > flash.size ||
            read_flash_watched(flash, watch, offset, block.get(), erasesize, ecc) != 0) {
            if (offset + erasesize > flash.size)
                fprintf(stderr,
                        "drimlet-inspect: the partition table names device block %llu, past the end of the "
                        "flash\n",
                        static_cast<unsigned long long>(device_block));
            failed = true;
            break;
        }
        const std::string here = format_text("image block %u (device block %llu at 0x%08llx)", k,
                                             static_cast<unsigned long long>(device_block),
                                             static_cast<unsigned long long>(offset));
        if (ecc.corrected)
            printf("%s: %s (ECC corrected them: a warning)\n", here.c_str(),
                   count_of(ecc.corrected, "corrected bitflip", "corrected bitflips").c_str());
        if (ecc.failed)
            printf("%s: %s: the data read may not be what was written\n", here.c_str(),
                   count_of(ecc.failed, "uncorrectable ECC error", "uncorrectable ECC errors").c_str());
        // The installer hands a block on as soon as its last byte is placed
        // and the end record closes one more. So every block but the last is
        // one whole record, and the last stops before its erased tail: the
        // end record then closes that very block, as it did when the image
        // was installed.
        uint32_t length = erasesize;
        if (k + 1 == blocks) {
            length = used_length(block.get(), erasesize);
            last_byte_used = length == erasesize;
        }
        const uint32_t address = start + k * erasesize;
        if (length != 0) {
            failed = write_record(out, address, block.get(), length) != 0;
            span = address - start + length;
        }
    }
    uint8_t end_record[12] = {};
    if (!failed) {
        store_le32(header + 11, span);
        failed = write_all(out, end_record, sizeof end_record) != 0 ||
                 pwrite(out, header, sizeof header, 0) != sizeof header;
        if (failed) print_message("drimlet-inspect: cannot write %s: %s\n", out_path, strerror(errno));
    }
    const int closed = close(out);
    close_flash(flash);
    if (failed || closed != 0) {
        unlink(out_path);  // half a dump must not pass for an image
        return 1;
    }
    if (last_byte_used)
        printf(
            "dump: the last image block ends in data, not erased bytes: installing this dump gives one more, "
            "erased, image block than the partition table lists\n");
    printf("dump: wrote %s: a BIN image from 0x%08x, %s, %u bytes of records\n", out_path, start,
           count_of(blocks, "image block", "image blocks").c_str(), span);
    if (watch.blocks_failed) {
        printf("dump: %s read with uncorrectable ECC errors: the dump may not hold what was written\n",
               count_of(watch.blocks_failed, "block was", "blocks were").c_str());
        return 1;
    }
    if (watch.total.corrected)
        printf("dump: warning: %s in %s: ECC corrected them, but worn blocks may fail later\n",
               count_of(watch.total.corrected, "corrected bitflip", "corrected bitflips").c_str(),
               count_of(watch.blocks_corrected, "block", "blocks").c_str());
    return 0;
}
