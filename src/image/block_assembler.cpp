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
// them) is never cleared first. A survey's blocks are never looked at.
int fill_erased(BlockAssembler& assembler, uint32_t up_to) {
    if (up_to <= assembler.filled) return 0;
    const uint32_t from = assembler.filled;
    assembler.filled = up_to;
    if (assembler.sink.piece)
        return assembler.sink.piece(assembler.sink.context, from, nullptr, up_to - from);
    if (!assembler.survey) memset(assembler.block + from, 0xFF, up_to - from);
    return 0;
}

// A fault that ends an install: -1, or 0 when a survey counts it and goes on.
int fault(BlockAssembler& assembler) {
    if (!assembler.survey) return -1;
    ++assembler.faults;
    return 0;
}

int hand_out(BlockAssembler& assembler) {
    if (assembler.blocks == kTableEntries) {
        // The loader only knows the blocks the table lists; writing more
        // would put image data on flash that nothing points to.
        print_fixed(kTableFull);
        if (fault(assembler) != 0) return -1;
    }
    if (fill_erased(assembler, assembler.erasesize) != 0) return -1;
    ++assembler.blocks;
    assembler.handed_out = true;
    return 1;
}

// The record's data is all read: 0 when its checksum may pass, -1 after
// the message when it does not match.
int finish_record(BlockAssembler& assembler) {
    if (!assembler.check_sums || assembler.record_sum == assembler.record.checksum) return 0;
    print_message(kChecksumFormat, assembler.record.address);
    return fault(assembler);
}

void add_data(BlockAssembler& assembler, const uint8_t* data, uint32_t size) {
    assembler.record_sum = add_to_record_checksum(assembler.record_sum, data, size);
    if (assembler.watcher.data) assembler.watcher.data(assembler.watcher.context, size, assembler.record_sum);
}

// Reads the record's next `size` bytes into `into`, sums them and, after
// its last byte, checks its checksum: 0, or -1 after the message.
int read_data(BlockAssembler& assembler, uint8_t* into, uint32_t size) {
    const uint64_t before = assembler.input.offset;
    if (read_exact(assembler.input, into, size) != static_cast<int>(size)) {
        // What did come still counts for the record's sum, for a survey's report.
        add_data(assembler, into, static_cast<uint32_t>(assembler.input.offset - before));
        if (interrupt_signal() == 0) print_fixed(kShortData);
        return -1;
    }
    add_data(assembler, into, size);
    assembler.record.length -= size;
    return assembler.record.length == 0 ? finish_record(assembler) : 0;
}

// A data record's header is read: checks its order and sets it up. 0, or
// -1 after the message.
int start_record(BlockAssembler& assembler) {
    BinRecord& record = assembler.record;
    const bool out_of_order = record.address < assembler.base;
    if (assembler.watcher.record) assembler.watcher.record(assembler.watcher.context, record, out_of_order);
    if (out_of_order) {
        // The blocks below base are already handed out; a record there
        // cannot be placed.
        print_message(kOutOfOrderFormat, record.address);
        if (fault(assembler) != 0) return -1;
    }
    assembler.in_record = true;
    assembler.skipping = out_of_order;
    assembler.record_at = record.address;
    assembler.record_sum = 0;
    // A record without data has no last byte to wait for.
    return record.length == 0 ? finish_record(assembler) : 0;
}

// A survey reads an out-of-order record's data without placing it.
int skip_record(BlockAssembler& assembler) {
    while (assembler.record.length != 0) {
        const uint32_t left = assembler.record.length;
        if (read_data(assembler, assembler.block, left < assembler.erasesize ? left : assembler.erasesize) !=
            0)
            return -1;
    }
    return 0;
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
            if (start_record(assembler) != 0) return -1;
        }
        if (assembler.skipping) {
            if (skip_record(assembler) != 0) return -1;
            assembler.in_record = false;
            continue;
        }
        // Blocks the record skips over go out as they are (all 0xFF when
        // nothing reached them).
        if (assembler.record_at - assembler.base > erasesize) return hand_out(assembler);
        while (record.length != 0) {
            const uint32_t offset = static_cast<uint32_t>(assembler.record_at - assembler.base);
            const uint32_t room = erasesize - offset;
            uint32_t chunk = room < record.length ? room : record.length;
            if (fill_erased(assembler, offset) != 0) return -1;
            if (assembler.sink.piece) {
                if (chunk > assembler.read_size) chunk = assembler.read_size;
                if (read_data(assembler, assembler.block, chunk) != 0 ||
                    assembler.sink.piece(assembler.sink.context, offset, assembler.block, chunk) != 0)
                    return -1;
            } else if (read_data(assembler, assembler.block + offset, chunk) != 0) {
                return -1;
            }
            if (offset + chunk > assembler.filled) assembler.filled = offset + chunk;
            assembler.record_at += chunk;
            if (offset + chunk == erasesize) return hand_out(assembler);
        }
        assembler.in_record = false;
    }
}
