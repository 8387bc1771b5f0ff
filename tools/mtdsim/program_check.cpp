#include "program_check.h"

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace mtdsim {
namespace {

struct ElfFacts {
    bool is_elf = false;
    bool has_interpreter = false;  // PT_INTERP: the dynamic loader, and so LD_PRELOAD, runs
    int elf_class = 0;             // 1: 32-bit, 2: 64-bit
    int machine = 0;
};

uint64_t field(const unsigned char* bytes, int size, bool big_endian) {
    uint64_t value = 0;
    for (int i = 0; i < size; ++i)
        value |= static_cast<uint64_t>(bytes[big_endian ? size - 1 - i : i]) << (8 * i);
    return value;
}

// Reads the ELF header and program headers of `path`. Returns 0, or -1 when
// the file cannot be read.
int read_elf(const std::string& path, ElfFacts& facts) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    unsigned char header[64];
    ssize_t got = pread(fd, header, sizeof header, 0);
    if (got < 52 ||
        memcmp(header,
               "\x7f"
               "ELF",
               4) != 0 ||
        (header[4] != 1 && header[4] != 2)) {
        close(fd);
        return got < 0 ? -1 : 0;
    }
    facts.is_elf = true;
    facts.elf_class = header[4];
    const bool wide = header[4] == 2, big = header[5] == 2;
    facts.machine = static_cast<int>(field(header + 18, 2, big));
    uint64_t phoff = wide ? field(header + 32, 8, big) : field(header + 28, 4, big);
    uint64_t phentsize = field(header + (wide ? 54 : 42), 2, big);
    uint64_t phnum = field(header + (wide ? 56 : 44), 2, big);
    for (uint64_t i = 0; i < phnum && phentsize >= 4; ++i) {
        unsigned char type[4];
        if (pread(fd, type, 4, static_cast<off_t>(phoff + i * phentsize)) != 4) break;
        if (field(type, 4, big) == 3) {  // PT_INTERP
            facts.has_interpreter = true;
            break;
        }
    }
    close(fd);
    return 0;
}

std::string describe(const ElfFacts& facts) {
    const char* bits = facts.elf_class == 2 ? "64-bit" : "32-bit";
    const char* name = nullptr;
    switch (facts.machine) {
        case 3: name = "x86"; break;
        case 8: name = "MIPS"; break;
        case 20: name = "PowerPC"; break;
        case 40: name = "ARM"; break;
        case 62: name = "x86-64"; break;
        case 183: name = "AArch64"; break;
        case 243: name = "RISC-V"; break;
        default: break;
    }
    std::string text = bits;
    text += " ";
    text += name ? name : "machine " + std::to_string(facts.machine);
    return text;
}

bool executable_file(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Where execvp would find `name` (qemu-user takes a bare name from the
// working directory first).
std::string resolve(const char* name, bool working_directory_first) {
    if (strchr(name, '/')) return name;
    if (working_directory_first && executable_file(name)) return name;
    const char* path = getenv("PATH");
    std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    for (size_t start = 0; start <= folders.size();) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        std::string folder = folders.substr(start, end - start);
        std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
        if (executable_file(candidate)) return candidate;
        start = end + 1;
    }
    return "";
}

// The interpreter a "#!" script names, or "" for anything else.
std::string script_interpreter(const std::string& path) {
    FILE* file = fopen(path.c_str(), "r");
    if (!file) return "";
    char line[256] = "";
    bool read = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    if (!read || strncmp(line, "#!", 2) != 0) return "";
    const char* start = line + 2;
    while (*start == ' ' || *start == '\t') ++start;
    size_t length = strcspn(start, " \t\r\n");
    return std::string(start, length);
}

// The program qemu-user runs: its first argument that is not an option or
// an option's value.
const char* qemu_program(char* const command[]) {
    static const char* const kFlagsWithoutValue[] = {
        "-h", "-help", "-version", "-strace", "-singlestep", "-one-insn-per-tb", "-perfmap", "-jitdump"};
    for (int i = 1; command[i]; ++i) {
        const char* word = command[i];
        if (word[0] != '-') return word;
        const char* option = word[1] == '-' ? word + 1 : word;  // qemu takes -x and --x alike
        bool takes_value = strchr(option, '=') == nullptr;
        for (const char* flag : kFlagsWithoutValue)
            if (strcmp(option, flag) == 0) takes_value = false;
        if (takes_value && command[i + 1]) ++i;
    }
    return nullptr;
}

bool is_qemu(const char* word) {
    const char* base = strrchr(word, '/');
    base = base ? base + 1 : word;
    return strncmp(base, "qemu-", 5) == 0;
}

}  // namespace

int check_program(char* const command[], const std::string& library, bool qemu) {
    const char* shown = command[0];
    bool through_qemu = qemu && is_qemu(command[0]);
    if (through_qemu) {
        shown = qemu_program(command);
        if (!shown) return 0;  // qemu will say what is missing
    }
    std::string path = resolve(shown, through_qemu);
    if (path.empty()) return 0;
    ElfFacts program;
    // A script runs its interpreter: that is where the library has to load.
    for (int depth = 0; depth < 4; ++depth) {
        std::string interpreter = script_interpreter(path);
        if (interpreter.empty()) break;
        path = interpreter;
    }
    if (read_elf(path, program) != 0 || !program.is_elf) return 0;
    if (!program.has_interpreter) {
        fprintf(stderr,
                "mtdsim: %s is statically linked: the preload library cannot simulate its device requests\n",
                path == shown ? shown : (std::string(shown) + " (run by " + path + ")").c_str());
        return -1;
    }
    ElfFacts preload;
    if (read_elf(library, preload) != 0 || !preload.is_elf) {
        fprintf(stderr, "mtdsim: cannot read the preload library %s\n", library.c_str());
        return -1;
    }
    if (preload.elf_class != program.elf_class || preload.machine != program.machine) {
        fprintf(stderr,
                "mtdsim: %s is a %s program and the preload library %s is %s: it cannot load into it%s\n",
                shown, describe(program).c_str(), library.c_str(), describe(preload).c_str(),
                qemu ? "" : " (a foreign program needs --qemu and MTDSIM_LIBRARY of its architecture)");
        return -1;
    }
    return 0;
}

}  // namespace mtdsim
