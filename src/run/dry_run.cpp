#include "run/dry_run.h"

#include <new>
#include <utility>

#include "common/messages.h"
#include "run/stream_image.h"

int dry_run_install(FlashRun& run, const ImageInput& image, DryRun& dry) {
    dry.recorder.inner = &run.device;
    // Known from the device report: the recorder need not ask again.
    dry.recorder.writesize = run.device_writesize;
    FlashRun rehearsal;
    rehearsal.settings = run.settings;
    rehearsal.settings.dry_run = true;
    // Nothing it would write is on the flash to read back: its WriteContext
    // never starts verifying, and every erase and write it asks for succeeds,
    // so it meets no worn block either.
    rehearsal.settings.verify = false;
    rehearsal.device = recording_device(dry.recorder);
    rehearsal.geometry = run.geometry;
    rehearsal.search_end = run.search_end;
    rehearsal.image = image;
    rehearsal.image_is_file = run.image_is_file;
    // The install assembles its blocks only after the rehearsal: it lends
    // its buffer, so the check costs no memory of its own.
    rehearsal.block_buffer = std::move(run.block_buffer);
    if (!rehearsal.block_buffer)
        rehearsal.block_buffer.reset(new (std::nothrow) uint8_t[run.geometry.erasesize]);
    if (!rehearsal.block_buffer) {
        dry.lines.emplace_back("Out of memory!");
        return -1;
    }
    const MessageDestination previous = set_message_destination(MessageDestination{&dry.lines});
    dry.reached = run_install_phases(rehearsal, dry.table);
    set_message_destination(previous);
    run.block_buffer = std::move(rehearsal.block_buffer);
    run.block_sums = std::move(rehearsal.block_sums);
    run.block_sums_known = dry.reached == InstallPhase::kDone;
    return dry.reached == InstallPhase::kDone ? 0 : -1;
}

std::vector<std::string> failure_lines(const DryRun& dry) {
    std::vector<std::string> lines;
    for (const std::string& line : dry.lines)
        if (!is_image_written_line(line)) lines.push_back(line);
    return lines;
}
