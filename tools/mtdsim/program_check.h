// Whether the preload library can get into the program mtdsim is asked to
// run: a statically linked program, or one of another architecture than the
// library, would reach the real /dev/mtdN instead of the simulated chip.
#pragma once

#include <string>

namespace mtdsim {

// `command` is what the wrapper will exec (argv-style, null-terminated);
// with `qemu`, the program that qemu-user runs is the one checked. Returns 0
// when the library can load into it (or the program cannot be found, and the
// exec will say so), -1 after printing why it cannot.
int check_program(char* const command[], const std::string& library, bool qemu);

}  // namespace mtdsim
