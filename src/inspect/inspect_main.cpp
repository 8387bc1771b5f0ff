// drimlet-inspect: answers, without ever erasing or writing, whether an image
// is sound and would install (check), what drimlet would do with it on a
// flash (plan), what is on a flash (show), whether a flash holds exactly an
// image (verify), what every erase block holds (map), and reads an install
// back into an image (dump).
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
    "Usage: drimlet-inspect [--json] [--no-color] [--erase SIZE --page SIZE [--bad B,B...]] COMMAND ...\n"
    "       drimlet-inspect --help | --version\n"
    "Commands:\n"
    "  check [-n <nonfs_size>] NKFILE            the image's records, checksums and size; no flash needed\n"
    "  plan -n <nonfs_size> [--ignore-checksums] MTD|DUMP NKFILE\n"
    "                                            where drimlet would put the image, and whether it fits\n"
    "  show MTD|DUMP                             the partition table on the flash\n"
    "  verify MTD|DUMP NKFILE                    compare the flash with the image, byte for byte\n"
    "  map [-n <nonfs_size>] MTD|DUMP            every erase block as one character: bad, image, table...\n"
    "  dump --start ADDR MTD|DUMP OUT            read the installed blocks back into a BIN image\n"
    "A DUMP is a raw flash image file; --erase and --page give its geometry (bytes, or with K or M)\n"
    "and --bad its bad erase blocks. check takes --erase as the erase size (default 128K).\n"
    "NKFILE may be - for standard input, OUT - for standard output (not a terminal).\n"
    "--json (check, plan, show, verify, map) writes one JSON document; --no-color keeps map plain.\n";

// What is wrong with the command line, then the usage: the exit status of
// a command line that cannot run. (getopt has named a wrong option itself.)
int usage_error(const char* problem) {
    if (problem) fprintf(stderr, "drimlet-inspect: %s\n", problem);
    fputs(kUsage, stderr);
    return 1;
}

