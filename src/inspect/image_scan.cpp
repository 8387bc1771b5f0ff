#include "inspect/image_scan.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/messages.h"
#include "run/image_source.h"

namespace {

const char* const kOtherBinSignatures[] = {"N000FF", "X000FF", "S000FF", "R000FF"};

struct Source {
    int fd;
    int copy_fd;
    ImageScan& scan;
};

// Reads up to `size` bytes, as many as there are: the count, or -1 with the
// scan's read_error set. Silent, unlike the installer's read_exact: plan and
// verify run the installer's reader afterwards, which prints its own lines.
long read_up_to(Source& source, uint8_t* into, size_t size) {
    size_t done = 0;
    while (done < size) {
        ssize_t got = read(source.fd, into + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            source.scan.read_error = errno;
            return -1;
        }
        if (got == 0) break;
        done += static_cast<size_t>(got);
    }
    if (source.copy_fd >= 0) {
        for (size_t copied = 0; copied < done;) {
            ssize_t put = write(source.copy_fd, into + copied, done - copied);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                source.scan.read_error = put < 0 ? errno : EIO;
                return -1;
            }
            copied += static_cast<size_t>(put);
        }
    }
    return static_cast<long>(done);
}

// Follows the installer's block assembler: a record below the block being
// filled is refused; a record beyond the next block boundary first closes
// the blocks in between; a block goes out as soon as its last byte is
// placed; the end record closes the block being filled, whatever it holds.
// `filling` is the number of the image block being filled.
void place_record(ImageScan& scan, ScannedRecord& record, uint64_t& filling) {
    const uint64_t start = scan.header.start;
    const uint64_t erase = scan.erasesize;
    if (record.address < start + filling * erase) {
        record.out_of_order = true;
        record.filled_block = filling;
        ++scan.out_of_order;
        return;
    }
    const uint64_t offset = record.address - start;
    if (offset > (filling + 1) * erase) filling = (offset + erase - 1) / erase - 1;
    if (record.length != 0) filling = std::max(filling, (offset + record.length) / erase);
}

// Gaps and overlaps between the records' ranges, in address order, from the
// image start on.
void note_ranges(ImageScan& scan) {
    std::vector<size_t> order;
    for (size_t i = 0; i < scan.records.size(); ++i)
        if (scan.records[i].length != 0) order.push_back(i);
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return scan.records[a].address < scan.records[b].address; });
    uint64_t covered_to = scan.header.start;
    size_t reaching = 0;  // the record that reaches covered_to
    bool any = false;
    for (size_t i : order) {
        const ScannedRecord& record = scan.records[i];
        const uint64_t end = uint64_t{record.address} + record.length;
        if (record.address > covered_to) {
            scan.gaps.push_back(RangeGap{covered_to, record.address - covered_to});
        } else if (any && record.address < covered_to) {
            scan.overlaps.push_back(
                RangeOverlap{i, reaching, record.address, std::min(end, covered_to) - record.address});
        }
        if (end > covered_to || !any) {
            covered_to = std::max(covered_to, end);
            reaching = i;
        }
        any = true;
    }
    scan.records_end = any ? covered_to : 0;
}

int read_records(Source& source, uint64_t& filling) {
    ImageScan& scan = source.scan;
    uint8_t chunk[1 << 16];
    for (;;) {
        uint8_t fields[12];
        const long got = read_up_to(source, fields, sizeof fields);
        if (got < 0) return -1;
        if (got < static_cast<long>(sizeof fields)) {
            scan.truncated = "a record header";
            return 0;
        }
        ScannedRecord record;
        record.address = load_le32(fields);
        record.length = load_le32(fields + 4);
        record.checksum = load_le32(fields + 8);
        if (record.address == 0) {
            // The end record: its length field carries the entry point.
            scan.ended = true;
            scan.entry_point = record.length;
            scan.end_checksum = record.checksum;
            return 0;
        }
        for (uint32_t left = record.length; left != 0;) {
            const size_t want = left < sizeof chunk ? left : sizeof chunk;
            const long piece = read_up_to(source, chunk, want);
            if (piece < 0) return -1;
            record.sum = add_to_record_checksum(record.sum, chunk, static_cast<size_t>(piece));
            left -= static_cast<uint32_t>(piece);
            if (static_cast<size_t>(piece) < want) {
                record.complete = false;
                scan.truncated = "a record's data";
                break;
            }
        }
        if (record.complete && record.sum != record.checksum) ++scan.checksum_mismatches;
        if (scan.erasesize != 0) place_record(scan, record, filling);
        scan.records.push_back(record);
        if (!record.complete) return 0;
    }
}

}  // namespace

