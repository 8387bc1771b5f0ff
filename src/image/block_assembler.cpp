#include "image/block_assembler.h"

#include <cstdio>
#include <cstring>

#include "flash/block_writer.h"
#include "run/flash_run.h"
#include "run/messages.h"

namespace {
const char kShortData[] = "Incomplete data section!\n";
const char kImageWrittenFormat[] = "Image written, %d erase blocks...\n";
const char kOutOfOrderFormat[] = "Record at %08x out of order!\n";
const char kTableFull[] = "Image too large for partition table!\n";

struct Assembler {
    FlashRun& run;
    BlockTable& table;
    BlockSink sink;
    uint32_t base;  // image address of block_buffer's first byte
};

void clear_block(Assembler& assembler) {
    memset(assembler.run.block_buffer.get(), 0xFF, assembler.run.geometry.erasesize);
}

// Writes the buffer as the next image block and starts a fresh, erased one.
int flush_block(Assembler& assembler) {
    BlockTable& table = assembler.table;
    if (table.table_count >= kTableEntries) {
        // The loader only knows the blocks the table lists; writing more
        // would put image data on flash that nothing points to.
        print_fixed(kTableFull);
        return -1;
    }
    const uint32_t erasesize = assembler.run.geometry.erasesize;
    int block = assembler.sink.put(assembler.sink.context, assembler.run.block_buffer.get());
    if (block < 0) return -1;
    table.entries[table.table_count++] = static_cast<uint16_t>(block);
    assembler.base += erasesize;
    clear_block(assembler);
    return 0;
}

int place_record(Assembler& assembler, BinRecord record) {
    const uint32_t erasesize = assembler.run.geometry.erasesize;
    if (record.address < assembler.base) {
        // The blocks below base are already on flash; an unsigned difference
        // would otherwise send the assembler flushing up to the table's end.
        fprintf(stderr, kOutOfOrderFormat, record.address);
        return -1;
    }
    while (record.address - assembler.base > erasesize)
        if (flush_block(assembler) != 0) return -1;
    while (record.length != 0) {
        uint32_t offset = record.address - assembler.base;
        uint32_t room = erasesize - offset;
        uint32_t chunk = room < record.length ? room : record.length;
        uint8_t* into = assembler.run.block_buffer.get() + offset;
        if (read_exact(assembler.run.image_fd, into, chunk) != static_cast<int>(chunk)) {
            print_fixed(kShortData);
            return -1;
        }
        if (offset + chunk == erasesize && flush_block(assembler) != 0) return -1;
        record.address += chunk;
        record.length -= chunk;
    }
    return 0;
}
}  // namespace

void encode_block_table(const BlockTable& table, uint8_t* out) {
    memset(out, 0, kBlockTableBytes);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(table.leading_word >> (8 * i));
    for (int k = 0; k < kTableEntries; ++k) {
        out[4 + 2 * k] = static_cast<uint8_t>(table.entries[k]);
        out[5 + 2 * k] = static_cast<uint8_t>(table.entries[k] >> 8);
    }
}

bool table_holds_block(const BlockTable& table, uint32_t block) {
    for (uint32_t k = 0; k < table.table_count; ++k)
        if (table.entries[k] == block) return true;
    return false;
}

int assemble_image(FlashRun& run, const BinImageHeader& header, BlockTable& table, BlockSink sink) {
    Assembler assembler{run, table, sink, header.start};
    clear_block(assembler);
    for (;;) {
        BinRecord record;
        if (read_record_header(run, record) != 0) return -1;
        if (record.address == 0) break;
        if (place_record(assembler, record) != 0) return -1;
    }
    // The end record: the last block goes out whatever it holds, even when no
    // record byte reached it since the previous flush.
    if (flush_block(assembler) != 0) return -1;
    return static_cast<int>(table.table_count);
}

namespace {
struct AllocatorSink {
    int device_fd;
    uint32_t erasesize;
    AllocatorCursor cursor;
};

int write_to_flash(void* context, const uint8_t* block) {
    AllocatorSink& sink = *static_cast<AllocatorSink*>(context);
    return write_next_block(sink.device_fd, sink.erasesize, sink.cursor, block);
}
}  // namespace

int stream_image(FlashRun& run, const BinImageHeader& header, BlockTable& table) {
    AllocatorSink allocator{run.device_fd, run.geometry.erasesize, 0};
    if (init_cursor(run.settings.nonfs_bytes, run.geometry.erasesize, allocator.cursor) < 0) return -1;
    int blocks = assemble_image(run, header, table, BlockSink{write_to_flash, &allocator});
    if (blocks < 0) return -1;
    fprintf(stderr, kImageWrittenFormat, blocks);
    return blocks;
}
