#include "run/install_progress.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "common/messages.h"

namespace {
// The pieces of the terminal line, in the order they stand.
enum Piece { kBlocks = 1, kShortBlocks = 2, kMib = 4, kRate = 8, kShare = 16, kLeft = 32 };

// The forms of the line, longest first: the first that fits the terminal is
// drawn. The share and the time left outlast the rest, as what someone
// waiting wants to know.
const int kForms[] = {
    kBlocks | kMib | kRate | kShare | kLeft,
    kBlocks | kShare | kLeft,
    kShortBlocks | kShare | kLeft,
    kShare | kLeft,
    kShare,
    kShortBlocks,
};

double seconds_since(const timespec& then) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - then.tv_sec) +
           static_cast<double>(now.tv_nsec - then.tv_nsec) / 1e9;
}

// The share of the install done, from 0 to 1, or -1 when nothing tells.
double share_done(const InstallProgress& progress, uint32_t reached) {
    const uint64_t covered = static_cast<uint64_t>(reached - progress.span_start);
    // The last image block ends past the last record byte, so a correct
    // span is exceeded by less than one erase block.
    if (progress.span_length != 0 && covered <= uint64_t{progress.span_length} + progress.erasesize)
        return covered >= progress.span_length ? 1.0 : static_cast<double>(covered) / progress.span_length;
    if (progress.image_bytes == 0) return -1;
    const off_t read = lseek(progress.image_fd, 0, SEEK_CUR);
    return read > 0 ? static_cast<double>(read) / static_cast<double>(progress.image_bytes) : -1;
}

// A line the reader cannot take right now is dropped rather than waited for:
// a reader that stopped reading must not stop the install. Errors (a closed
// descriptor, a reader gone) are ignored for the same reason.
void report_percent(InstallProgress& progress, int percent) {
    if (progress.report_fd < 0 || percent <= progress.reported) return;
    pollfd ready{progress.report_fd, POLLOUT, 0};
    if (poll(&ready, 1, 0) != 1 || (ready.revents & POLLOUT) == 0) return;
    char line[24];
    const int length = snprintf(line, sizeof line, "progress %d\n", percent);
    if (write(progress.report_fd, line, static_cast<size_t>(length)) == length) progress.reported = percent;
}

// The line's pieces, each formatted once; an empty piece is left out.
struct Pieces {
    char text[6][40] = {};
};

Pieces format_pieces(const InstallProgress& progress, uint32_t blocks, double share) {
    const double elapsed = seconds_since(progress.started);
    const double mib = static_cast<double>(blocks) * progress.erasesize / (1 << 20);
    Pieces pieces;
    snprintf(pieces.text[0], sizeof pieces.text[0], "%u image blocks written", blocks);
    snprintf(pieces.text[1], sizeof pieces.text[1], "%u blocks", blocks);
    snprintf(pieces.text[2], sizeof pieces.text[2], "%.1f MiB", mib);
    snprintf(pieces.text[3], sizeof pieces.text[3], "%.1f MiB/s", elapsed > 0 ? mib / elapsed : 0.0);
    // Whole percents rounded down, as --progress-fd reports them.
    if (share >= 0) snprintf(pieces.text[4], sizeof pieces.text[4], "%d%%", static_cast<int>(share * 100));
    if (share > 0)
        snprintf(pieces.text[5], sizeof pieces.text[5], "%.0f s left", elapsed * (1 - share) / share);
    return pieces;
}

// Joins the pieces `form` names into `text`; returns the length.
size_t join_pieces(const Pieces& pieces, int form, char* text, size_t size) {
    size_t length = 0;
    text[0] = '\0';
    for (int piece = 0; piece < 6; ++piece) {
        if ((form & (1 << piece)) == 0 || pieces.text[piece][0] == '\0') continue;
        const int added =
            snprintf(text + length, size - length, "%s%s", length ? ", " : "", pieces.text[piece]);
        if (added < 0 || static_cast<size_t>(added) >= size - length) return strlen(text);
        length += static_cast<size_t>(added);
    }
    return length;
}

void draw_line(const InstallProgress& progress, uint32_t blocks, double share) {
    const Pieces pieces = format_pieces(progress, blocks, share);
    const size_t room = progress_line_room();
    char text[200];
    for (int form : kForms) {
        const size_t length = join_pieces(pieces, form, text, sizeof text);
        if (length > 0 && length <= room) break;
    }
    show_progress_line(text);  // the last form, cut to the room, when none fits
}
}  // namespace

void start_install_progress(InstallProgress& progress, int image_fd, uint32_t erasesize, uint32_t span_start,
                            uint32_t span_length, int report_fd) {
    progress = InstallProgress{};
    progress.on = enable_progress_line();
    clock_gettime(CLOCK_MONOTONIC, &progress.started);
    progress.image_fd = image_fd;
    progress.erasesize = erasesize;
    progress.span_start = span_start;
    progress.span_length = span_length;
    progress.report_fd = report_fd;
    struct stat image {};
    if (fstat(image_fd, &image) == 0 && S_ISREG(image.st_mode))
        progress.image_bytes = static_cast<uint64_t>(image.st_size);
    report_percent(progress, 0);
}

void update_install_progress(InstallProgress& progress, uint32_t blocks, uint32_t reached) {
    if (!progress.on && progress.report_fd < 0) return;
    const double share = share_done(progress, reached);
    if (progress.on) draw_line(progress, blocks, share);
    // 100 means installed: the partition table is still to come.
    const int percent = static_cast<int>(share * 100);
    if (share >= 0) report_percent(progress, percent < 99 ? percent : 99);
}

void finish_install_progress(InstallProgress& progress) { report_percent(progress, 100); }
