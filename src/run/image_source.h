// The image source: opened from the second operand, and tuned so reading
// overlaps programming: the NAND is busy for every erase and write, and the
// image should keep arriving meanwhile.
#pragma once

#include <cstdint>

#include "image/bin_reader.h"

// Opens the image: the file `path`, or standard input for "-". Returns the
// descriptor, or -1 after "Failed to open image file" (with the reason), or
// after "Refusing to read the image from a terminal" for "-" on a terminal:
// a user who forgot the redirection would otherwise wait on a silent
// program.
int open_image(const char* path);

// A pipe grows to the system's limit (/proc/sys/fs/pipe-max-size), so a
// producer, even a bursty one, writes on while a block is programmed; a
// file is read sequentially with the kernel's readahead. Both are best
// effort: a source that cannot be tuned is read as it is. Returns 1 for a
// regular file, 0 otherwise.
int prepare_image_source(int image_fd, uint32_t erasesize);

// For a file: asks the kernel to read the next few erase blocks after where
// `input` reads next ahead, in the background, while this one is
// programmed. Never reads anything itself.
void read_image_ahead(const ImageInput& input, uint32_t erasesize);
