// drimlet-inspect: answers, without ever erasing or writing, whether an image
// is sound and would install (check), what drimlet would do with it on a
// flash (plan), what is on a flash (show), whether a flash holds exactly an
// image (verify), and reads an install back into an image (dump).
#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/command_line.h"
#include "common/standard_streams.h"
#include "inspect/dump_device.h"
#include "inspect/inspect_commands.h"

namespace {

const char kUsage[] =
    "Usage: drimlet-inspect [--json] [--erase SIZE --page SIZE [--bad B,B...]] COMMAND ...\n"
    "Commands:\n"
    "  check [-n <nonfs_size>] NKFILE            the image's records, checksums and size; no flash needed\n"
    "  plan -n <nonfs_size> [--ignore-checksums] MTD|DUMP NKFILE\n"
    "                                            where drimlet would put the image, and whether it fits\n"
    "  show MTD|DUMP                             the partition table on the flash\n"
    "  verify MTD|DUMP NKFILE                    compare the flash with the image, byte for byte\n"
    "  dump --start ADDR MTD|DUMP OUT            read the installed blocks back into a BIN image\n"
    "A DUMP is a raw flash image file; --erase and --page give its geometry (bytes, or with K or M)\n"
    "and --bad its bad erase blocks. check takes --erase as the erase size (default 128K).\n"
    "NKFILE may be - for standard input. --json (check, plan, show, verify) writes one JSON document.\n";

int usage() {
    fputs(kUsage, stderr);
    return 2;
}

// "128K", "2048", "1M" -> bytes; 0 for junk.
uint32_t parse_size(const char* text) {
    char* end;
    unsigned long value = strtoul(text, &end, 0);
    if (*end == 'K' || *end == 'k')
        value <<= 10, ++end;
    else if (*end == 'M' || *end == 'm')
        value <<= 20, ++end;
    return *end == '\0' ? static_cast<uint32_t>(value) : 0;
}

// "0x80200000" -> the address; false for junk or more than 32 bits.
bool parse_address(const char* text, uint32_t& address) {
    char* end;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 0);
    if (end == text || *end != '\0' || errno != 0 || value > UINT32_MAX) return false;
    address = static_cast<uint32_t>(value);
    return true;
}

// "28,100-120": block numbers and ranges, as mtdsim takes them.
bool parse_bad_list(const char* text, DumpGeometry& dump) {
    while (*text) {
        if (!isdigit(static_cast<unsigned char>(*text))) return false;
        char* end;
        unsigned long first = strtoul(text, &end, 0), last = first;
        if (*end == '-') {
            const char* from = end + 1;
            if (!isdigit(static_cast<unsigned char>(*from))) return false;
            last = strtoul(from, &end, 0);
        }
        if (last < first || last > UINT32_MAX) return false;
        for (unsigned long block = first; block <= last; ++block)
            dump.bad_blocks.insert(static_cast<uint32_t>(block));
        if (*end != ',' && *end != '\0') return false;
        text = *end == ',' ? end + 1 : end;
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    static const option kOptions[] = {
        {"erase", required_argument, nullptr, 'e'},      {"page", required_argument, nullptr, 'p'},
        {"bad", required_argument, nullptr, 'b'},        {"json", no_argument, nullptr, 'j'},
        {"start", required_argument, nullptr, 's'},      {"help", no_argument, nullptr, 'h'},
        {"ignore-checksums", no_argument, nullptr, 'c'}, {nullptr, 0, nullptr, 0}};
    if (prepare_standard_streams() != 0) return 1;
    InspectOptions options;
    bool erase_given = false;
    int option;
    while ((option = getopt_long(argc, argv, "n:", kOptions, nullptr)) != -1) {
        switch (option) {
            case 'e':
                options.dump.erasesize = parse_size(optarg);
                erase_given = true;
                break;
            case 'p': options.dump.writesize = parse_size(optarg); break;
            case 'b':
                if (!parse_bad_list(optarg, options.dump)) return usage();
                break;
            case 'j': options.json = true; break;
            case 'c': options.ignore_checksums = true; break;
            case 's':
                if (!parse_address(optarg, options.dump_start)) return usage();
                options.have_start = true;
                break;
            case 'n':
                options.nonfs_bytes = nonfs_bytes_from_text(optarg);
                options.have_nonfs = true;
                break;
            default: return usage();
        }
    }
    const int operands = argc - optind;
    if (operands < 1) return usage();
    const char* command = argv[optind];
    char** args = argv + optind + 1;
    if (strcmp(command, "check") == 0 && operands == 2) {
        // check counts image blocks in erase blocks: an unreadable size is a typo, not the default.
        if (erase_given && options.dump.erasesize == 0) return usage();
        return check_image_file(options, args[0]);
    }
    if (strcmp(command, "plan") == 0 && operands == 3 && options.have_nonfs)
        return plan_install(options, args[0], args[1]);
    if (strcmp(command, "show") == 0 && operands == 2) return show_partition_table(options, args[0]);
    if (strcmp(command, "verify") == 0 && operands == 3) return verify_install(options, args[0], args[1]);
    if (strcmp(command, "dump") == 0 && operands == 3 && options.have_start && !options.json)
        return dump_image(options, args[0], args[1]);
    return usage();
}
