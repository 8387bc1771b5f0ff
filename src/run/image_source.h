// The image source, tuned so reading overlaps programming: the NAND is busy
// for every erase and write, and the image should keep arriving meanwhile.
#pragma once

#include <cstdint>

// A pipe grows to the system's limit (/proc/sys/fs/pipe-max-size), so a
// producer, even a bursty one, writes on while a block is programmed; a
// file is read sequentially with the kernel's readahead. Both are best
// effort: a source that cannot be tuned is read as it is. Returns 1 for a
// regular file, 0 otherwise.
int prepare_image_source(int image_fd, uint32_t erasesize);

// For a file: asks the kernel to read the next few erase blocks ahead, in
// the background, while this one is programmed. Never reads anything itself.
void read_image_ahead(int image_fd, uint32_t erasesize);
