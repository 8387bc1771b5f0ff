// libFuzzer target: a whole install, in process, of arbitrary image bytes onto
// an in-memory NAND whose geometry, bad blocks and faults come from the input.
// After every input it checks, with its own small model of the layout:
//   - the flash never saw a program of a page that is not erased, nor a
//     write into a bad block, nor an erase or write outside blocks 2..N and
//     the partition table search area;
//   - the flash's cells change only through its own erase and write: they
//     are read-only while anything else runs, so a failed install that made
//     no erase or write request left the flash as it was;
//   - status 0 only when the partition table page is exactly right at the
//     block the loader reads (the first good one from 3.5 MiB up), every
//     table entry's block holds exactly the bytes the image lays there, and
//     every other block is byte for byte what it was before the run (but
//     for blocks the run passed over after a failure and tried to mark bad);
//   - no block is marked bad unless the chip failed it first: its erase or
//     a write into it answered EIO, a read-back of it met a byte that did
//     not hold or an uncorrectable error twice since its program, or, in
//     the partition table search area, its bad-block query failed (the
//     loader may read such a block);
//   - on a device without faults, the status is the one the model predicts;
//   - after any run, the block the loader reads (the first from 3.5 MiB up
//     whose bad-block query answers good, marks included) holds the
//     complete new table with status 0, the old table with the old install
//     intact, or no magic;
//   - on a device without faults, an install of an image file that fails
//     (found by its check before writing) makes no erase, write or mark
//     request, whatever the geometry.
//
// Input: 12 bytes of device settings, then the image. Unless the settings
// say otherwise, the harness gives every record the checksum of its data, so
// mutated images get past the checksum check to the layout behind it.
//
// Speed: the chip's cells live from one input to the next, erased; only the
// blocks a run erased or wrote, and those the harness laid an old install
// in, are compared and erased again. Every allocation an input makes is
// freed before it ends, so libFuzzer never reruns it to look for a leak.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flash/read_back.h"
#include "memory_flash.h"
#include "run/flash_run.h"
#include "run/run_sequence.h"

