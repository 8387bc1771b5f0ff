// mtdsim: runs a command with a simulated NAND MTD device behind /dev/mtdN.
//
//   mtdsim --flash FILE [--size 128M] [--erase 128K] [--page 2K] [--type N]
//          [--device PATH] [--bad LIST] [--fail-erase LIST] [--fail-write LIST]
//          [--fail-query LIST] [--fail-page LIST] [--fail-info] [--short-write BYTES]
//          [--fail-markbad LIST] [--weak B[:N],...] [--weak-page P[:N],...]
//          [--corrupt-write B[:OFFSET],...] [--stray-write B[:OFFSET],...]
//          [--ecc-fail-written LIST]
//          [--bitflips B[:N],...] [--ecc-fail LIST] [--fault INDEX:KIND,...]
//          [--cut INDEX[:PAGES]] [--timing] [--t-prog US] [--t-read US] [--t-erase US] [--t-exact]
//          [--log FILE] [--fresh] [--qemu] -- COMMAND [ARGS...]
//
// The flash file is created erased (all 0xFF) when missing or with --fresh;
// from 4 GiB on it is sparse, a hole being erased flash. FILE.pages beside it
// records which pages were programmed since their last erase and which
// blocks were marked bad (MEMSETBADBLOCK; --fresh clears the marks). Block
// lists are erase block numbers and ranges (28,100-120); --fail-page and
// --weak-page take page numbers. --weak B:N lets block B erase N more times
// (default 3, as nandsim's weakblocks) before every erase fails; --weak-page
// P:N the same for programs of page P (nandsim's weakpages). Fault kinds are
// eio, eintr, short, zero, einval, enomem, efault and ecc, applied to the
// device request with that 1-based index; --cut kills the command at that request as a power loss
// would. Exit status: the command's; 99 when it broke a NAND rule
// (programming a page not erased since it was last programmed, writing a bad
// block, unaligned access), the violations then listed on standard error; 97
// when the command cannot be simulated (statically linked, or of another
// architecture than the preload library) and so was not run; 98 when the
// preload library did not announce itself in the command, whose device
// requests then were not simulated; 128+9 after a --cut. With --qemu the
// preload library is handed to the command through QEMU_SET_ENV, for a
// foreign-architecture command run under qemu-user.

#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mtdsim_shared.h"
#include "page_state.h"
#include "program_check.h"