// "128K", "2048", "1M" -> bytes; 0 for junk or more than 32 bits.
uint32_t parse_size(const char* text) {
    char* end;
    errno = 0;
    unsigned long long value = strtoull(text, &end, 0);
    if (end == text || errno != 0) return 0;
    if (*end == 'K' || *end == 'k')
        value <<= 10, ++end;
    else if (*end == 'M' || *end == 'm')
        value <<= 20, ++end;
    return *end == '\0' && value <= UINT32_MAX ? static_cast<uint32_t>(value) : 0;
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

// One base-10 block number of --bad at `text`, up to 32 bits: the text
// after it, or nullptr for anything else (a sign, a space, 0x, nothing).
const char* parse_block_number(const char* text, uint32_t& block) {
    if (!isdigit(static_cast<unsigned char>(*text))) return nullptr;
    char* end;
    errno = 0;
    const unsigned long long value = strtoull(text, &end, 10);
    if (errno != 0 || value > UINT32_MAX) return nullptr;
    block = static_cast<uint32_t>(value);
    return end;
}

// "28,100-120": block numbers and ranges, as mtdsim takes them. Whether they
// lie within the dump is known once the dump is open.
bool parse_bad_list(const char* text, DumpGeometry& dump) {
    do {
        BadRange range;
        text = parse_block_number(text, range.first);
        range.last = range.first;
        if (text && *text == '-') text = parse_block_number(text + 1, range.last);
        if (!text || range.last < range.first || (*text != ',' && *text != '\0')) return false;
        dump.bad_ranges.push_back(range);
    } while (*text++ == ',');
    return true;
}

// One option into `options`: -1 to go on, or the exit status.
int take_option(int option, InspectOptions& options) {
    switch (option) {
        case 'e':
            options.dump.erasesize = parse_size(optarg);
            if (options.dump.erasesize == 0) return usage_error("--erase needs a size, like 128K");
            return -1;
        case 'p':
            options.dump.writesize = parse_size(optarg);
            if (options.dump.writesize == 0) return usage_error("--page needs a size, like 2K");
            return -1;
        case 'b':
            if (!parse_bad_list(optarg, options.dump))
                return usage_error("--bad needs erase block numbers and ranges, like 28,100-120");
            return -1;
        case 's':
            if (!parse_address(optarg, options.dump_start))
                return usage_error("--start needs an address below 4 GiB, like 0x80200000");
            options.have_start = true;
            return -1;
        case 'n':
            options.nonfs_bytes = nonfs_bytes_from_text(optarg);
            options.have_nonfs = true;
            return -1;
        case 'j': options.json = true; return -1;
        case 'C': options.no_color = true; return -1;
        case 'c': options.ignore_checksums = true; return -1;
        case 'h': fputs(kUsage, stdout); return 0;
        case 'V': printf("drimlet-inspect %s\n", DRIMLET_VERSION); return 0;
        default: return usage_error(nullptr);
    }
}

// The options: -1 when the command is to run, or the exit status.
int parse_options(int argc, char* argv[], InspectOptions& options) {
    static const option kOptions[] = {
        {"erase", required_argument, nullptr, 'e'},      {"page", required_argument, nullptr, 'p'},
        {"bad", required_argument, nullptr, 'b'},        {"json", no_argument, nullptr, 'j'},
        {"start", required_argument, nullptr, 's'},      {"no-color", no_argument, nullptr, 'C'},
        {"ignore-checksums", no_argument, nullptr, 'c'}, {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},          {nullptr, 0, nullptr, 0}};
    int option;
    while ((option = getopt_long(argc, argv, "n:", kOptions, nullptr)) != -1) {
        const int status = take_option(option, options);
        if (status >= 0) return status;
    }
    // A page never spans erase blocks; whichever option came first.
    const DumpGeometry& dump = options.dump;
    if (dump.erasesize && dump.writesize > dump.erasesize)
        return usage_error(
            format_text("--page %u is larger than --erase %u: a page lies within one erase block",
                        dump.writesize, dump.erasesize)
                .c_str());
    return -1;
}

struct Command {
    const char* name;
    const char* operands;  // as the usage names them
    int count;             // of operands
};

const Command kCommands[] = {{"check", "NKFILE", 1},  {"plan", "MTD|DUMP NKFILE", 2},
                             {"show", "MTD|DUMP", 1}, {"verify", "MTD|DUMP NKFILE", 2},
                             {"map", "MTD|DUMP", 1},  {"dump", "MTD|DUMP OUT", 2}};

// Runs the command `args[0]` with its operands after it: the exit status.
int run_command(const InspectOptions& options, int count, char** args) {
    if (count == 0) return usage_error("no command: check, plan, show, verify, map or dump");
    const Command* command = nullptr;
    for (const Command& known : kCommands)
        if (strcmp(args[0], known.name) == 0) command = &known;
    if (!command) return usage_error(format_text("unknown command \"%s\"", args[0]).c_str());
    if (count - 1 != command->count)
        return usage_error(format_text("%s needs %s", command->name, command->operands).c_str());
    const std::string name = command->name;
    if (name == "plan" && !options.have_nonfs) return usage_error("plan needs -n");
    if (name == "dump" && !options.have_start) return usage_error("dump needs --start");
    if (name == "dump" && options.json) return usage_error("dump has no --json: its output is the image");
    if (name == "check") return check_image_file(options, args[1]);
    if (name == "plan") return plan_install(options, args[1], args[2]);
    if (name == "show") return show_partition_table(options, args[1]);
    if (name == "verify") return verify_install(options, args[1], args[2]);
    if (name == "map") return map_blocks(options, args[1]);
    return dump_image(options, args[1], args[2]);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (prepare_standard_streams() != 0) return 1;
    InspectOptions options;
    const int status = parse_options(argc, argv, options);
    if (status >= 0) return status;
    return run_command(options, argc - optind, argv + optind);
}
