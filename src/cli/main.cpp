// drimlet: installs a Windows CE BIN image onto raw NAND flash through an MTD
// character device, then writes the partition table block.
#include "cli/command_line.h"
#include "common/interrupt.h"
#include "common/standard_streams.h"
#include "device/mtd_device_linux.h"
#include "run/run_sequence.h"

int main(int argc, char* argv[]) {
    if (prepare_standard_streams() != 0) return 1;
    RunSettings settings;
    int exit_status = 0;
    if (parse_command_line(argc, argv, settings, exit_status) != 0) return exit_status;
    if (check_progress_descriptor(settings) != 0) return 1;
    const int status = run_install(settings, linux_mtd_device());
    // A script that sent the signal must see the program die of it; once the
    // partition table is written the install is complete and ends as usual.
    if (status != 0) raise_noted_interrupt();
    return status;
}