namespace {

constexpr int kStatusUsage = 2;
constexpr int kStatusRefused = 97;
constexpr int kStatusNotLoaded = 98;
constexpr int kStatusViolation = 99;

const char kUsage[] =
    "usage: mtdsim --flash FILE [--size N] [--erase N] [--page N] [--type N] [--device PATH]\n"
    "              [--bad LIST] [--fail-erase LIST] [--fail-write LIST] [--fail-query LIST]\n"
    "              [--fail-page LIST] [--fail-info] [--short-write N] [--bitflips B[:N],...]\n"
    "              [--ecc-fail LIST] [--fail-markbad LIST] [--weak B[:N],...]\n"
    "              [--weak-page P[:N],...] [--corrupt-write B[:OFFSET],...]\n"
    "              [--stray-write B[:OFFSET],...] [--ecc-fail-written LIST]\n"
    "              [--fault I:KIND,...] [--cut I[:PAGES]] [--timing]\n"
    "              [--t-prog US] [--t-read US] [--t-erase US] [--t-exact] [--log FILE] [--fresh] [--qemu]\n"
    "              -- COMMAND [ARGS...]\n"
    "LIST: numbers and ranges, e.g. 28,100-120\n";

// What the wrapper owns in the environment; nothing of an outer mtdsim run
// may leak into this one.
const char* const kSettings[] = {"MTDSIM_FLASH",       "MTDSIM_SIZE",          "MTDSIM_ERASE",
                                 "MTDSIM_PAGE",        "MTDSIM_TYPE",          "MTDSIM_DEVICE",
                                 "MTDSIM_BAD",         "MTDSIM_FAIL_ERASE",    "MTDSIM_FAIL_WRITE",
                                 "MTDSIM_FAIL_QUERY",  "MTDSIM_FAIL_PAGE",     "MTDSIM_FAIL_INFO",
                                 "MTDSIM_SHORT_WRITE", "MTDSIM_BITFLIPS",      "MTDSIM_ECC_FAIL",
                                 "MTDSIM_FAULTS",      "MTDSIM_CUT",           "MTDSIM_T_PROG",
                                 "MTDSIM_T_READ",      "MTDSIM_T_ERASE",       "MTDSIM_LOG",
                                 "MTDSIM_VIOLATIONS",  "MTDSIM_HANDSHAKE",     "MTDSIM_CUT_REPORT",
                                 "MTDSIM_PAGES",       "MTDSIM_FAIL_MARKBAD",  "MTDSIM_WEAK",
                                 "MTDSIM_WEAK_PAGE",   "MTDSIM_CORRUPT_WRITE", "MTDSIM_ECC_FAIL_WRITTEN",
                                 "MTDSIM_STRAY_WRITE", "MTDSIM_T_EXACT"};

int usage() {
    fputs(kUsage, stderr);
    return kStatusUsage;
}

// "128M", "2K", "6G", "0x20000", "2048" -> bytes; -1 for junk.
long long parse_size(const char* text) {
    char* end;
    unsigned long long value = strtoull(text, &end, 0);
    switch (*end) {
        case 'K':
        case 'k':
            value <<= 10;
            ++end;
            break;
        case 'M':
        case 'm':
            value <<= 20;
            ++end;
            break;
        case 'G':
        case 'g':
            value <<= 30;
            ++end;
            break;
        default: break;
    }
    return end == text || *end ? -1 : static_cast<long long>(value);
}

// A plain decimal or hex count; -1 for junk.
long long parse_count(const char* text) {
    char* end;
    unsigned long long value = strtoull(text, &end, 0);
    return end == text || *end || text[0] == '-' ? -1 : static_cast<long long>(value);
}

bool valid_list(const char* text, bool with_value) {
    mtdsim::RangeList list;
    int count = mtdsim::parse_ranges(text, with_value, 1, list);
    free(list.items);
    return count > 0;
}

// "INDEX" or "INDEX:PAGES", INDEX from 1.
bool valid_cut(const char* text) {
    char* end;
    unsigned long long index = strtoull(text, &end, 10);
    if (end == text || index == 0 || text[0] == '-') return false;
    if (*end == '\0') return true;
    if (*end != ':' || end[1] < '0' || end[1] > '9') return false;
    strtoull(end + 1, &end, 10);
    return *end == '\0';
}

std::string directory_of_self() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    path[length] = '\0';
    return dirname(path);
}

// An erased chip: all 0xFF, or from 4 GiB on a hole, which the simulator
// reads as erased, so a large chip costs no disk until it is written.
int make_erased_flash(const char* path, long long size) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return -1;
    if (static_cast<unsigned long long>(size) >= mtdsim::kSparseFrom) {
        int result = ftruncate(fd, static_cast<off_t>(size));
        return close(fd) == 0 ? result : -1;
    }
    std::vector<char> erased(1 << 20, static_cast<char>(0xFF));
    for (long long done = 0; done < size;) {
        size_t piece = size - done < static_cast<long long>(erased.size()) ? size - done : erased.size();
        if (write(fd, erased.data(), piece) != static_cast<ssize_t>(piece)) {
            close(fd);
            return -1;
        }
        done += static_cast<long long>(piece);
    }
    return close(fd);
}

int report_violations(const std::string& path) {
    FILE* file = fopen(path.c_str(), "r");
    if (!file) return 0;
    int count = 0;
    char line[300];
    while (fgets(line, sizeof line, file)) {
        if (count++ == 0) fputs("mtdsim: NAND violations:\n", stderr);
        fprintf(stderr, "mtdsim:   %s", line);
    }
    fclose(file);
    return count;
}

