#include "cli/command_line.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/messages.h"

namespace {
constexpr int kNoVerifyOption = 1000;  // long options only
constexpr int kIgnoreChecksumsOption = 1001;

const char kProgressNotOpenFormat[] = "drimlet: --progress-fd %d is not an open descriptor: %s\n";
const char kProgressIsDeviceFormat[] =
    "drimlet: --progress-fd %d is the MTD device %s: progress lines would be written into the flash\n";
const char kProgressIsImageFormat[] =
    "drimlet: --progress-fd %d is the image %s: progress lines would be written into it\n";

const char* const kUsageLines[] = {
    "Usage: drimlet [options] MTD NKFILE",
    "Options:",
    "  -n <nonfs_size>     Size of non-Filesystem partition in MiB",
};

// Whether `path` ("-": standard input) names the file `target` is: the same
// inode, or for a device also the same device under another name.
bool names_file(const char* path, const struct stat& target, bool as_device) {
    struct stat status {};
    if ((strcmp(path, "-") == 0 ? fstat(STDIN_FILENO, &status) : stat(path, &status)) != 0) return false;
    if (status.st_dev == target.st_dev && status.st_ino == target.st_ino) return true;
    const bool devices = (S_ISCHR(status.st_mode) && S_ISCHR(target.st_mode)) ||
                         (S_ISBLK(status.st_mode) && S_ISBLK(target.st_mode));
    return as_device && devices && status.st_rdev == target.st_rdev;
}
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

int check_progress_descriptor(const RunSettings& settings) {
    const int fd = settings.progress_fd;
    if (fd < 0) return 0;
    struct stat target {};
    if (fcntl(fd, F_GETFD) < 0 || fstat(fd, &target) != 0) {
        print_message(kProgressNotOpenFormat, fd, strerror(errno));
        return -1;
    }
    if (names_file(settings.mtd_path, target, true)) {
        print_message(kProgressIsDeviceFormat, fd, settings.mtd_path);
        return -1;
    }
    if (names_file(settings.image_path, target, false)) {
        const bool piped = strcmp(settings.image_path, "-") == 0;
        print_message(kProgressIsImageFormat, fd, piped ? "on standard input" : settings.image_path);
        return -1;
    }
    return 0;
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
