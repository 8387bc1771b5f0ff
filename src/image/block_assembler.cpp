#include "image/block_assembler.h"

#include <cstdio>
#include <cstring>

#include "common/messages.h"
#include "table/partition_table.h"

namespace {
const char kShortData[] = "Incomplete data section!\n";
const char kOutOfOrderFormat[] = "Record at %08x out of order!\n";
const char kTableFull[] = "Image too large for partition table!\n";

int hand_out(BlockAssembler& assembler) {
    if (assembler.blocks >= kTableEntries) {
        // The loader only knows the blocks the table lists; writing more
        // would put image data on flash that nothing points to.
        print_fixed(kTableFull);
        return -1;
    }
    ++assembler.blocks;
    assembler.handed_out = true;
    return 1;
}
}  // namespace

void init_assembler(BlockAssembler& assembler, int image_fd, uint8_t* block, uint32_t erasesize,
                    const BinImageHeader& header) {
    assembler = BlockAssembler{};
    assembler.image_fd = image_fd;
    assembler.block = block;
    assembler.erasesize = erasesize;
    assembler.base = header.start;
    memset(block, 0xFF, erasesize);
}

int next_image_block(BlockAssembler& assembler) {
    BinRecord& record = assembler.record;
    const uint32_t erasesize = assembler.erasesize;
    if (assembler.handed_out) {
        // The caller is done with the last block: start a fresh, erased one.
        assembler.handed_out = false;
        assembler.base += erasesize;
        memset(assembler.block, 0xFF, erasesize);
    }
    if (assembler.ended) return 0;
    for (;;) {
        if (!assembler.in_record) {
            if (read_record_header(assembler.image_fd, record) != 0) return -1;
            if (record.address == 0) {
                assembler.ended = true;
                return hand_out(assembler);
            }
            if (assembler.watcher.record) assembler.watcher.record(assembler.watcher.context, record);
            if (record.address < assembler.base) {
                // The blocks below base are already handed out; an unsigned
                // difference would otherwise send the assembler flushing up
                // to the table's end.
                print_message(kOutOfOrderFormat, record.address);
                return -1;
            }
            assembler.in_record = true;
        }
        // Blocks the record skips over go out as they are (all 0xFF when
        // nothing reached them).
        if (record.address - assembler.base > erasesize) return hand_out(assembler);
        while (record.length != 0) {
            uint32_t offset = record.address - assembler.base;
            uint32_t room = erasesize - offset;
            uint32_t chunk = room < record.length ? room : record.length;
            if (read_exact(assembler.image_fd, assembler.block + offset, chunk) != static_cast<int>(chunk)) {
                print_fixed(kShortData);
                return -1;
            }
            if (assembler.watcher.data)
                assembler.watcher.data(assembler.watcher.context, assembler.block + offset, chunk);
            record.address += chunk;
            record.length -= chunk;
            if (offset + chunk == erasesize) return hand_out(assembler);
        }
        assembler.in_record = false;
    }
}