// The request a --cut ended at, as the library reported it ("7 write
// 0x00020000 131072 after 3 pages"); empty when the cut never came.
std::string read_cut(const std::string& path) {
    FILE* file = fopen(path.c_str(), "r");
    if (!file) return "";
    char line[300] = "";
    if (!fgets(line, sizeof line, file)) line[0] = '\0';
    fclose(file);
    line[strcspn(line, "\n")] = '\0';
    return line;
}

// The library opens these files when the command first opens the device,
// maybe after a chdir: hand it absolute paths.
std::string absolute(const char* path) {
    if (path[0] == '/') return path;
    char here[PATH_MAX];
    return getcwd(here, sizeof here) ? std::string(here) + "/" + path : path;
}

bool file_has_content(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && status.st_size > 0;
}

// The wrapper's own settings; the rest go straight into the environment,
// where the preload library reads them.
struct Options {
    const char* flash = nullptr;
    long long size = 128LL << 20, erase = 128 << 10, page = 2048;
    long long t_prog = 300, t_read = 25, t_erase = 2000;  // an SLC chip's typical figures, in µs
    bool fresh = false, qemu = false, timing = false;
    char** command = nullptr;
};

// Options the library reads from the environment as given. Block and page
// lists are checked here, so a typo fails at once rather than simulating
// nothing.
enum class Value { kText, kList, kListWithCounts /* B[:N] items */ };
struct LibraryOption {
    const char* option;
    const char* setting;
    Value value;
};
const LibraryOption kLibraryOptions[] = {
    {"--bad", "MTDSIM_BAD", Value::kList},
    {"--fail-erase", "MTDSIM_FAIL_ERASE", Value::kList},
    {"--fail-write", "MTDSIM_FAIL_WRITE", Value::kList},
    {"--fail-query", "MTDSIM_FAIL_QUERY", Value::kList},
    {"--fail-page", "MTDSIM_FAIL_PAGE", Value::kList},
    {"--bitflips", "MTDSIM_BITFLIPS", Value::kListWithCounts},
    {"--ecc-fail", "MTDSIM_ECC_FAIL", Value::kList},
    {"--ecc-fail-written", "MTDSIM_ECC_FAIL_WRITTEN", Value::kList},
    {"--fail-markbad", "MTDSIM_FAIL_MARKBAD", Value::kList},
    {"--weak", "MTDSIM_WEAK", Value::kListWithCounts},
    {"--weak-page", "MTDSIM_WEAK_PAGE", Value::kListWithCounts},
    {"--corrupt-write", "MTDSIM_CORRUPT_WRITE", Value::kListWithCounts},
    {"--stray-write", "MTDSIM_STRAY_WRITE", Value::kListWithCounts},
    {"--type", "MTDSIM_TYPE", Value::kText},
    {"--device", "MTDSIM_DEVICE", Value::kText},
    {"--short-write", "MTDSIM_SHORT_WRITE", Value::kText},
    {"--fault", "MTDSIM_FAULTS", Value::kText},
};

// Options without a value, and those the wrapper itself uses.
bool parse_own_option(const std::string& option, const char* value, bool& used_value, Options& o) {
    used_value = true;
    if (option == "--flash") return (o.flash = value) != nullptr;
    if (option == "--size") return value && (o.size = parse_size(value)) > 0;
    if (option == "--erase") return value && (o.erase = parse_size(value)) >= 0;
    if (option == "--page") return value && (o.page = parse_size(value)) >= 0;
    if (option == "--cut") return value && valid_cut(value) && setenv("MTDSIM_CUT", value, 1) == 0;
    if (option == "--log") return value && setenv("MTDSIM_LOG", absolute(value).c_str(), 1) == 0;
    long long* time = option == "--t-prog"    ? &o.t_prog
                      : option == "--t-read"  ? &o.t_read
                      : option == "--t-erase" ? &o.t_erase
                                              : nullptr;
    if (time) {
        o.timing = true;
        return value && (*time = parse_count(value)) >= 0;
    }
    used_value = false;
    if (option == "--timing") {
        o.timing = true;
        return true;
    }
    if (option == "--t-exact") {
        o.timing = true;
        return setenv("MTDSIM_T_EXACT", "1", 1) == 0;
    }
    if (option == "--fresh") {
        o.fresh = true;
        return true;
    }
    if (option == "--qemu") {
        o.qemu = true;
        return true;
    }
    if (option == "--fail-info") return setenv("MTDSIM_FAIL_INFO", "1", 1) == 0;
    return false;
}

