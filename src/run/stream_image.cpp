#include "run/stream_image.h"

#include "common/interrupt.h"
#include "common/messages.h"
#include "flash/block_writer.h"
#include "image/block_assembler.h"
#include "run/image_source.h"
#include "run/install_progress.h"

namespace {
const char kImageWrittenFormat[] = "Image written, %d erase blocks...\n";
const char kImageWrittenStart[] = "Image written, ";
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
    // A dry run writes nothing, so it has no progress to show: a terminal or
    // a program following the install sees only the install.
    if (!run.settings.dry_run)
        start_install_progress(run.progress, run.image.fd, erasesize, header.start, header.length,
                               run.settings.progress_fd);
    int ready;
    while ((ready = next_image_block(assembler)) == 1) {
        // A stop here leaves whole blocks behind, and the count says how many.
        if (take_interrupt() != 0) return -1;
        int block = write_next_block(run.device, run.writes, erasesize, cursor, assembler.block, &old_table);
        if (block < 0) return -1;
        table.entries[table.table_count++] = static_cast<uint16_t>(block);
        update_install_progress(run.progress, table.table_count, assembler.base + erasesize);
        if (run.image_is_file) read_image_ahead(assembler.input, erasesize);
    }
    if (ready < 0) return -1;
    print_message(kImageWrittenFormat, static_cast<int>(table.table_count));
    return static_cast<int>(table.table_count);
}
