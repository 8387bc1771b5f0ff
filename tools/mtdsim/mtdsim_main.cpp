// mtdsim: runs a command with a simulated NAND MTD device behind /dev/mtdN.
//
//   mtdsim --flash FILE [--size 128M] [--erase 128K] [--page 2K] [--type N]
//          [--device PATH] [--bad B,B] [--fail-erase B,B] [--fail-write B,B]
//          [--fail-query B,B] [--fail-info] [--short-write BYTES]
//          [--fault INDEX:KIND,...] [--log FILE] [--fresh] [--qemu]
//          -- COMMAND [ARGS...]
//
// The flash file is created erased (all 0xFF) when missing or with --fresh.
// Block lists are erase block numbers; fault kinds are eio, eintr, short and
// zero, applied to the device request with that 1-based index. The exit
// status is the command's, or 99 when the command broke a NAND rule
// (programming a page that is not erased, writing a bad block, unaligned
// access); the violations are then listed on standard error.
// With --qemu the preload library is handed to the command through
// QEMU_SET_ENV, for a foreign-architecture command run under qemu-user.

#include <fcntl.h>
#include <libgen.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: mtdsim --flash FILE [--size N] [--erase N] [--page N] [--type N] [--device PATH]\n"
    "              [--bad LIST] [--fail-erase LIST] [--fail-write LIST] [--fail-query LIST]\n"
    "              [--fail-info] [--short-write N] [--fault I:KIND,...] [--log FILE]\n"
    "              [--fresh] [--qemu] -- COMMAND [ARGS...]\n";

int usage() {
    fputs(kUsage, stderr);
    return 2;
}

// "128M", "2K", "0x20000", "2048" -> bytes; -1 for junk.
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

std::string directory_of_self() {
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    path[length] = '\0';
    return dirname(path);
}

int make_erased_flash(const char* path, long long size) {
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return -1;
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

}  // namespace

int main(int argc, char* argv[]) {
    const char* flash = nullptr;
    long long size = 128LL << 20, erase = 128 << 10, page = 2048;
    bool fresh = false, qemu = false;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        std::string option = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        auto set_env = [&](const char* name) {
            const char* v = value();
            if (!v) return false;
            setenv(name, v, 1);
            return true;
        };
        bool ok = true;
        if (option == "--flash")
            ok = (flash = value()) != nullptr;
        else if (option == "--size")
            ok = value() && (size = parse_size(argv[i])) > 0;
        else if (option == "--erase")
            ok = value() && (erase = parse_size(argv[i])) >= 0;
        else if (option == "--page")
            ok = value() && (page = parse_size(argv[i])) >= 0;
        else if (option == "--type")
            ok = set_env("MTDSIM_TYPE");
        else if (option == "--device")
            ok = set_env("MTDSIM_DEVICE");
        else if (option == "--bad")
            ok = set_env("MTDSIM_BAD");
        else if (option == "--fail-erase")
            ok = set_env("MTDSIM_FAIL_ERASE");
        else if (option == "--fail-write")
            ok = set_env("MTDSIM_FAIL_WRITE");
        else if (option == "--fail-query")
            ok = set_env("MTDSIM_FAIL_QUERY");
        else if (option == "--short-write")
            ok = set_env("MTDSIM_SHORT_WRITE");
        else if (option == "--fault")
            ok = set_env("MTDSIM_FAULTS");
        else if (option == "--log")
            ok = set_env("MTDSIM_LOG");
        else if (option == "--fail-info")
            setenv("MTDSIM_FAIL_INFO", "1", 1);
        else if (option == "--fresh")
            fresh = true;
        else if (option == "--qemu")
            qemu = true;
        else
            ok = false;
        if (!ok) return usage();
    }
    if (!flash || i + 1 >= argc) return usage();

    struct stat status;
    if (fresh || stat(flash, &status) != 0) {
        if (make_erased_flash(flash, size) != 0) {
            perror(flash);
            return 2;
        }
    } else if (status.st_size != size) {
        fprintf(stderr, "mtdsim: %s holds %lld bytes, not the --size %lld\n", flash,
                static_cast<long long>(status.st_size), size);
        return 2;
    }

    char violations[] = "/tmp/mtdsim-violations-XXXXXX";
    int violations_fd = mkstemp(violations);
    if (violations_fd < 0) return 2;
    close(violations_fd);

    setenv("MTDSIM_FLASH", flash, 1);
    setenv("MTDSIM_SIZE", std::to_string(size).c_str(), 1);
    setenv("MTDSIM_ERASE", std::to_string(erase).c_str(), 1);
    setenv("MTDSIM_PAGE", std::to_string(page).c_str(), 1);
    setenv("MTDSIM_VIOLATIONS", violations, 1);
    const char* library_env = getenv("MTDSIM_LIBRARY");
    // Beside the wrapper in a build tree, under the library folder once installed.
    std::string library = library_env ? library_env : directory_of_self() + "/libmtdsim.so";
    if (!library_env && access(library.c_str(), F_OK) != 0)
        library = directory_of_self() + "/../" MTDSIM_INSTALLED_LIBDIR "/drimlet/libmtdsim.so";
    if (qemu)
        setenv("QEMU_SET_ENV", ("LD_PRELOAD=" + library).c_str(), 1);
    else
        setenv("LD_PRELOAD", library.c_str(), 1);

    pid_t child = fork();
    if (child == 0) {
        execvp(argv[i + 1], argv + i + 1);
        perror(argv[i + 1]);
        _exit(127);
    }
    int wait_status = 0;
    if (child < 0 || waitpid(child, &wait_status, 0) < 0) return 2;
    int found = report_violations(violations);
    unlink(violations);
    if (found) return 99;
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return WEXITSTATUS(wait_status);
}
