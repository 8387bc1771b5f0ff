// libFuzzer target: a whole install, in process, of arbitrary image bytes onto
// an in-memory NAND whose geometry, bad blocks and faults come from the input.
// After every input it checks, with its own small model of the layout:
//   - the flash never saw a program of a page that is not erased, nor a
//     write into a bad block, nor an erase or write outside blocks 2..N and
//     the partition table search area;
//   - status 0 only when the partition table page is exactly right at the
//     block the loader reads (the first good one from 3.5 MiB up), every
//     table entry's block holds exactly the bytes the image lays there, and
//     every other block is byte for byte what it was before the run (but
//     for blocks the run passed over after a failure and tried to mark bad);
//   - on a device without faults, the status is the one the model predicts;
//   - after any run, the block the loader reads (the first from 3.5 MiB up
//     whose bad-block query answers good, marks included) holds the
//     complete new table with status 0, the old table with the old install
//     intact, or no magic;
//   - on a device without faults, an install of an image file that fails
//     (found by its check before writing) leaves the flash byte for byte as
//     it was, without a single erase or write.
//
// Input: 12 bytes of device settings, then the image. Unless the settings
// say otherwise, the harness gives every record the checksum of its data, so
// mutated images get past the checksum check to the layout behind it.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
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

// The model: image blocks as the loader must find them, or why there are none.
struct Model {
    bool valid = false;  // parses, records in order, checksums match (unless ignored), fits the table
    std::vector<std::vector<uint8_t>> blocks;
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

Model model_image(const uint8_t* data, size_t size, uint32_t erase, bool check_sums) {
    Model model;
    if (size < 15 || memcmp(data, "B000FF\n", 7) != 0 || erase == 0) return model;
    const uint64_t start = le32(data + 7);
    std::map<uint64_t, std::vector<uint8_t>> blocks;
    uint64_t current = 0;
    size_t at = 15;
    for (;;) {
        if (size - at < 12) return model;
        uint64_t address = le32(data + at), length = le32(data + at + 4);
        at += 12;
        if (address == 0) break;
        if (address < start + current * erase) return model;  // out of order
        if (length > size - at) return model;
        if (check_sums && sum_of(data + at, length) != le32(data + at - 4)) return model;
        uint64_t offset = address - start;
        for (uint64_t done = 0; done < length;) {
            const uint64_t within = (offset + done) % erase;
            const uint64_t piece = std::min<uint64_t>(length - done, erase - within);
            std::vector<uint8_t>& block = blocks[(offset + done) / erase];
            if (block.empty()) block.assign(erase, 0xFF);
            memcpy(block.data() + within, data + at + done, piece);
            done += piece;
        }
        at += length;
        uint64_t reach = length
                             ? (offset + length) / erase
                             : (offset > erase * (current + 1) ? (offset + erase - 1) / erase - 1 : current);
        if (reach > current) current = reach;
        if (current >= 466) return model;  // a 467th block would be needed
    }
    for (uint64_t k = 0; k <= current; ++k) {
        auto found = blocks.find(k);
        model.blocks.push_back(found != blocks.end() ? found->second : std::vector<uint8_t>(erase, 0xFF));
    }
    model.valid = true;
    return model;
}

struct Device {
    uint32_t erase, page, size, nonfs;
    bool faults;
};

bool is_bad(uint32_t block, uint8_t density, uint8_t seed) {
    return density && (block * 2654435761u ^ seed) % (density % 16 + 2) == 0;
}

// The block the loader reads: the first one from 3.5 MiB up that the chip
// marks good. -1 when there is none.
int64_t loader_table_block(const MemoryFlash& flash, const Device& device) {
    for (uint64_t c = (0x380000u + device.erase - 1) / device.erase; c * device.erase < device.size; ++c)
        if (!flash.bad_blocks.count(static_cast<uint32_t>(c))) return static_cast<int64_t>(c);
    return -1;
}

// The loader's block as the installer can know it: the first block from
// 3.5 MiB up whose bad-block query answers good. A block whose query fails is
// skipped like a bad one; the answers cannot say what the loader makes of it.
int64_t answered_table_block(const MemoryFlash& flash, const Device& device) {
    for (uint64_t c = (0x380000u + device.erase - 1) / device.erase; c * device.erase < device.size; ++c)
        if (!flash.bad_blocks.count(static_cast<uint32_t>(c)) &&
            !flash.fail_query.count(static_cast<uint32_t>(c)))
            return static_cast<int64_t>(c);
    return -1;
}

// Where a request in the log lands: the erase block it erases or writes,
// or -1 for any other request.
int64_t touched_block(const std::string& line, uint32_t erase) {
    unsigned long long where = 0, length = 0;
    if (sscanf(line.c_str(), "write %llu %llu", &where, &length) == 2) {
        if (where % erase + length > erase) broken("a write crosses an erase block boundary");
        return static_cast<int64_t>(where / erase);
    }
    if (sscanf(line.c_str(), "erase %llu", &where) == 1) return static_cast<int64_t>(where);
    return -1;
}

// Blocks the run passed over after a failure: it tried to mark each bad.
std::vector<bool> retired_blocks(const MemoryFlash& flash, const Device& device) {
    std::vector<bool> retired(device.size / device.erase, false);
    unsigned long long block = 0;
    for (const std::string& line : flash.log)
        if (sscanf(line.c_str(), "markbad %llu", &block) == 1 && block < retired.size())
            retired[block] = true;
    return retired;
}

void check_requests_in_bounds(const MemoryFlash& flash, const Device& device) {
    if (flash.violations) broken("program of a page that is not erased, or of a bad block");
    const uint32_t e = device.erase;
    const uint64_t top = e ? device.nonfs / e : 0;
    const uint64_t search = (0x380000u + e - 1) / e;
    for (const std::string& line : flash.log) {
        const int64_t block = touched_block(line, e);
        if (block < 0) continue;
        const uint64_t where = static_cast<uint64_t>(block);
        if (!(where >= 2 && where <= top) && where < search)
            broken("erase or write outside the allowed blocks");
    }
}

// A success must leave a board that boots the image: the table where the
// loader looks, every listed block holding the model's bytes, and nothing
// else on the chip changed, so neither the boot loader nor the Filesystem
// partition loses a byte.
void check_success(const MemoryFlash& flash, const Device& device, const Model& model,
                   const std::vector<uint8_t>& before) {
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
    if (count != model.blocks.size()) broken("table length differs from the image's block count");
    for (size_t i = 28 + 2 * count; i < 960; ++i)
        if (page[i] != 0) broken("table tail not zero");
    for (size_t i = 960; i < e; ++i)
        if (page[i] != 0xFF) broken("partition table block not erased after the page");
    std::vector<bool> listed(device.size / e, false);
    uint64_t previous = top + 1;
    for (size_t k = 0; k < count; ++k) {
        uint64_t block = page[28 + 2 * k] | page[29 + 2 * k] << 8;
        if (block >= previous || block < 2) broken("table entries not counting down inside the partition");
        if (block == static_cast<uint64_t>(loader)) broken("image block under the partition table");
        if (block >= listed.size()) broken("table entry beyond the end of the chip");
        if (memcmp(flash.bytes.data() + block * e, model.blocks[k].data(), e) != 0)
            broken("image block differs from the model");
        listed[block] = true;
        previous = block;
    }
    listed[static_cast<size_t>(loader)] = true;
    // A block that failed its erase, program or read-back is passed over and
    // marked bad (a failed mark of an image block does not stop the install).
    const std::vector<bool> retired = retired_blocks(flash, device);
    for (const std::string& line : flash.log) {
        const int64_t block = touched_block(line, e);
        if (block < 0) continue;
        if (static_cast<uint64_t>(block) >= listed.size())
            broken("an erase or write past the end of the chip");
        if (listed[static_cast<size_t>(block)] || retired[static_cast<size_t>(block)]) continue;
        // A block may be erased in the search for a good one, but only a
        // listed block or the table's may be written.
        if (line.rfind("write", 0) == 0) broken("a write into a block the table does not list");
        if (static_cast<uint64_t>(block) < 2 || static_cast<uint64_t>(block) > top)
            broken("an erase outside the non-Filesystem partition that holds nothing");
    }
    for (size_t b = 0; b < listed.size(); ++b)
        if (!listed[b] && !retired[b] && memcmp(flash.bytes.data() + b * e, before.data() + b * e, e) != 0)
            broken("a block outside the image and the partition table changed");
}

// An earlier install: a partition table the loader would read, listing two
// blocks full of old data. Returns whether the chip had room for one.
bool put_old_install(MemoryFlash& flash, const Device& device) {
    const int64_t block = loader_table_block(flash, device);
    const uint32_t top = device.erase ? device.nonfs / device.erase : 0;
    if (block < 0 || device.erase < 1024 || top < 3 || uint64_t{top} * device.erase >= device.size ||
        block == top || block == top - 1)
        return false;
    uint8_t* page = flash.bytes.data() + block * device.erase;
    memset(page, 0xFF, device.erase);
    memcpy(page, "VOLMERACONFIGBLK\x00\x40\x01\xCF\xEA\x40\x10\x00\x40\x00\x00\x00", 28);
    memset(page + 28, 0, 932);
    for (uint32_t k = 0; k < 2; ++k) {
        page[28 + 2 * k] = static_cast<uint8_t>(top - k);
        page[29 + 2 * k] = static_cast<uint8_t>((top - k) >> 8);
        memset(flash.bytes.data() + uint64_t{top - k} * device.erase, 0x00, device.erase);
    }
    return true;
}

// A failed install that made no erase or write request left the flash as it
// was (what it left where the loader looks is check_loader_block's).
void check_untouched_when_failed_early(const MemoryFlash& flash, const std::vector<uint8_t>& before,
                                       int status) {
    if (status == 0) return;
    const bool touched = std::any_of(flash.log.begin(), flash.log.end(), [](const std::string& line) {
        return line.rfind("erase", 0) == 0 || line.rfind("write", 0) == 0;
    });
    if (!touched && flash.bytes != before)
        broken("a failed install changed the flash without an erase or write");
}

// An image file is run dry before anything is written: on a device without
// faults, whatever makes the install fail is found then.
void check_untouched_when_file_refused(const MemoryFlash& flash, const std::vector<uint8_t>& before,
                                       int status) {
    if (status == 0) return;
    const bool touched = std::any_of(flash.log.begin(), flash.log.end(), [](const std::string& line) {
        return line.rfind("erase", 0) == 0 || line.rfind("write", 0) == 0 || line.rfind("markbad", 0) == 0;
    });
    if (touched || flash.bytes != before) broken("a failed install of an image file changed the flash");
}

// Where the earlier install's table and its two blocks were.
struct OldInstall {
    bool present = false;
    int64_t table_block = -1;
    uint32_t top = 0;
};

// After any run the loader's block, by the bad-block answers after it,
// holds the complete new table (status 0; check_success checks the page),
// the old table with the old install intact, or no magic. One of the
// image's blocks that lands there in the overlap failure is not a table the
// installer wrote; it is left to the overlap check.
void check_loader_block(const MemoryFlash& flash, const Device& device, const std::vector<uint8_t>& before,
                        const OldInstall& old, const Model& model, int status) {
    const int64_t block = answered_table_block(flash, device);
    if (block < 0 || status == 0) return;
    const uint32_t e = device.erase;
    const uint8_t* now = flash.bytes.data() + block * e;
    if (memcmp(now, "VOLMERACONFIGBLK", 16) != 0) return;
    for (const std::vector<uint8_t>& image_block : model.blocks)
        if (memcmp(now, image_block.data(), e) == 0) return;
    if (!old.present || block != old.table_block)
        broken("a failed install left partition table magic where the loader looks, and not the old table");
    const auto same = [&](uint64_t at) {
        return memcmp(flash.bytes.data() + at * e, before.data() + at * e, e) == 0;
    };
    if (!same(static_cast<uint64_t>(block)))
        broken("a failed install left partition table magic where the loader looks, and not the old table");
    if (!same(old.top) || !same(old.top - 1))
        broken("the loader reads the old table, but the old install is not intact");
}

// The status a device without faults must end with.
int predicted_status(const MemoryFlash& flash, const Device& device, const Model& model) {
    if (!model.valid || device.erase == 0 || device.erase % (device.page ? device.page : 1)) return -1;
    const uint64_t top = device.nonfs / device.erase;
    if (top > 65535) return 1;
    std::vector<uint64_t> placed;
    for (uint64_t b = top; b >= 2 && placed.size() < model.blocks.size(); --b)
        if (b * device.erase < device.size && !flash.bad_blocks.count(static_cast<uint32_t>(b)))
            placed.push_back(b);
    if (placed.size() < model.blocks.size()) return 1;
    const uint32_t unit = device.page == 1 ? 2048 : device.page ? device.page : 1;
    if ((960 + unit - 1) / unit * unit > device.erase) return 1;  // the page cannot fit a block
    for (uint64_t c = (0x380000u + device.erase - 1) / device.erase; c * device.erase < device.size; ++c) {
        if (flash.bad_blocks.count(static_cast<uint32_t>(c))) continue;
        for (uint64_t b : placed)
            if (b == c) return 1;
        return 0;
    }
    return 1;
}

}  // namespace

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

    static MemoryFlash flash;  // reused so its bytes keep their allocation
    std::vector<uint8_t> bytes = std::move(flash.bytes);
    flash = MemoryFlash{};
    flash.bytes = std::move(bytes);
    attach_memory_flash(flash, device.size, device.erase, device.page);
    const uint32_t blocks = device.size / device.erase;
    for (uint32_t b = 0; b < blocks; ++b)
        if (is_bad(b, data[4], data[5])) flash.bad_blocks.insert(b);
    const uint32_t top = device.nonfs / device.erase;
    if (data[6] & 0x80) flash.fail_erase.insert(top - data[6] % 8);
    if (data[7] & 0x80) flash.fail_write.insert(top - data[7] % 8);
    if (data[8] & 0x80) flash.fail_query.insert(data[8] & 1 ? top - data[8] % 8 : 0x380000 / device.erase);
    if (data[9] && device.page) flash.short_write = device.page * (data[9] % 4 + 1);
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
    if ((data[10] & 0x20) && verify)
        flash.corrupt_write.insert(top - data[9] % 8);  // unseen without read-back
    if (data[10] & 0x40) flash.ecc_fail.insert(data[10] & 0x01 ? loader : top - data[6] % 8);
    if (data[10] & 0x80) flash.fail_erase.insert(loader);
    OldInstall old;
    old.present = !(data[11] & 8) && put_old_install(flash, device);
    old.table_block = old.present ? answered_table_block(flash, device) : -1;
    old.top = top;
    static std::vector<uint8_t> before;  // reused, as the flash is
    before.assign(flash.bytes.begin(), flash.bytes.end());
    device.faults = !flash.fail_erase.empty() || !flash.fail_write.empty() || !flash.fail_query.empty() ||
                    flash.zero_write || flash.fail_seek || !flash.corrupt_write.empty() ||
                    !flash.ecc_fail.empty();

    static std::vector<uint8_t> bin;  // the image, with its checksums made right unless asked not to
    bin.assign(data + 12, data + size);
    if (!(data[11] & 32)) fix_checksums(bin);
    const uint8_t* image = bin.data();
    const size_t image_size = bin.size();
    FlashRun run;
    run.settings.nonfs_bytes = device.nonfs;
    run.settings.ignore_checksums = data[11] & 64;
    run.device = memory_flash_device(flash);
    run.geometry = flash.info;
    if (run.geometry.writesize == 1) run.geometry.writesize = 2048;
    run.block_buffer.reset(new uint8_t[device.erase]);
    if (verify && start_verifying(run.writes, device.erase) != 0) abort();
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) abort();
    // A pipe holds 64 KiB; longer images come from a memory file instead, and
    // so do others when the settings ask for one.
    int image_fd = pipe_fds[0];
    const bool from_file = image_size > 65536 || (data[11] & 16);
    if (from_file) {
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        FILE* file = tmpfile();
        fwrite(image, 1, image_size, file);
        fflush(file);
        image_fd = dup(fileno(file));
        fclose(file);
        lseek(image_fd, 0, SEEK_SET);
    } else {
        if (image_size && write(pipe_fds[1], image, image_size) != static_cast<ssize_t>(image_size)) abort();
        close(pipe_fds[1]);
    }
    run.image.fd = image_fd;
    run.image_is_file = from_file;

    const int status = install_image(run);
    close(image_fd);
    const Model model = model_image(image, image_size, device.erase, !run.settings.ignore_checksums);
    check_requests_in_bounds(flash, device);
    if (status == 0) check_success(flash, device, model, before);
    check_untouched_when_failed_early(flash, before, status);
    check_loader_block(flash, device, before, old, model, status);
    if (from_file && !device.faults) check_untouched_when_file_refused(flash, before, status);
    if (!device.faults && flash.short_write == 0) {
        const int predicted = predicted_status(flash, device, model);
        if (predicted >= 0 && predicted != status) broken("status differs from the model's prediction");
    }
    return 0;
}