namespace {

FILE* g_report = nullptr;  // the real standard error, for the harness's own findings

[[noreturn]] void broken(const char* what) {
    fprintf(g_report ? g_report : stderr, "invariant broken: %s\n", what);
    abort();
}

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

constexpr uint32_t kLargestChip = 6u << 20;
constexpr uint32_t kLargestErase = 256u << 10;

// The flash's cells are read-only while anything but its own erase and
// write runs: the installer least of all may change them behind its
// requests. The blocks of the latest erase or write stay open until a
// request for other blocks, as opening and closing around every request
// would cost more than the request; those blocks are the ones the checks
// compare anyway. (The protection covers the whole pages inside the buffer.)
struct CellGuard {
    uint8_t* begin = nullptr;
    uint8_t* end = nullptr;
    uint64_t open_from = 0, open_to = 0;  // the open blocks' bytes
    MtdDevice flash_device{};             // the memory flash's own requests
    MemoryFlash* flash = nullptr;
};
CellGuard g_guard;

uintptr_t page_size() {
    static const uintptr_t size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return size;
}

void protect_cells(uint64_t from, uint64_t to, int access) {
    const uintptr_t page = page_size();
    const uintptr_t base = reinterpret_cast<uintptr_t>(g_guard.flash->bytes.data());
    uintptr_t first = (base + from) / page * page, last = (base + to + page - 1) / page * page;
    first = std::max(first, reinterpret_cast<uintptr_t>(g_guard.begin));
    last = std::min(last, reinterpret_cast<uintptr_t>(g_guard.end));
    if (first < last && mprotect(reinterpret_cast<void*>(first), last - first, access) != 0) abort();
}

void close_open_blocks() {
    if (g_guard.open_from < g_guard.open_to) protect_cells(g_guard.open_from, g_guard.open_to, PROT_READ);
    g_guard.open_from = g_guard.open_to = 0;
}

// Opens the whole erase blocks that [from, from + length) lies in.
void open_blocks(uint64_t from, uint64_t length) {
    const uint32_t e = g_guard.flash->info.erasesize;
    const uint64_t size = g_guard.flash->info.size;
    const uint64_t first = std::min(from / e * e, size);
    const uint64_t last = std::min((from + length + e - 1) / e * e, size);
    if (first >= g_guard.open_from && last <= g_guard.open_to) return;
    close_open_blocks();
    protect_cells(first, last, PROT_READ | PROT_WRITE);
    g_guard.open_from = first;
    g_guard.open_to = last;
}

int guarded_erase(MtdDevice& device, uint32_t offset, uint32_t length) {
    open_blocks(offset, length);
    return g_guard.flash_device.erase(device, offset, length);
}

long guarded_write(MtdDevice& device, const uint8_t* data, size_t size) {
    open_blocks(g_guard.flash->position, size);
    return g_guard.flash_device.write(device, data, size);
}

MtdDevice guarded_device(MemoryFlash& flash) {
    g_guard.flash = &flash;
    g_guard.flash_device = memory_flash_device(flash);
    const uintptr_t page = page_size();
    const uintptr_t base = reinterpret_cast<uintptr_t>(flash.bytes.data());
    g_guard.begin = reinterpret_cast<uint8_t*>((base + page - 1) / page * page);
    g_guard.end = reinterpret_cast<uint8_t*>((base + flash.bytes.size()) / page * page);
    MtdDevice device = g_guard.flash_device;
    device.erase = guarded_erase;
    device.write = guarded_write;
    return device;
}

// Runs `write` with the cells of [from, to) writable: the harness's own
// changes, an old install laid before the run and the erasing after it.
template <typename Write>
void write_cells(uint64_t from, uint64_t to, Write write) {
    protect_cells(from, to, PROT_READ | PROT_WRITE);
    write();
    protect_cells(from, to, PROT_READ);
}

// The model: the image's bytes as the loader must find them, block by
// block, or why there are none. Each record is kept as its pieces, one per
// erase block it touches, in block order; a block is laid out only when a
// check needs it.
struct Piece {
    uint64_t block;
    uint32_t within;
    uint32_t length;
    const uint8_t* data;
};

struct Model {
    bool valid = false;  // parses, records in order, checksums match (unless ignored), fits the table
    uint64_t block_count = 0;
    uint32_t erase = 0;
    std::vector<Piece>* pieces = nullptr;
};

uint32_t sum_of(const uint8_t* data, uint64_t length) {
    uint32_t sum = 0;
    for (uint64_t i = 0; i < length; ++i) sum += data[i];
    return sum;
}

// Gives every data record whose bytes are all there the checksum of its data.
void fix_checksums(std::vector<uint8_t>& image) {
    for (size_t at = 15; image.size() >= 12 && at <= image.size() - 12;) {
        const uint64_t address = le32(&image[at]), length = le32(&image[at + 4]);
        if (address == 0 || length > image.size() - at - 12) return;
        const uint32_t sum = sum_of(&image[at + 12], length);
        for (int i = 0; i < 4; ++i) image[at + 8 + i] = static_cast<uint8_t>(sum >> (8 * i));
        at += 12 + length;
    }
}

Model model_image(const uint8_t* data, size_t size, uint32_t erase, bool check_sums,
                  std::vector<Piece>& pieces) {
    Model model;
    model.erase = erase;
    model.pieces = &pieces;
    pieces.clear();
    if (size < 15 || memcmp(data, "B000FF\n", 7) != 0 || erase == 0) return model;
    const uint64_t start = le32(data + 7);
    uint64_t current = 0;
    size_t at = 15;
    for (;;) {
        if (size - at < 12) return model;
        uint64_t address = le32(data + at), length = le32(data + at + 4);
        at += 12;
        if (address == 0) break;
        if (address < start + current * erase) return model;  // out of order
        // The installer hands out each block a record fills before it has
        // the record's last byte and checksum: the pieces of a record cut
        // short or with a wrong sum are kept, for the blocks it may have laid.
        const uint64_t offset = address - start, present = std::min<uint64_t>(length, size - at);
        for (uint64_t done = 0; done < present;) {
            const uint64_t within = (offset + done) % erase;
            const uint64_t piece = std::min<uint64_t>(present - done, erase - within);
            pieces.push_back(Piece{(offset + done) / erase, static_cast<uint32_t>(within),
                                   static_cast<uint32_t>(piece), data + at + done});
            done += piece;
        }
        if (length > size - at) return model;
        if (check_sums && sum_of(data + at, length) != le32(data + at - 4)) return model;
        at += length;
        uint64_t reach = length
                             ? (offset + length) / erase
                             : (offset > erase * (current + 1) ? (offset + erase - 1) / erase - 1 : current);
        if (reach > current) current = reach;
        if (current >= 466) return model;  // a 467th block would be needed
    }
    model.block_count = current + 1;
    model.valid = true;
    return model;
}

// Image block k as the model lays it out, into `out` (one erase block).
void lay_out_block(const Model& model, uint64_t k, uint8_t* out) {
    memset(out, 0xFF, model.erase);
    const std::vector<Piece>& pieces = *model.pieces;
    auto piece = std::lower_bound(pieces.begin(), pieces.end(), k,
                                  [](const Piece& p, uint64_t block) { return p.block < block; });
    for (; piece != pieces.end() && piece->block == k; ++piece)
        memcpy(out + piece->within, piece->data, piece->length);
}

struct Device {
    uint32_t erase, page, size, nonfs;
    bool faults;
};

bool is_bad(uint32_t block, uint8_t density, uint8_t seed) {
    return density && (block * 2654435761u ^ seed) % (density % 16 + 2) == 0;
}

uint64_t search_start_block(const Device& device) { return (0x380000u + device.erase - 1) / device.erase; }

// The block the loader reads: the first one from 3.5 MiB up that the chip
// marks good. -1 when there is none.
int64_t loader_table_block(const MemoryFlash& flash, const Device& device) {
    for (uint64_t c = search_start_block(device); c * device.erase < device.size; ++c)
        if (!flash.bad_blocks.count(static_cast<uint32_t>(c))) return static_cast<int64_t>(c);
    return -1;
}

// The loader's block as the installer can know it: the first block from
// 3.5 MiB up whose bad-block query answers good. A block whose query fails is
// skipped like a bad one; the answers cannot say what the loader makes of it.
int64_t answered_table_block(const MemoryFlash& flash, const Device& device) {
    for (uint64_t c = search_start_block(device); c * device.erase < device.size; ++c)
        if (!flash.bad_blocks.count(static_cast<uint32_t>(c)) &&
            !flash.fail_query.count(static_cast<uint32_t>(c)))
            return static_cast<int64_t>(c);
    return -1;
}

bool is_erase_or_write(const FlashRequest& request) {
    return request.kind == FlashRequest::kErase || request.kind == FlashRequest::kWrite;
}

// The erase block an erase or write request lands in.
uint64_t request_block(const FlashRequest& request, uint32_t erase) { return request.offset / erase; }

// What the run did to each block, from the flash's requests.
struct Touched {
    std::vector<uint8_t> changed;  // erased, or written with at least one byte taken
    std::vector<uint8_t> retired;  // passed over after a failure: the run tried to mark it bad
};

void note_touched(const MemoryFlash& flash, const Device& device, Touched& touched) {
    const uint64_t blocks = device.size / device.erase;
    touched.changed.assign(blocks, false);
    touched.retired.assign(blocks, false);
    for (const FlashRequest& request : flash.requests) {
        const uint64_t block = request.offset / device.erase;
        if (request.kind == FlashRequest::kMark && block < blocks) touched.retired[block] = true;
        if (request.kind == FlashRequest::kErase && request.result == 0 && block < blocks)
            touched.changed[block] = true;
        if (request.kind == FlashRequest::kWrite && request.result > 0)
            for (uint64_t b = block; b <= (request.offset + request.result - 1) / device.erase && b < blocks;
                 ++b)
                touched.changed[b] = true;
    }
}

// What the chip held before the run: erased, but for an earlier install.
struct Before {
    bool old_install = false;
    uint64_t table_block = 0, top = 0;
    std::vector<uint8_t> table;  // the old table's block
    std::vector<uint8_t> erased, zeroed;
};

const uint8_t* before_block(const Before& before, uint64_t block) {
    if (before.old_install && block == before.table_block) return before.table.data();
    if (before.old_install && (block == before.top || block == before.top - 1)) return before.zeroed.data();
    return before.erased.data();
}

bool as_before(const MemoryFlash& flash, const Before& before, uint64_t block, uint32_t erase) {
    return memcmp(flash.bytes.data() + block * erase, before_block(before, block), erase) == 0;
}

void check_requests_in_bounds(const MemoryFlash& flash, const Device& device) {
    if (flash.violations) broken("program of a page that is not erased, or of a bad block");
    const uint32_t e = device.erase;
    const uint64_t top = e ? device.nonfs / e : 0;
    const uint64_t search = search_start_block(device);
    for (const FlashRequest& request : flash.requests) {
        if (!is_erase_or_write(request)) continue;
        if (request.kind == FlashRequest::kWrite && request.offset % e + request.length > e)
            broken("a write crosses an erase block boundary");
        const uint64_t where = request_block(request, e);
        if (!(where >= 2 && where <= top) && where < search)
            broken("erase or write outside the allowed blocks");
    }
}

// Only the chip's own failures may retire a block: a mark of any other is
// for good, on a block that works. An uncorrectable read-back counts once
// it repeats: two reads since the block's last program.
void check_marks(const MemoryFlash& flash, const Device& device, uint64_t search_end) {
    const uint32_t e = device.erase;
    const uint64_t blocks = device.size / e;
    static std::vector<uint8_t> failed, uncorrectable;
    failed.assign(blocks, false);
    uncorrectable.assign(blocks, 0);
    for (const FlashRequest& request : flash.requests) {
        const uint64_t block = request.offset / e;
        if (block >= blocks) continue;
        switch (request.kind) {
            case FlashRequest::kErase:
            case FlashRequest::kWrite:
                if (request.result < 0 && request.error == EIO) failed[block] = true;
                if (request.result >= 0) uncorrectable[block] = 0;
                break;
            case FlashRequest::kRead:
                if (request.wrong_bytes)
                    for (uint64_t b = block; b <= (request.offset + request.result - 1) / e && b < blocks;
                         ++b)
                        failed[b] = true;
                if (request.uncorrectable && ++uncorrectable[block] >= 2) failed[block] = true;
                break;
            case FlashRequest::kQuery:
                if (request.result < 0 && block >= search_start_block(device) && request.offset < search_end)
                    failed[block] = true;
                break;
            case FlashRequest::kMark:
                if (!failed[block])
                    broken(
                        "a block marked bad that the chip never failed (EIO from its erase or a write, a "
                        "byte "
                        "that did not hold, an uncorrectable read-back twice)");
                break;
            default: break;
        }
    }
}

// A success must leave a board that boots the image: the table where the
// loader looks, every listed block holding the model's bytes, and nothing
// else on the chip changed, so neither the boot loader nor the Filesystem
// partition loses a byte.
void check_success(const MemoryFlash& flash, const Device& device, const Model& model, const Before& before,
                   const Touched& touched, uint8_t* scratch) {
    if (!model.valid) broken("status 0 for an image the model refuses");
    const uint32_t e = device.erase;
    const uint64_t top = device.nonfs / e;
    const int64_t loader = answered_table_block(flash, device);
    if (loader < 0) broken("status 0 with no good block where the loader looks");
    const uint8_t* page = flash.bytes.data() + loader * e;
    static const uint8_t head[24] = {'V', 'O', 'L', 'M', 'E',  'R',  'A',  'C',  'O',  'N',  'F',  'I',
                                     'G', 'B', 'L', 'K', 0x00, 0x40, 0x01, 0xCF, 0xEA, 0x40, 0x10, 0x00};
    if (memcmp(page, head, 24) != 0 || le32(page + 24) != 64)
        broken("no partition table header at the block the loader reads");
    size_t count = 0;
    while (count < 466 && (page[28 + 2 * count] | page[29 + 2 * count] << 8)) ++count;
    if (count != model.block_count) broken("table length differs from the image's block count");
    if (memcmp(page + 28 + 2 * count, before.zeroed.data(), 960 - 28 - 2 * count) != 0)
        broken("table tail not zero");
    if (memcmp(page + 960, before.erased.data(), e - 960) != 0)
        broken("partition table block not erased after the page");
    static std::vector<uint8_t> listed;
    listed.assign(device.size / e, false);
    uint64_t previous = top + 1;
    for (size_t k = 0; k < count; ++k) {
        uint64_t block = page[28 + 2 * k] | page[29 + 2 * k] << 8;
        if (block >= previous || block < 2) broken("table entries not counting down inside the partition");
        if (block == static_cast<uint64_t>(loader)) broken("image block under the partition table");
        if (block >= listed.size()) broken("table entry beyond the end of the chip");
        lay_out_block(model, k, scratch);
        if (memcmp(flash.bytes.data() + block * e, scratch, e) != 0)
            broken("image block differs from the model");
        listed[block] = true;
        previous = block;
    }
    listed[static_cast<size_t>(loader)] = true;
    // A block that failed its erase, program or read-back is passed over and
    // marked bad (a failed mark of an image block does not stop the install).
    for (const FlashRequest& request : flash.requests) {
        if (!is_erase_or_write(request)) continue;
        const uint64_t block = request_block(request, e);
        if (block >= listed.size()) broken("an erase or write past the end of the chip");
        if (listed[block] || touched.retired[block]) continue;
        // A block may be erased in the search for a good one, but only a
        // listed block or the table's may be written.
        if (request.kind == FlashRequest::kWrite) broken("a write into a block the table does not list");
        if (block < 2 || block > top)
            broken("an erase outside the non-Filesystem partition that holds nothing");
    }
    // Blocks no erase or write reached are as they were: their cells were
    // read-only all along.
    for (size_t b = 0; b < listed.size(); ++b)
        if (touched.changed[b] && !listed[b] && !touched.retired[b] && !as_before(flash, before, b, e))
            broken("a block outside the image and the partition table changed");
}

// An earlier install: a partition table the loader would read, listing two
// blocks full of old data. Returns whether the chip had room for one.
bool put_old_install(MemoryFlash& flash, const Device& device, Before& before) {
    const int64_t block = loader_table_block(flash, device);
    const uint32_t top = device.erase ? device.nonfs / device.erase : 0;
    if (block < 0 || device.erase < 1024 || top < 3 || uint64_t{top} * device.erase >= device.size ||
        block == top || block == top - 1)
        return false;
    uint8_t* page = flash.bytes.data() + block * device.erase;
    write_cells(block * device.erase, (block + 1) * device.erase, [&] {
        memset(page, 0xFF, device.erase);
        memcpy(page, "VOLMERACONFIGBLK\x00\x40\x01\xCF\xEA\x40\x10\x00\x40\x00\x00\x00", 28);
        memset(page + 28, 0, 932);
        for (uint32_t k = 0; k < 2; ++k) {
            page[28 + 2 * k] = static_cast<uint8_t>(top - k);
            page[29 + 2 * k] = static_cast<uint8_t>((top - k) >> 8);
        }
    });
    write_cells(uint64_t{top - 1} * device.erase, uint64_t{top + 1} * device.erase, [&] {
        memset(flash.bytes.data() + uint64_t{top - 1} * device.erase, 0x00, 2 * device.erase);
    });
    before.old_install = true;
    before.table_block = static_cast<uint64_t>(block);
    before.top = top;
    memcpy(before.table.data(), page, device.erase);
    return true;
}

// An image file is run dry before anything is written: on a device without
// faults, whatever makes the install fail is found then, and the install
// asks nothing of the flash that could change it.
void check_untouched_when_file_refused(const MemoryFlash& flash, int status) {
    if (status == 0) return;
    const bool touched = std::any_of(flash.requests.begin(), flash.requests.end(), [](const FlashRequest& r) {
        return is_erase_or_write(r) || r.kind == FlashRequest::kMark;
    });
    if (touched) broken("a failed install of an image file changed the flash");
}

// After any run the loader's block, by the bad-block answers after it,
// holds the complete new table (status 0; check_success checks the page),
// the old table with the old install intact, or no magic. One of the
// image's blocks that lands there when the partition reaches the loader's
// block is not a table the installer wrote: the install is bound to fail
// (the table would overlap it, or from a pipe a later record's fault comes
// first), and what the image holds is the image's. Such a block is one the
// records read before the image's first fault lay out.
void check_loader_block(const MemoryFlash& flash, const Device& device, const Before& before,
                        const Model& model, int status, uint8_t* scratch) {
    const int64_t block = answered_table_block(flash, device);
    if (block < 0 || status == 0) return;
    const uint32_t e = device.erase;
    const uint8_t* now = flash.bytes.data() + block * e;
    if (memcmp(now, "VOLMERACONFIGBLK", 16) != 0) return;
    const std::vector<Piece>& pieces = *model.pieces;  // in block order; a block without any is erased
    for (size_t i = 0; i < pieces.size();) {
        const uint64_t k = pieces[i].block;
        lay_out_block(model, k, scratch);
        if (memcmp(now, scratch, e) == 0) return;
        while (i < pieces.size() && pieces[i].block == k) ++i;
    }
    if (!before.old_install || static_cast<uint64_t>(block) != before.table_block ||
        !as_before(flash, before, static_cast<uint64_t>(block), e))
        broken("a failed install left partition table magic where the loader looks, and not the old table");
    if (!as_before(flash, before, before.top, e) || !as_before(flash, before, before.top - 1, e))
        broken("the loader reads the old table, but the old install is not intact");
}

// The status a device without faults must end with.
int predicted_status(const MemoryFlash& flash, const Device& device, const Model& model) {
    if (!model.valid || device.erase == 0 || device.erase % (device.page ? device.page : 1)) return -1;
    const uint64_t top = device.nonfs / device.erase;
    if (top > 65535) return 1;
    // The image blocks go top down into good blocks, the lowest at `lowest`.
    uint64_t placed = 0, lowest = top + 1;
    for (uint64_t b = top; b >= 2 && placed < model.block_count; --b)
        if (b * device.erase < device.size && !flash.bad_blocks.count(static_cast<uint32_t>(b))) {
            ++placed;
            lowest = b;
        }
    if (placed < model.block_count) return 1;
    const uint32_t unit = device.page == 1 ? 2048 : device.page ? device.page : 1;
    if ((960 + unit - 1) / unit * unit > device.erase) return 1;  // the page cannot fit a block
    for (uint64_t c = search_start_block(device); c * device.erase < device.size; ++c) {
        if (flash.bad_blocks.count(static_cast<uint32_t>(c))) continue;
        return c >= lowest && c <= top ? 1 : 0;  // the table's block must not hold an image block
    }
    return 1;
}

// The image as a file: one memory file, rewritten for every input.
int image_file(const uint8_t* image, size_t size) {
    static const int fd = memfd_create("image", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0) abort();
    if (size && pwrite(fd, image, size, 0) != static_cast<ssize_t>(size)) abort();
    if (lseek(fd, 0, SEEK_SET) != 0) abort();
    return fd;
}

// Everything the input set up or the run changed goes back to how the next
// input expects it: cells erased, no faults, no requests, nothing allocated.
void reset(MemoryFlash& flash, const Device& device, Touched& touched, const Before& before) {
    const uint32_t e = device.erase;
    if (before.old_install)
        for (uint64_t b : {before.table_block, before.top, before.top - 1}) touched.changed[b] = true;
    // Erased again a run of blocks at a time: the image blocks lie side by side.
    for (size_t b = 0; b < touched.changed.size();) {
        if (!touched.changed[b]) {
            ++b;
            continue;
        }
        size_t end = b;
        while (end < touched.changed.size() && touched.changed[end]) ++end;
        write_cells(b * e, end * e, [&] { memset(flash.bytes.data() + b * e, 0xFF, (end - b) * e); });
        b = end;
    }
    flash.bad_blocks.clear();
    flash.fail_query.clear();
    flash.fail_erase.clear();
    flash.fail_write.clear();
    flash.fail_read.clear();
    flash.fail_mark.clear();
    flash.corrupt_write.clear();
    flash.ecc_fail.clear();
    flash.bitflips.clear();
    flash.wrong_cells.clear();
    flash.requests.clear();
    flash.ecc = mtd_ecc_stats{};
    flash.cannot_mark = flash.fail_info = flash.fail_seek = flash.locked_elsewhere = flash.zero_write = false;
    flash.ecc_once = false;
    flash.eintr_writes = 0;
    flash.short_write = 0;
    flash.violations = 0;
    flash.position = 0;
}

}  // namespace

