// verify's comparison of the image, laid out into erase blocks the way the
// installer lays it out, with the device blocks the partition table names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "inspect/image_survey.h"
#include "inspect/inspect_flash.h"

struct BlockCheck {
    enum Status { kMatch, kDiffer, kPastEnd, kNotListed } status = kMatch;
    uint64_t device_block = 0;
    size_t differing_bytes = 0;
    size_t first_difference = 0;
    EccCount ecc;
};

struct Verifier {
    InspectFlash& flash;
    const FoundTable& found;
    uint32_t erasesize;
    bool terminal;  // draw the count of verified blocks in place
    std::unique_ptr<uint8_t[]> device_block;
    EccWatch ecc;
    std::vector<BlockCheck> blocks;
    std::vector<std::string> lines;  // the per-block findings, in order
    uint32_t differing = 0;          // among the blocks the partition table lists
    // Entries past the end of the flash, and erased device blocks where the
    // image has data: in a dump, signs of the wrong --erase or --page.
    ListedBlocks misplaced;
};

// Lays the image on `image_fd` out and compares every block, reading the
// image once: its records and their checksums go into `survey` on the way.
// The number of image blocks, or -1 when the image cannot be laid out or
// the flash cannot be read.
int compare_image(Verifier& verifier, int image_fd, ImageSurvey& survey);

// A finding for each corrected bitflip count and uncorrectable error count
// in `ecc`, about `what`.
void note_ecc(std::vector<std::string>& lines, const std::string& what, const EccCount& ecc);

// "match", "differ", "past-end", "not-listed".
const char* status_name(BlockCheck::Status status);
