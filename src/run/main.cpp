// drimlet: installs a Windows CE BIN image onto raw NAND flash through an MTD
// character device, then writes the partition table block.
#include "cli/command_line.h"
#include "run/run_sequence.h"

int main(int argc, char* argv[]) {
    RunSettings settings;
    parse_command_line(argc, argv, settings);
    return run_install(settings);
}
