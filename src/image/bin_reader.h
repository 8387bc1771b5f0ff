// Reader for Windows CE BIN images ("B000FF\n", image header, records until
// the end record). It reads strictly front to back and never seeks, so the
// image may come from a pipe, and it never reads past the end record.
#pragma once

#include <cstddef>
#include <cstdint>

struct BinImageHeader {
    uint32_t start = 0;   // image address of the first erase block's first byte
    uint32_t length = 0;  // reported only
    // The image's first bytes, as many of the signature's as it has: what a
    // file that is not a B000FF image starts with.
    uint8_t signature[7] = {};
    uint32_t signature_bytes = 0;
};

struct BinRecord {
    uint32_t address = 0;   // 0 marks the end record
    uint32_t length = 0;    // data bytes after the header
    uint32_t checksum = 0;  // the sum of the data bytes (see add_to_record_checksum)
};

// Where the image's bytes come from. Normally the descriptor is read front
// to back with read(2). The check before writing reads a regular file with
// pread(2) from `offset` on instead, so the descriptor's own offset stays
// where the install will start reading.
struct ImageInput {
    int fd = -1;
    bool positioned = false;  // pread at `offset` rather than read
    uint64_t offset = 0;      // advanced by every byte read, also by the bytes of a short read
    int error = 0;            // errno of the read that failed, or 0
};

// Reads exactly `size` bytes. Returns `size`, 0 at end of input (even after a
// partial read), or -1 on a read error after printing the "Short read" line.
// Interrupted reads are retried; a non-blocking descriptor is waited on. An
// interrupt that asks the run to stop (common/interrupt.h) ends the wait for
// a pipe: -1, with nothing printed.
int read_exact(ImageInput& input, uint8_t* buffer, size_t size);

// Checks the signature and reads the image header. 0 or -1 (message printed,
// unless an interrupt stopped the read).
int check_image(ImageInput& input, BinImageHeader& header);

// Reads one record header. 0 or -1 (message printed, as for check_image).
int read_record_header(ImageInput& input, BinRecord& record);

// Little-endian 32-bit field at `bytes`.
uint32_t load_le32(const uint8_t* bytes);

// A record's checksum is the sum of its data bytes, each taken unsigned
// (0x80..0xFF count 128..255), in 32 bits. Adds `size` bytes to `sum`, so a
// record read in pieces sums piece by piece.
uint32_t add_to_record_checksum(uint32_t sum, const uint8_t* data, size_t size);