// Everything before "--", then the command after it. false on a usage error.
bool parse_options(int argc, char* argv[], Options& o) {
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool used_value = true, ok = false, known = false;
        for (const LibraryOption& library : kLibraryOptions)
            if (option == library.option) {
                known = true;
                ok = value &&
                     (library.value == Value::kText ||
                      valid_list(value, library.value == Value::kListWithCounts)) &&
                     setenv(library.setting, value, 1) == 0;
            }
        if (!known) ok = parse_own_option(option, value, used_value, o);
        if (!ok) return false;
        if (used_value) ++i;
    }
    if (!o.flash || i + 1 >= argc) return false;
    o.command = argv + i + 1;
    return true;
}

// Beside the wrapper in a build tree, under the library folder once installed.
std::string find_library() {
    const char* library_env = getenv("MTDSIM_LIBRARY");
    if (library_env) return library_env;
    std::string library = directory_of_self() + "/libmtdsim.so";
    if (access(library.c_str(), F_OK) != 0)
        library = directory_of_self() + "/../" MTDSIM_INSTALLED_LIBDIR "/drimlet/libmtdsim.so";
    return library;
}

// Creates or checks the flash file and prepares FILE.pages, holding a shared
// lock on it while the command runs. 0, or the exit status after a message.
int prepare_flash(const Options& o, const std::string& pages_path) {
    // Another mtdsim may be running a command on this flash file right now
    // (two programs contending for the device's lock): its library has
    // FLASH.pages mapped and keeps it current, and rebuilding the file would
    // pull the pages from under it. Every wrapper holds a shared lock on it
    // while its command runs; only one that finds no other prepares it, and
    // --fresh, which would erase the chip under the other command, is refused.
    const int pages_lock = open(pages_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (pages_lock < 0) {
        perror(pages_path.c_str());
        return kStatusUsage;
    }
    const bool alone = flock(pages_lock, LOCK_EX | LOCK_NB) == 0;
    if (!alone && o.fresh) {
        fprintf(stderr, "mtdsim: another mtdsim is running a command on %s: --fresh would erase it\n",
                o.flash);
        return kStatusUsage;
    }
    struct stat status;
    const bool created = o.fresh || stat(o.flash, &status) != 0;
    if (created) {
        if (make_erased_flash(o.flash, o.size) != 0) {
            perror(o.flash);
            return kStatusUsage;
        }
    } else if (status.st_size != o.size) {
        fprintf(stderr, "mtdsim: %s holds %lld bytes, not the --size %lld\n", o.flash,
                static_cast<long long>(status.st_size), o.size);
        return kStatusUsage;
    }
    const uint64_t unit = o.page == 0 ? 1 : static_cast<uint64_t>(o.page);
    const uint64_t blocks = o.erase > 0 ? static_cast<uint64_t>(o.size / o.erase) : 0;
    if (alone && mtdsim::prepare_page_state(o.flash, pages_path, static_cast<uint64_t>(o.size), unit, blocks,
                                            created) != 0) {
        perror(pages_path.c_str());
        return kStatusUsage;
    }
    if (flock(pages_lock, LOCK_SH) != 0) {
        perror(pages_path.c_str());
        return kStatusUsage;
    }
    return 0;
}

// Where the library reports back to the wrapper, in a folder of this run's.
struct Reports {
    std::string folder, violations, handshake, cut;
};

void export_settings(const Options& o, const std::string& flash_path, const std::string& pages_path,
                     const Reports& reports, const std::string& library) {
    setenv("MTDSIM_FLASH", flash_path.c_str(), 1);
    setenv("MTDSIM_SIZE", std::to_string(o.size).c_str(), 1);
    setenv("MTDSIM_ERASE", std::to_string(o.erase).c_str(), 1);
    setenv("MTDSIM_PAGE", std::to_string(o.page).c_str(), 1);
    setenv("MTDSIM_PAGES", pages_path.c_str(), 1);
    setenv("MTDSIM_VIOLATIONS", reports.violations.c_str(), 1);
    setenv("MTDSIM_HANDSHAKE", reports.handshake.c_str(), 1);
    setenv("MTDSIM_CUT_REPORT", reports.cut.c_str(), 1);
    if (o.timing) {
        setenv("MTDSIM_T_PROG", std::to_string(o.t_prog).c_str(), 1);
        setenv("MTDSIM_T_READ", std::to_string(o.t_read).c_str(), 1);
        setenv("MTDSIM_T_ERASE", std::to_string(o.t_erase).c_str(), 1);
    }
    if (o.qemu)
        setenv("QEMU_SET_ENV", ("LD_PRELOAD=" + library).c_str(), 1);
    else
        setenv("LD_PRELOAD", library.c_str(), 1);
}

// Runs the command to its end: 0 with its wait status, or -1 when it could
// not be started or waited for. `exec_failed` tells whether the exec
// happened: a command that never ran cannot have loaded the library.
int run_command(char** command, int& wait_status, bool& exec_failed) {
    int exec_check[2];
    if (pipe2(exec_check, O_CLOEXEC) != 0) return -1;
    pid_t child = fork();
    if (child == 0) {
        close(exec_check[0]);
        execvp(command[0], command);
        int error = errno;
        perror(command[0]);
        if (write(exec_check[1], &error, sizeof error) < 0) _exit(127);
        _exit(127);
    }
    close(exec_check[1]);
    int exec_error = 0;
    exec_failed = child > 0 && read(exec_check[0], &exec_error, sizeof exec_error) > 0;
    close(exec_check[0]);
    return child < 0 || waitpid(child, &wait_status, 0) < 0 ? -1 : 0;
}

// What the library reported, said on standard error, and the exit status.
int conclude(const Reports& reports, const std::string& library, const char* command, bool exec_failed,
             int wait_status) {
    const bool loaded = file_has_content(reports.handshake);
    const std::string cut_at = read_cut(reports.cut);
    int found = report_violations(reports.violations);
    unlink(reports.violations.c_str());
    unlink(reports.handshake.c_str());
    unlink(reports.cut.c_str());
    rmdir(reports.folder.c_str());
    if (!exec_failed && !loaded) {
        fprintf(
            stderr,
            "mtdsim: the preload library %s did not load into %s: its device requests were not simulated\n",
            library.c_str(), command);
        return kStatusNotLoaded;
    }
    if (found) return kStatusViolation;
    if (!cut_at.empty()) {
        size_t space = cut_at.find(' ');
        fprintf(stderr, "mtdsim: power cut at request %s: %s\n", cut_at.substr(0, space).c_str(),
                space == std::string::npos ? "" : cut_at.c_str() + space + 1);
    }
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return WEXITSTATUS(wait_status);
}

}  // namespace

int main(int argc, char* argv[]) {
    for (const char* name : kSettings) unsetenv(name);
    Options options;
    if (!parse_options(argc, argv, options)) return usage();
    const std::string library = find_library();
    if (mtdsim::check_program(options.command, library, options.qemu) != 0) return kStatusRefused;

    const std::string flash_path = absolute(options.flash);
    const std::string pages_path = flash_path + ".pages";
    if (int status = prepare_flash(options, pages_path)) return status;

    char folder[] = "/tmp/mtdsim-XXXXXX";
    if (!mkdtemp(folder)) return kStatusUsage;
    const Reports reports{folder, std::string(folder) + "/violations", std::string(folder) + "/loaded",
                          std::string(folder) + "/cut"};
    export_settings(options, flash_path, pages_path, reports, library);

    int wait_status = 0;
    bool exec_failed = false;
    if (run_command(options.command, wait_status, exec_failed) != 0) return kStatusUsage;
    mtdsim::stamp_page_state(options.flash, pages_path);
    return conclude(reports, library, options.command[0], exec_failed, wait_status);
}
