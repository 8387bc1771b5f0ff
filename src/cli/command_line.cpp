#include "cli/command_line.h"

#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "common/messages.h"

namespace {
constexpr int kNoVerifyOption = 1000;  // long options only
constexpr int kIgnoreChecksumsOption = 1001;

const char* const kUsageLines[] = {
    "Usage: drimlet [options] MTD NKFILE",
    "Options:",
    "  -n <nonfs_size>     Size of non-Filesystem partition in MiB",
};
}  // namespace

uint32_t nonfs_bytes_from_text(const char* text) {
    long mib = strtol(text, nullptr, 10);
    // The board's long is 32 bits, where strtol saturates at the int32 range;
    // clamp the same way so a 64-bit build gives the same bytes.
    if (mib > INT32_MAX) mib = INT32_MAX;
    if (mib < INT32_MIN) mib = INT32_MIN;
    return static_cast<uint32_t>(static_cast<int32_t>(mib)) << 20;
}

// --progress-fd's value: a descriptor number, digits only. -1 otherwise.
int descriptor_from_text(const char* text) {
    char* end = nullptr;
    errno = 0;
    const long fd = strtol(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno == ERANGE || fd > INT_MAX) return -1;
    return static_cast<int>(fd);
}

void show_usage() {
    for (const char* line : kUsageLines) puts(line);
}

int parse_command_line(int argc, char* argv[], RunSettings& settings, int& exit_status) {
    static const option kLongOptions[] = {{"help", no_argument, nullptr, 'h'},
                                          {"version", no_argument, nullptr, 'V'},
                                          {"progress-fd", required_argument, nullptr, 'P'},
                                          {"no-verify", no_argument, nullptr, kNoVerifyOption},
                                          {"ignore-checksums", no_argument, nullptr, kIgnoreChecksumsOption},
                                          {nullptr, 0, nullptr, 0}};
    int option;
    while ((option = getopt_long(argc, argv, "n:", kLongOptions, nullptr)) != -1) {
        switch (option) {
            case 'n': settings.nonfs_bytes = nonfs_bytes_from_text(optarg); break;
            case kNoVerifyOption: settings.verify = false; break;
            case kIgnoreChecksumsOption: settings.ignore_checksums = true; break;
            case 'P':
                settings.progress_fd = descriptor_from_text(optarg);
                if (settings.progress_fd >= 0) break;
                print_message("drimlet: --progress-fd takes a descriptor number, not '%s'\n", optarg);
                show_usage();
                exit_status = 1;
                return -1;
            case 'h':
                show_usage();
                exit_status = 0;
                return -1;
            case 'V':
                printf("drimlet %s\n", DRIMLET_VERSION);
                exit_status = 0;
                return -1;
            default:
                // getopt has already printed its own diagnostic. A script
                // must not take a command line it got wrong for an install.
                show_usage();
                exit_status = 1;
                return -1;
        }
    }
    // A third operand is as wrong as a missing one: `drimlet -n 64 dev *.bin`
    // must not flash whichever file the shell sorted first.
    if (argc - optind != 2) {
        show_usage();
        exit_status = 1;
        return -1;
    }
    settings.mtd_path = argv[optind];
    settings.image_path = argv[optind + 1];
    return 0;
}
