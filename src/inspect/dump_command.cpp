// drimlet-inspect dump: what the partition table lists, read back into a BIN
// image that drimlet installs again to the same flash contents.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "common/interrupt.h"
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

// One dump being written: the flash read through the partition table, and
// the BIN image going out to `out`, a file or standard output (the report
// then goes to standard error).
struct Dump {
    InspectFlash& flash;
    const FoundTable& found;
    uint32_t erasesize;
    uint32_t start;  // image address of the first block
    int out;
    const char* out_name;  // the file, or "standard output"
    FILE* report;
    uint8_t* block;  // one erase block
    uint8_t* last;   // the last image block, read first: its length sets the header's
    EccWatch watch;
    EccCount last_ecc;
    uint32_t last_length = 0;
    uint32_t span = 0;  // bytes of records from `start`
};

// The partition table lists something to dump, and it fits below 4 GiB from
// `start`: 0, or -1 after a message.
int check_dump_range(const FoundTable& found, uint32_t start, uint32_t erasesize) {
    const uint32_t blocks = found.table.table_count;
    if (blocks == 0) {
        fprintf(stderr,
                "drimlet-inspect: the partition table at 0x%08llx lists no image blocks: nothing to dump\n",
                static_cast<unsigned long long>(found.offset));
        return -1;
    }
    // Address 0 ends a BIN image, so no record may start there or wrap to it.
    if (start == 0 || uint64_t{start} + uint64_t{blocks} * erasesize > UINT32_MAX) {
        fprintf(
            stderr,
            "drimlet-inspect: --start 0x%08x leaves no room for %u image blocks of %u bytes below 4 GiB\n",
            start, blocks, erasesize);
        return -1;
    }
    return 0;
}

int write_failed(const Dump& d) {
    print_message("drimlet-inspect: cannot write %s: %s\n", d.out_name, strerror(errno));
    return -1;
}

// Reads image block `k` into `into`: 0, or -1 after a message.
int read_image_block(Dump& d, uint32_t k, uint8_t* into, EccCount& ecc) {
    const uint64_t device_block = d.found.table.entries[k];
    const uint64_t offset = device_block * d.erasesize;
    if (offset + d.erasesize > d.flash.size) {
        fprintf(stderr,
                "drimlet-inspect: the partition table names device block %llu, past the end of the flash\n",
                static_cast<unsigned long long>(device_block));
        return -1;
    }
    return read_flash_watched(d.flash, d.watch, offset, into, d.erasesize, ecc);
}

void report_block_ecc(const Dump& d, uint32_t k, const EccCount& ecc) {
    const uint64_t device_block = d.found.table.entries[k];
    const std::string here = format_text("image block %u (device block %llu at 0x%08llx)", k,
                                         static_cast<unsigned long long>(device_block),
                                         static_cast<unsigned long long>(device_block) * d.erasesize);
    if (ecc.corrected)
        fprintf(d.report, "%s: %s (ECC corrected them: a warning)\n", here.c_str(),
                count_of(ecc.corrected, "corrected bitflip", "corrected bitflips").c_str());
    if (ecc.failed)
        fprintf(d.report, "%s: %s: the data read may not be what was written\n", here.c_str(),
                count_of(ecc.failed, "uncorrectable ECC error", "uncorrectable ECC errors").c_str());
}

// The installer hands a block on as soon as its last byte is placed and the
// end record closes one more. So every block but the last is one whole
// record, and the last stops before its erased tail: the end record then
// closes that very block, as it did when the image was installed. The last
// block is read first, so the header's length is known before anything is
// written and the dump can go down a pipe.
int read_last_block(Dump& d) {
    const uint32_t k = d.found.table.table_count - 1;
    if (read_image_block(d, k, d.last, d.last_ecc) != 0) return -1;
    d.last_length = used_length(d.last, d.erasesize);
    d.span = d.last_length ? k * d.erasesize + d.last_length : k * d.erasesize;
    return 0;
}

// Every listed block as one record: 0, or -1 when a read or write failed.
int write_records(Dump& d) {
    const uint32_t blocks = d.found.table.table_count;
    for (uint32_t k = 0; k + 1 < blocks; ++k) {
        if (take_interrupt() != 0) return -1;
        EccCount ecc;
        if (read_image_block(d, k, d.block, ecc) != 0) return -1;
        report_block_ecc(d, k, ecc);
        if (write_record(d.out, d.start + k * d.erasesize, d.block, d.erasesize) != 0) return write_failed(d);
    }
    report_block_ecc(d, blocks - 1, d.last_ecc);
    if (d.last_length == 0) return 0;
    return write_record(d.out, d.start + (blocks - 1) * d.erasesize, d.last, d.last_length) == 0
               ? 0
               : write_failed(d);
}

