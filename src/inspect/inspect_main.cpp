// drimlet-inspect: answers, without ever erasing or writing, what drimlet
// would do with an image on a flash (plan), what is on a flash (show), and
// whether a flash holds exactly an image (verify).
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/command_line.h"
#include "common/standard_streams.h"
#include "inspect/dump_device.h"
#include "inspect/inspect_commands.h"

namespace {

const char kUsage[] =
    "Usage: drimlet-inspect [--erase SIZE --page SIZE [--bad B,B...]] COMMAND ...\n"
    "Commands:\n"
    "  plan -n <nonfs_size> MTD|DUMP NKFILE   where drimlet would put the image, and whether it fits\n"
    "  show MTD|DUMP                          the partition table on the flash\n"
    "  verify MTD|DUMP NKFILE                 compare the flash with the image, byte for byte\n"
    "A DUMP is a raw flash image file; --erase and --page give its geometry (bytes, or with K or M)\n"
    "and --bad its bad erase blocks. NKFILE may be - for standard input.\n";

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

bool parse_bad_list(const char* text, DumpGeometry& dump) {
    while (*text) {
        char* end;
        unsigned long block = strtoul(text, &end, 0);
        if (end == text) return false;
        dump.bad_blocks.insert(static_cast<uint32_t>(block));
        text = *end == ',' ? end + 1 : end;
    }
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    static const option kOptions[] = {{"erase", required_argument, nullptr, 'e'},
                                      {"page", required_argument, nullptr, 'p'},
                                      {"bad", required_argument, nullptr, 'b'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    if (prepare_standard_streams() != 0) return 1;
    DumpGeometry dump;
    uint32_t nonfs_bytes = 0;
    bool have_nonfs = false;
    int option;
    while ((option = getopt_long(argc, argv, "n:", kOptions, nullptr)) != -1) {
        switch (option) {
            case 'e': dump.erasesize = parse_size(optarg); break;
            case 'p': dump.writesize = parse_size(optarg); break;
            case 'b':
                if (!parse_bad_list(optarg, dump)) return usage();
                break;
            case 'n':
                nonfs_bytes = nonfs_bytes_from_text(optarg);
                have_nonfs = true;
                break;
            default: return usage();
        }
    }
    const int operands = argc - optind;
    if (operands < 1) return usage();
    const char* command = argv[optind];
    char** args = argv + optind + 1;
    if (strcmp(command, "plan") == 0 && operands == 3 && have_nonfs)
        return plan_install(args[0], dump, nonfs_bytes, args[1]);
    if (strcmp(command, "show") == 0 && operands == 2) return show_partition_table(args[0], dump);
    if (strcmp(command, "verify") == 0 && operands == 3) return verify_install(args[0], dump, args[1]);
    return usage();
}