// Freed memory waits 32 MiB of later frees before it is reused: far more
// than one input frees, so a use after free within an input is still
// caught, and the quarantine's default 256 MiB does not sit in the RSS.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=32"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // drimlet's messages would drown the fuzzer's own output; libFuzzer and
    // the sanitizers keep writing to the real standard error.
    g_report = stderr;
    if (!getenv("FUZZ_SHOW_MESSAGES")) {
        if (FILE* null = fopen("/dev/null", "w")) stderr = null;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 12) return 0;
    static const uint32_t erases[] = {512, 2048, 16384, 65536, 131072, 262144};
    static const uint32_t pages[] = {2048, 512, 1, 0, 4096, 960, 100};
    static const uint32_t mebibytes[] = {1, 2, 4, 6};
    Device device{};
    device.erase = erases[data[0] % 6];
    device.page = pages[data[1] % 7];
    device.size = mebibytes[data[2] % 4] << 20;
    device.nonfs =
        data[3] == 255 ? 0xFFF00000u : static_cast<uint32_t>(uint64_t{device.size} * data[3] / 128);

    // Kept from one input to the next, erased, so an input pays only for the
    // blocks it touches; reset() puts back what it changed.
    static MemoryFlash flash;
    static MtdDevice guarded;
    static Before before;
    static std::vector<uint8_t> scratch(kLargestErase);
    if (flash.bytes.empty()) {
        flash.bytes.assign(kLargestChip, 0xFF);
        flash.log_lines = false;
        guarded = guarded_device(flash);
        protect_cells(0, kLargestChip, PROT_READ);
        before.table.resize(kLargestErase);
        before.erased.assign(kLargestErase, 0xFF);
        before.zeroed.assign(kLargestErase, 0x00);
    }
    reattach_memory_flash(flash, device.size, device.erase, device.page);
    const uint32_t blocks = device.size / device.erase;
    for (uint32_t b = 0; b < blocks; ++b)
        if (is_bad(b, data[4], data[5])) flash.bad_blocks.insert(flash.bad_blocks.end(), b);
    const uint32_t top = device.nonfs / device.erase;
    // Erases and writes fail with EIO, the chip's own report, unless bits 3
    // and 4 of bytes 6 and 7 pick an errno the kernel gives for other
    // reasons; bits 3 to 5 of byte 8 make reads of a block fail.
    static const int errors[] = {EIO, EINVAL, ENOMEM, EFAULT};
    if (data[6] & 0x80) flash.fail_erase.insert(top - data[6] % 8);
    flash.erase_error = errors[data[6] >> 3 & 3];
    if (data[7] & 0x80) flash.fail_write.insert(top - data[7] % 8);
    flash.write_error = errors[data[7] >> 3 & 3];
    if (data[8] & 0x80) flash.fail_query.insert(data[8] & 1 ? top - data[8] % 8 : 0x380000 / device.erase);
    if (data[8] & 0x38) {
        flash.fail_read.insert(top - data[8] % 8);
        flash.read_error = errors[(data[8] >> 3 & 7) % 4];
    }
    // Writes cut short after one to four pages; NOR's pages of one byte
    // would make thousands of writes a block, so they are cut at 512 bytes.
    if (data[9] && device.page)
        flash.short_write = (device.page == 1 ? 512u : device.page) * (data[9] % 4 + 1);
    flash.eintr_writes = data[10] % 4;
    flash.zero_write = data[11] & 1;
    flash.fail_seek = data[11] & 4;
    // Worn blocks: the loader's block failing to erase or to read back, a
    // block whose program does not hold, marks refused (or impossible, as on
    // NOR); read-back is on unless bit 2 of byte 10 says otherwise.
    const bool verify = !(data[10] & 0x04);
    const uint32_t loader = static_cast<uint32_t>((0x380000u + device.erase - 1) / device.erase);
    if (data[10] & 0x08) flash.fail_mark = {loader, top - data[7] % 8};
    flash.cannot_mark = data[10] & 0x10;
    if ((data[10] & 0x20) && verify) {
        // The wrong bit anywhere in the block: a 64th of the block from the
        // high bits of byte 2, a finer step from the spare values of bytes 0
        // and 1 and bits 1 and 7 of byte 11. All zero: bit 0 of the first byte.
        flash.corrupt_write.insert(top - data[9] % 8);  // unseen without read-back
        const uint64_t fine =
            ((data[0] / 6) * 37u + data[1] / 7) * 4u + ((data[11] >> 1) & 1) + ((data[11] >> 6) & 2);
        flash.corrupt_cell.offset = static_cast<uint32_t>(
            (static_cast<uint64_t>(data[2] >> 2) * device.erase / 64 + fine) % device.erase);
        flash.corrupt_cell.mask = static_cast<uint8_t>(1u << (fine % 8));
    }
    if (data[10] & 0x40) flash.ecc_fail.insert(data[10] & 0x01 ? loader : top - data[6] % 8);
    flash.ecc_once = data[9] & 0x80;  // the failure does not repeat on a second read
    if (data[10] & 0x80) flash.fail_erase.insert(loader);
    before.old_install = false;
    if (!(data[11] & 8)) put_old_install(flash, device, before);
    device.faults = !flash.fail_erase.empty() || !flash.fail_write.empty() || !flash.fail_query.empty() ||
                    !flash.fail_read.empty() || flash.zero_write || flash.fail_seek ||
                    !flash.corrupt_write.empty() || !flash.ecc_fail.empty();

    static std::vector<uint8_t> bin;  // the image, with its checksums made right unless asked not to
    bin.assign(data + 12, data + size);
    if (!(data[11] & 32)) fix_checksums(bin);
    const uint8_t* image = bin.data();
    const size_t image_size = bin.size();
    int status;
    uint64_t search_end;
    // A pipe holds 64 KiB; longer images come from a memory file instead, and
    // so do others when the settings ask for one.
    const bool from_file = image_size > 65536 || (data[11] & 16);
    {
        FlashRun run;
        run.settings.nonfs_bytes = device.nonfs;
        run.settings.ignore_checksums = data[11] & 64;
        run.device = guarded;
        run.geometry = flash.info;
        if (run.geometry.writesize == 1) run.geometry.writesize = 2048;
        run.block_buffer.reset(new uint8_t[device.erase]);
        if (verify && start_verifying(run.writes, device.erase) != 0) abort();
        int pipe_fds[2] = {-1, -1};
        if (from_file) {
            run.image.fd = image_file(image, image_size);
        } else {
            if (pipe(pipe_fds) != 0) abort();
            if (image_size && write(pipe_fds[1], image, image_size) != static_cast<ssize_t>(image_size))
                abort();
            close(pipe_fds[1]);
            run.image.fd = pipe_fds[0];
        }
        run.image_is_file = from_file;
        status = install_image(run);
        close_open_blocks();
        search_end = run.search_end;
        if (!from_file) close(pipe_fds[0]);
    }

    static std::vector<Piece> pieces;
    const Model model = model_image(image, image_size, device.erase, !(data[11] & 64), pieces);
    static Touched touched;
    note_touched(flash, device, touched);
    check_requests_in_bounds(flash, device);
    check_marks(flash, device, search_end);
    if (status == 0) check_success(flash, device, model, before, touched, scratch.data());
    check_loader_block(flash, device, before, model, status, scratch.data());
    if (from_file && !device.faults) check_untouched_when_file_refused(flash, status);
    if (!device.faults && flash.short_write == 0) {
        const int predicted = predicted_status(flash, device, model);
        if (predicted >= 0 && predicted != status) broken("status differs from the model's prediction");
    }
    reset(flash, device, touched, before);
    return 0;
}