int scan_image(int image_fd, int copy_fd, uint32_t erasesize, ImageScan& scan) {
    scan = ImageScan{};
    scan.erasesize = erasesize;
    Source source{image_fd, copy_fd, scan};
    const long got = read_up_to(source, scan.first_bytes, sizeof scan.first_bytes);
    if (got < 0) return -1;
    scan.first_byte_count = static_cast<size_t>(got);
    if (scan.first_byte_count < sizeof scan.first_bytes) {
        scan.kind = ImageKind::kTooShort;
        return 0;
    }
    const char* signature = reinterpret_cast<const char*>(scan.first_bytes);
    if (memcmp(signature, "B000FF\n", 7) == 0) {
        scan.kind = ImageKind::kBin;
    } else {
        scan.kind = ImageKind::kNotBin;
        for (const char* other : kOtherBinSignatures)
            if (memcmp(signature, other, 6) == 0) scan.kind = ImageKind::kOtherBin;
    }
    if (scan.kind != ImageKind::kNotBin) scan.signature.assign(signature, 6);
    if (scan.kind != ImageKind::kBin) return 0;

    uint8_t fields[8];
    const long header = read_up_to(source, fields, sizeof fields);
    if (header < 0) return -1;
    if (header < static_cast<long>(sizeof fields)) {
        scan.truncated = "the image header";
        return 0;
    }
    scan.header_complete = true;
    scan.header.start = load_le32(fields);
    scan.header.length = load_le32(fields + 4);
    uint64_t filling = 0;
    int result = read_records(source, filling);
    // The end record closes the block being filled; an image that ends
    // early counts the blocks its records reached.
    scan.image_blocks = filling + 1;
    note_ranges(scan);
    if (result == 0 && scan.ended) {
        uint8_t rest[1 << 12];
        long more;
        while ((more = read_up_to(source, rest, sizeof rest)) > 0)
            scan.trailing_bytes += static_cast<uint64_t>(more);
        if (more < 0) result = -1;
    }
    return result;
}

int prepare_image(const char* path, uint32_t erasesize, PreparedImage& image) {
    const bool from_stdin = strcmp(path, "-") == 0;
    // The installer's own opening, with its messages.
    std::vector<std::string> refusal;
    const MessageDestination previous = set_message_destination(MessageDestination{&refusal});
    image.fd = open_image(path);
    set_message_destination(previous);
    for (const std::string& line : refusal) print_message("%s\n", line.c_str());
    if (image.fd < 0) {
        image.error = refusal.empty() ? "the image cannot be opened" : refusal.back();
        return -1;
    }
    image.owns_fd = !from_stdin;
    image.error = "the image cannot be read twice";
    const off_t at = lseek(image.fd, 0, SEEK_CUR);
    if (at >= 0) {
        scan_image(image.fd, -1, erasesize, image.scan);
        if (lseek(image.fd, at, SEEK_SET) == at) return 0;
        fprintf(stderr, "drimlet-inspect: cannot go back to the start of %s: %s\n", path, strerror(errno));
        return -1;
    }
    // A pipe cannot be read twice: keep what the scan reads in a file
    // nobody else can open, and let the installer's reader have that.
    FILE* copy = tmpfile();
    const int copy_fd = copy ? dup(fileno(copy)) : -1;
    if (copy) fclose(copy);
    if (copy_fd < 0) {
        fprintf(stderr, "drimlet-inspect: cannot keep a copy of %s to read it twice: %s\n", path,
                strerror(errno));
        return -1;
    }
    scan_image(image.fd, copy_fd, erasesize, image.scan);
    release_image(image);
    image.fd = copy_fd;
    image.owns_fd = true;
    image.streamed = true;
    if (lseek(copy_fd, 0, SEEK_SET) != 0) {
        fprintf(stderr, "drimlet-inspect: cannot read back the copy of %s: %s\n", path, strerror(errno));
        return -1;
    }
    return 0;
}

void release_image(PreparedImage& image) {
    if (image.owns_fd) close(image.fd);
    image.fd = -1;
    image.owns_fd = false;
}

std::string describe_record(size_t index, const ScannedRecord& record) {
    char text[200];
    int used = snprintf(text, sizeof text, "record %zu at 0x%08x, %u bytes, checksum 0x%08x: ", index,
                        record.address, record.length, record.checksum);
    if (!record.complete)
        snprintf(text + used, sizeof text - static_cast<size_t>(used), "the image ends inside its data");
    else if (record.sum == record.checksum)
        snprintf(text + used, sizeof text - static_cast<size_t>(used), "matches");
    else
        snprintf(text + used, sizeof text - static_cast<size_t>(used),
                 "does not match (the data sums to 0x%08x)", record.sum);
    return text;
}
