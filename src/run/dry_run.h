// The install's own phases on a recorder around the opened device: the
// bad-block queries and reads reach the flash, the erases and writes are
// only noted. What the phases print is kept, so the caller decides what the
// user sees. The installer runs this before it changes anything when the
// image is a regular file; drimlet-inspect plan runs it for any image.
#pragma once

#include <string>
#include <vector>

#include "device/recording_device.h"
#include "image/bin_reader.h"
#include "run/flash_run.h"
#include "run/run_sequence.h"
#include "table/partition_table.h"

struct DryRun {
    Recorder recorder;               // what the install would erase and write, in order
    std::vector<std::string> lines;  // what it would print, without newlines
    InstallPhase reached = InstallPhase::kImageHeader;
    BlockTable table;  // the image blocks it would write
};

// Runs the phases of `run` (device open, geometry and search end known) on
// a recorder around run.device, reading the image from `image`, with every
// erase and write taken to succeed. 0 when the install would succeed; -1
// when it would fail (the last kept line is the failure message) or an
// interrupt stopped it (interrupt_signal() is then set). On success the
// checksum of each image block it assembled is left in run.block_sums, for
// the install to compare each block against before writing it.
int dry_run_install(FlashRun& run, const ImageInput& image, DryRun& dry);

// The lines the installer prints when the dry run failed: all it kept but
// the "Image written" line, since no image was written.
std::vector<std::string> failure_lines(const DryRun& dry);
