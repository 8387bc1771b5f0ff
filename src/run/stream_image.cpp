#include "run/stream_image.h"

#include <cstdio>

#include "flash/block_writer.h"
#include "image/block_assembler.h"

namespace {
const char kImageWrittenFormat[] = "Image written, %d erase blocks...\n";
}  // namespace

int stream_image(FlashRun& run, const BinImageHeader& header, BlockTable& table) {
    const uint32_t erasesize = run.geometry.erasesize;
    AllocatorCursor cursor = 0;
    if (init_cursor(run.settings.nonfs_bytes, erasesize, cursor) < 0) return -1;
    BlockAssembler assembler;
    init_assembler(assembler, run.image_fd, run.block_buffer.get(), erasesize, header);
    OldPartitionTable old_table;
    old_table.search_end = run.search_end;
    int ready;
    while ((ready = next_image_block(assembler)) == 1) {
        int block = write_next_block(run.device, erasesize, cursor, assembler.block, &old_table);
        if (block < 0) return -1;
        table.entries[table.table_count++] = static_cast<uint16_t>(block);
    }
    if (ready < 0) return -1;
    fprintf(stderr, kImageWrittenFormat, static_cast<int>(table.table_count));
    return static_cast<int>(table.table_count);
}
