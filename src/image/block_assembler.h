// Erase-block assembler: lays the image's records into erase blocks at the
// place their addresses give, relative to the image start address, and hands
// out each completed block in image order. It reads the image strictly front
// to back and never touches the flash: the caller decides where each block
// goes (the installer writes it, drimlet-inspect compares it).
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/bin_reader.h"

// Told what the assembler reads, for a caller that checks the image on the
// way: drimlet-inspect's verify learns each record's checksum as it is laid
// out, so the image is read, and summed, only once. Unset, nothing is told.
struct RecordWatcher {
    // A data record's header; `out_of_order` when it starts below the block
    // being filled (the install stops there, a survey reads past its data).
    void (*record)(void* context, const BinRecord& header, bool out_of_order) = nullptr;
    // Another `size` bytes of its data were read; `sum` is the record's
    // checksum over all its data read so far.
    void (*data)(void* context, uint32_t size, uint32_t sum) = nullptr;
    void* context = nullptr;
};

// Takes the image block's bytes where they land instead of a block buffer:
// drimlet-inspect's verify compares them with the flash block as they come,
// so it holds one erase block, the flash's, not two. `data` null means
// `size` erased bytes (0xFF). A later piece may land on bytes an earlier one
// gave (the bytes placed last win). 0, or -1 to stop the assembler (the
// sink has said why).
struct PieceSink {
    int (*piece)(void* context, uint32_t offset, const uint8_t* data, uint32_t size) = nullptr;
    void* context = nullptr;
};

struct BlockAssembler {
    ImageInput input;
    // erasesize bytes: the image block being filled; with a sink, where
    // data is read into, at most read_size bytes at a time.
    uint8_t* block = nullptr;
    uint32_t erasesize = 0;
    PieceSink sink;  // set after init_assembler, with read_size
    uint32_t read_size = 0;
    // Image addresses are counted in 64 bits and never wrap past 4 GiB: a
    // record after the image has reached 4 GiB that names a low address is
    // out of order, not a continuation at the bottom of memory.
    uint64_t base = 0;        // image address of block[0]
    uint64_t record_at = 0;   // image address of the record's next byte
    uint32_t filled = 0;      // block[0, filled) is defined: record data or 0xFF
    uint32_t blocks = 0;      // image blocks handed out so far
    BinRecord record;         // the record being placed; its length counts down
    uint32_t record_sum = 0;  // of its data bytes read so far
    bool check_sums = true;   // refuse a record whose checksum does not match
    // A survey goes on past the faults that end an install but leave the
    // layout defined: a checksum that does not match, a record out of order
    // (its data is read and summed, not placed) and blocks past the
    // partition table's end (counted). Each fault's message is printed, the
    // one past the table's end once, and counted in `faults`. The blocks it
    // hands out hold no defined bytes; only their number means anything.
    bool survey = false;
    uint32_t faults = 0;
    bool in_record = false;   // record's header read, data not all read
    bool skipping = false;    // survey: the record is out of order, its data is not placed
    bool ended = false;       // the end record has been read
    bool handed_out = false;  // `block` holds a block the caller has not released
    RecordWatcher watcher;    // set after init_assembler
};

// Starts at the image start address with an erased block, reading from
// `input` (where check_image left it). `block` holds `erasesize` bytes and
// stays the caller's. Record checksums are checked unless the caller clears
// check_sums afterwards.
void init_assembler(BlockAssembler& assembler, const ImageInput& input, uint8_t* block, uint32_t erasesize,
                    const BinImageHeader& header);

// Reads records until the next image block is complete. Returns 1 when
// `block` holds it (image block number `blocks` - 1, valid until the next
// call), 0 after the last block (the one the end record closes), or -1 after
// the failing step's message. The end record's block goes out whatever it
// holds, even when no record byte reached it. A record's checksum is checked
// as soon as its last byte is read, before the block holding that byte goes
// out; blocks that went out before hold the record's earlier bytes.
int next_image_block(BlockAssembler& assembler);