// The header, the records, then the end record: 0, or -1 after a message.
int write_dump(Dump& d) {
    if (read_last_block(d) != 0) return -1;
    uint8_t header[15] = {'B', '0', '0', '0', 'F', 'F', '\n'};
    store_le32(header + 7, d.start);
    store_le32(header + 11, d.span);
    const uint8_t end_record[12] = {};
    if (write_all(d.out, header, sizeof header) != 0) return write_failed(d);
    if (write_records(d) != 0) return -1;
    return write_all(d.out, end_record, sizeof end_record) == 0 ? 0 : write_failed(d);
}

// What the dump holds and how sound its reads were: the exit status.
int report_dump(const Dump& d) {
    if (d.last_length == d.erasesize)
        fprintf(d.report,
                "dump: the last image block ends in data, not erased bytes: installing this dump gives one "
                "more, erased, image block than the partition table lists\n");
    fprintf(d.report, "dump: wrote %s: a BIN image from 0x%08x, %s, %u bytes of records\n", d.out_name,
            d.start, count_of(d.found.table.table_count, "image block", "image blocks").c_str(), d.span);
    if (d.watch.blocks_failed) {
        fprintf(d.report,
                "dump: %s read with uncorrectable ECC errors: the dump may not hold what was written\n",
                count_of(d.watch.blocks_failed, "block was", "blocks were").c_str());
        return 1;
    }
    if (d.watch.total.corrected)
        fprintf(d.report, "dump: warning: %s in %s: ECC corrected them, but worn blocks may fail later\n",
                count_of(d.watch.total.corrected, "corrected bitflip", "corrected bitflips").c_str(),
                count_of(d.watch.blocks_corrected, "block", "blocks").c_str());
    return 0;
}

// Where the dump goes. A file is written under a temporary name in OUT's
// folder and renamed onto OUT only when whole, so a dump that fails leaves
// OUT as it was and removes nothing but its own temporary file.
struct DumpOutput {
    int fd = -1;
    std::string path;  // what OUT names, a link followed
    std::string temporary;
};

// Whether `status` is the file the flash was opened from, or its device
// under another name.
bool is_flash(const InspectFlash& flash, const struct stat& status) {
    struct stat opened {};
    if (fstat(flash.device.fd, &opened) != 0) return false;
    if (opened.st_dev == status.st_dev && opened.st_ino == status.st_ino) return true;
    return S_ISCHR(opened.st_mode) && S_ISCHR(status.st_mode) && opened.st_rdev == status.st_rdev;
}

// Refuses an OUT that dumping would harm: the flash itself, a device node
// (an MTD device, /dev/null as a read test) or anything else that is not a
// regular file; standard output that is the flash. 0, or -1 after a message.
int check_output(const InspectFlash& flash, const char* out_path) {
    struct stat status {};
    if (strcmp(out_path, "-") == 0) {
        if (fstat(STDOUT_FILENO, &status) != 0 || !is_flash(flash, status)) return 0;
        print_message("drimlet-inspect: standard output is the flash being read: dump to another file\n");
        return -1;
    }
    if (stat(out_path, &status) != 0) return 0;  // a new file
    if (is_flash(flash, status))
        print_message("drimlet-inspect: %s is the flash being read: dump to another file\n", out_path);
    else if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode))
        print_message(
            "drimlet-inspect: %s is a device node: dump writes a file, or \"-\" for standard output\n",
            out_path);
    else if (!S_ISREG(status.st_mode))
        print_message(
            "drimlet-inspect: %s is not a regular file: dump writes a file, or \"-\" for standard output\n",
            out_path);
    else
        return 0;
    return -1;
}

// The permissions a new file gets from open(..., 0644), or those of the
// file being replaced.
mode_t output_mode(const std::string& path) {
    struct stat status {};
    if (stat(path.c_str(), &status) == 0) return status.st_mode & 07777;
    const mode_t mask = umask(0);
    umask(mask);
    return 0644 & ~mask;
}

// Creates the temporary file beside OUT: 0, or -1 after a message.
int open_output(const char* out_path, DumpOutput& output) {
    // Through a link, the dump replaces the file the link points to, as a
    // write into it did, and not the link.
    char resolved[PATH_MAX];
    output.path = realpath(out_path, resolved) ? resolved : out_path;
    const size_t slash = output.path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : output.path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? output.path : output.path.substr(slash + 1);
    std::string pattern = folder + "." + name + ".XXXXXX";
    output.fd = mkostemp(&pattern[0], O_CLOEXEC);
    if (output.fd < 0 || fchmod(output.fd, output_mode(output.path)) != 0) {
        print_message("drimlet-inspect: cannot create %s: %s\n", out_path, strerror(errno));
        if (output.fd >= 0) {
            close(output.fd);
            unlink(pattern.c_str());
        }
        return -1;
    }
    output.temporary = pattern;
    return 0;
}

