// Reader for Windows CE BIN images ("B000FF\n", image header, records until
// the end record). It reads strictly front to back from a descriptor and
// never seeks, so the image may come from a pipe, and it never reads past
// the end record.
#pragma once

#include <cstddef>
#include <cstdint>

struct BinImageHeader {
    uint32_t start = 0;   // image address of the first erase block's first byte
    uint32_t length = 0;  // reported only
};

struct BinRecord {
    uint32_t address = 0;   // 0 marks the end record
    uint32_t length = 0;    // data bytes after the header
    uint32_t checksum = 0;  // carried, not verified
};

// Reads exactly `size` bytes. Returns `size`, 0 at end of input (even after a
// partial read), or -1 on a read error after printing the "Short read" line.
// Interrupted reads are retried; a non-blocking descriptor is waited on.
int read_exact(int fd, uint8_t* buffer, size_t size);

// Checks the signature and reads the image header. 0 or -1 (message printed).
int check_image(int image_fd, BinImageHeader& header);

// Reads one record header. 0 or -1 (message printed).
int read_record_header(int image_fd, BinRecord& record);

// Little-endian 32-bit field at `bytes`.
uint32_t load_le32(const uint8_t* bytes);

// A record's checksum is the sum of its data bytes, each taken unsigned
// (0x80..0xFF count 128..255), in 32 bits. Adds `size` bytes to `sum`, so a
// record read in pieces sums piece by piece.
uint32_t add_to_record_checksum(uint32_t sum, const uint8_t* data, size_t size);
