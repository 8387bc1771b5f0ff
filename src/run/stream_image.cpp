#include "run/stream_image.h"

#include <cstring>

#include "common/interrupt.h"
#include "common/messages.h"
#include "flash/block_writer.h"
#include "image/block_assembler.h"
#include "run/image_source.h"
#include "run/install_progress.h"

namespace {
const char kImageWrittenFormat[] = "Image written, %d erase blocks...\n";
const char kImageWrittenStart[] = "Image written, ";
const char kImageChangedFormat[] =
    "Image file changed since the check before writing: image block %u differs\n";

// Tells one assembled erase block from another; no defence against a
// block made to collide, only against a file changed under the install.
uint64_t block_checksum(const uint8_t* block, uint32_t size) {
    uint64_t sum = 0xcbf29ce484222325u;
    uint32_t at = 0;
    for (; at + 8 <= size; at += 8) {
        uint64_t word;
        memcpy(&word, block + at, sizeof word);
        sum = (sum ^ word) * 0x100000001b3u;
        sum ^= sum >> 29;
    }
    for (; at < size; ++at) sum = (sum ^ block[at]) * 0x100000001b3u;
    return sum;
}

// The dry run notes each block's checksum; the install, when it has them,
// refuses a block that is not the one the dry run saw (`index` past them
// included): an image file rewritten meanwhile would be installed as it
// now is, unchecked. 0, or -1 after the message.
int match_checked_block(FlashRun& run, uint32_t index, const uint8_t* block) {
    const uint32_t erasesize = run.geometry.erasesize;
    if (run.settings.dry_run) {
        run.block_sums.push_back(block_checksum(block, erasesize));
        return 0;
    }
    if (!run.block_sums_known) return 0;
    if (index < run.block_sums.size() && run.block_sums[index] == block_checksum(block, erasesize)) return 0;
    print_message(kImageChangedFormat, index);
    return -1;
}
}  // namespace

bool is_image_written_line(const std::string& line) {
    return line.compare(0, sizeof kImageWrittenStart - 1, kImageWrittenStart) == 0;
}

int stream_image(FlashRun& run, const BinImageHeader& header, BlockTable& table) {
    const uint32_t erasesize = run.geometry.erasesize;
    AllocatorCursor cursor = 0;
    if (init_cursor(run.settings.nonfs_bytes, erasesize, cursor) < 0) return -1;
    BlockAssembler assembler;
    init_assembler(assembler, run.image, run.block_buffer.get(), erasesize, header);
    assembler.check_sums = !run.settings.ignore_checksums;
    OldPartitionTable old_table;
    old_table.search_end = run.search_end;
    old_table.writesize = run.geometry.writesize;
    // A dry run writes nothing, so it has no progress to show: a terminal or
    // a program following the install sees only the install.
    if (!run.settings.dry_run)
        start_install_progress(run.progress, run.image.fd, erasesize, header.start, header.length,
                               run.settings.progress_fd);
    int ready;
    while ((ready = next_image_block(assembler)) == 1) {
        // A stop here leaves whole blocks behind, and the count says how many.
        if (take_interrupt() != 0) return -1;
        if (match_checked_block(run, table.table_count, assembler.block) != 0) return -1;
        int block = write_next_block(run.device, run.writes, erasesize, cursor, assembler.block, &old_table);
        if (block < 0) return -1;
        table.entries[table.table_count++] = static_cast<uint16_t>(block);
        update_install_progress(run.progress, table.table_count, assembler.base + erasesize);
        if (run.image_is_file) read_image_ahead(assembler.input, erasesize);
    }
    if (ready < 0) return -1;
    // A file that now ends sooner than the dry run saw.
    if (run.block_sums_known && !run.settings.dry_run && table.table_count != run.block_sums.size()) {
        print_message(kImageChangedFormat, table.table_count);
        return -1;
    }
    print_message(kImageWrittenFormat, static_cast<int>(table.table_count));
    return static_cast<int>(table.table_count);
}