// Closes the temporary file and renames it onto OUT when `whole`, or
// removes it: 0 when OUT now holds the dump, -1 (after a message when
// closing or renaming failed) otherwise.
int finish_output(DumpOutput& output, const char* out_path, bool whole) {
    const bool closed = close(output.fd) == 0;
    if (whole && closed && rename(output.temporary.c_str(), output.path.c_str()) == 0) return 0;
    if (whole && !closed)
        print_message("drimlet-inspect: cannot write %s: %s\n", out_path, strerror(errno));
    else if (whole)
        print_message("drimlet-inspect: cannot rename %s to %s: %s\n", output.temporary.c_str(), out_path,
                      strerror(errno));
    unlink(output.temporary.c_str());
    return -1;
}

// The table found, and for a dump file its entries looked at: 0, or -1
// after a message when there is nothing to dump.
int find_what_to_dump(InspectFlash& flash, uint32_t start, FoundTable& found, ListedBlocks& listed) {
    if (find_partition_table(flash, found) != 0 || check_dump_range(found, start, flash.info.erasesize) != 0)
        return -1;
    return flash.is_dump ? check_listed_blocks(flash, found, listed) : 0;
}

// Writes the dump of what `found` lists to `out_path` ("-": standard
// output): the exit status.
int dump_found(const InspectOptions& options, InspectFlash& flash, const FoundTable& found,
               const ListedBlocks& listed, const char* out_path) {
    const bool to_stdout = strcmp(out_path, "-") == 0;
    const uint32_t erasesize = flash.info.erasesize;
    std::unique_ptr<uint8_t[]> blocks(new (std::nothrow) uint8_t[2 * size_t{erasesize}]);
    if (!blocks) {
        print_message("drimlet-inspect: cannot create %s: out of memory\n", out_path);
        return 1;
    }
    DumpOutput output;
    if (!to_stdout && open_output(out_path, output) != 0) return 1;
    Dump dump{flash,
              found,
              erasesize,
              options.dump_start,
              to_stdout ? STDOUT_FILENO : output.fd,
              to_stdout ? "standard output" : out_path,
              to_stdout ? stderr : stdout,
              blocks.get(),
              blocks.get() + erasesize,
              {},
              {}};
    fprintf(dump.report, "dump of %s: partition table at 0x%08llx (device block %llu), %s\n", flash.path,
            static_cast<unsigned long long>(found.offset),
            static_cast<unsigned long long>(found.offset / erasesize),
            count_of(found.table.table_count, "image block", "image blocks").c_str());
    const std::string warning = geometry_warning(flash, found.offset, found.table.table_count, listed);
    if (!warning.empty()) fprintf(dump.report, "dump: %s\n", warning.c_str());
    const bool written = write_dump(dump) == 0;
    if (!to_stdout && finish_output(output, out_path, written) != 0) return 1;
    return written ? report_dump(dump) : 1;
}

}  // namespace

int dump_image(const InspectOptions& options, const char* flash_path, const char* out_path) {
    // A BIN image is no text for a terminal.
    if (strcmp(out_path, "-") == 0 && isatty(STDOUT_FILENO)) {
        print_message(
            "drimlet-inspect: standard output is a terminal: redirect it to a file or a pipe to "
            "dump to \"-\"\n");
        return 1;
    }
    InspectFlash flash;
    if (open_flash(flash, flash_path, options.dump) != 0) return 1;
    if (check_output(flash, out_path) != 0) {
        close_flash(flash);
        return 1;
    }
    // Ctrl-C stops a dump to a file between blocks, so its temporary file
    // is removed before the program dies of the signal; standard output has
    // nothing to remove.
    if (strcmp(out_path, "-") != 0) catch_interrupts();
    FoundTable found;
    ListedBlocks listed;
    const int status = find_what_to_dump(flash, options.dump_start, found, listed) == 0
                           ? dump_found(options, flash, found, listed, out_path)
                           : 1;
    close_flash(flash);
    // A dump renamed into place is complete, and ends as usual. The report
    // so far is not lost with the program.
    fflush(stdout);
    if (status != 0) raise_noted_interrupt();
    return status;
}
