#include "image/block_assembler.h"

#include <cstdio>
#include <cstring>

#include "common/interrupt.h"
#include "common/messages.h"
#include "table/partition_table.h"

namespace {
const char kShortData[] = "Incomplete data section!\n";
const char kOutOfOrderFormat[] = "Record at %08x out of order!\n";
const char kTableFull[] = "Image too large for partition table!\n";
const char kChecksumFormat[] = "Checksum error in record at %08x!\n";

// Bytes no record reached are erased flash: 0xFF. They are filled in only
// as records leave them behind, so a block the records cover whole (most of
// them) is never cleared first.
void fill_erased(BlockAssembler& assembler, uint32_t up_to) {
    if (up_to <= assembler.filled) return;
    memset(assembler.block + assembler.filled, 0xFF, up_to - assembler.filled);
    assembler.filled = up_to;
}

int hand_out(BlockAssembler& assembler) {
    if (assembler.blocks >= kTableEntries) {
        // The loader only knows the blocks the table lists; writing more
        // would put image data on flash that nothing points to.
        print_fixed(kTableFull);
        return -1;
    }
    fill_erased(assembler, assembler.erasesize);
    ++assembler.blocks;
    assembler.handed_out = true;
    return 1;
}

// The record's data is all read: 0 when its checksum may pass, -1 after
// the message when it does not match.
int finish_record(const BlockAssembler& assembler) {
    if (!assembler.check_sums || assembler.record_sum == assembler.record.checksum) return 0;
    print_message(kChecksumFormat, assembler.record_start);
    return -1;
}
}  // namespace

void init_assembler(BlockAssembler& assembler, const ImageInput& input, uint8_t* block, uint32_t erasesize,
                    const BinImageHeader& header) {
    assembler = BlockAssembler{};
    assembler.input = input;
    assembler.block = block;
    assembler.erasesize = erasesize;
    assembler.base = header.start;
}

int next_image_block(BlockAssembler& assembler) {
    BinRecord& record = assembler.record;
    const uint32_t erasesize = assembler.erasesize;
    if (assembler.handed_out) {
        // The caller is done with the last block: start a fresh one, erased
        // as it is filled.
        assembler.handed_out = false;
        assembler.base += erasesize;
        assembler.filled = 0;
    }
    if (assembler.ended) return 0;
    for (;;) {
        if (!assembler.in_record) {
            if (read_record_header(assembler.input, record) != 0) return -1;
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
            assembler.record_start = record.address;
            assembler.record_sum = 0;
            // A record without data has no last byte to wait for.
            if (record.length == 0 && finish_record(assembler) != 0) return -1;
        }
        // Blocks the record skips over go out as they are (all 0xFF when
        // nothing reached them).
        if (record.address - assembler.base > erasesize) return hand_out(assembler);
        while (record.length != 0) {
            uint32_t offset = record.address - assembler.base;
            uint32_t room = erasesize - offset;
            uint32_t chunk = room < record.length ? room : record.length;
            fill_erased(assembler, offset);
            if (read_exact(assembler.input, assembler.block + offset, chunk) != static_cast<int>(chunk)) {
                if (interrupt_signal() == 0) print_fixed(kShortData);
                return -1;
            }
            if (offset + chunk > assembler.filled) assembler.filled = offset + chunk;
            assembler.record_sum =
                add_to_record_checksum(assembler.record_sum, assembler.block + offset, chunk);
            if (assembler.watcher.data)
                assembler.watcher.data(assembler.watcher.context, chunk, assembler.record_sum);
            record.address += chunk;
            record.length -= chunk;
            if (record.length == 0 && finish_record(assembler) != 0) return -1;
            if (offset + chunk == erasesize) return hand_out(assembler);
        }
        assembler.in_record = false;
    }
}
