// What the kernel tells about MTD devices outside the device node:
// /proc/mtd and /sys/class/mtd/mtdN/ATTRIBUTE, answered for the simulated
// chip from in-memory files, as tools built on libmtd read them.

#include "proc_sysfs.h"

#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "descriptors.h"
#include "libc_next.h"
#include "nand.h"
#include "settings.h"

namespace mtdsim::preload {

bool is_proc_mtd(const char* path) {
    load_settings();
    return path && sim.flash_path && strcmp(path, "/proc/mtd") == 0;
}

int open_text(const char* name, const char* text, size_t length) {
    int fd = static_cast<int>(syscall(SYS_memfd_create, name, 0));
    if (fd < 0) return fd;
    real_write()(fd, text, length);
    real_lseek()(fd, 0, SEEK_SET);
    return fd;
}

// Tools built on mtd-utils' libmtd find MTD devices through /proc/mtd when
// sysfs has none: list the simulated chip under every device number.
int open_proc_mtd() {
    char text[4096];
    int length = snprintf(text, sizeof text, "dev:    size   erasesize  name\n");
    for (int n = 0; n < 32; ++n)
        length += snprintf(text + length, sizeof text - length, "mtd%d: %08llx %08x \"mtdsim\"\n", n,
                           static_cast<unsigned long long>(sim.size), sim.erasesize);
    return open_text("proc-mtd", text, static_cast<size_t>(length));
}

// The text of /sys/class/mtd/mtdN/ATTRIBUTE as the kernel words it; the
// 64-bit chip size is only available here. Returns its length, -1 for an
// attribute not simulated.
int sysfs_text(int number, const char* attribute, char* out, size_t size) {
    const auto is = [attribute](const char* name) { return strcmp(attribute, name) == 0; };
    const mtdsim::PageStateHeader& s = *sim.page_state;
    if (is("dev")) return snprintf(out, size, "90:%d\n", 2 * number);
    if (is("name")) return snprintf(out, size, "mtdsim\n");
    if (is("type")) return snprintf(out, size, "%s\n", type_name());
    if (is("flags")) return snprintf(out, size, "0x%lx\n", static_cast<unsigned long>(cap_flags()));
    if (is("size")) return snprintf(out, size, "%llu\n", static_cast<unsigned long long>(sim.size));
    if (is("erasesize")) return snprintf(out, size, "%u\n", sim.erasesize);
    if (is("writesize") || is("subpagesize")) return snprintf(out, size, "%u\n", sim.writesize);
    if (is("oobsize")) return snprintf(out, size, "%u\n", oob_size());
    if (is("numeraseregions")) return snprintf(out, size, "0\n");
    if (is("corrected_bits"))
        return snprintf(out, size, "%u\n", __atomic_load_n(&s.ecc_corrected, __ATOMIC_RELAXED));
    if (is("ecc_failures"))
        return snprintf(out, size, "%u\n", __atomic_load_n(&s.ecc_failed, __ATOMIC_RELAXED));
    if (is("bad_blocks")) return snprintf(out, size, "%u\n", bad_block_count());
    if (is("bbt_blocks")) return snprintf(out, size, "0\n");
    return -1;
}

// "/sys/class/mtd/mtdN/ATTRIBUTE" for a simulated N: the attribute's text.
bool sysfs_request(const char* path, char* text, size_t size, int& length) {
    load_settings();
    static const char prefix[] = "/sys/class/mtd/mtd";
    if (!path || !sim.flash_path || strncmp(path, prefix, sizeof prefix - 1) != 0) return false;
    const char* p = path + sizeof prefix - 1;
    if (*p < '0' || *p > '9') return false;
    int number = 0;
    for (; *p >= '0' && *p <= '9'; ++p) number = number * 10 + (*p - '0');
    if (*p != '/' || strchr(p + 1, '/') || !is_simulated_number(number)) return false;
    length = sysfs_text(number, p + 1, text, size);
    return length >= 0;
}

}  // namespace mtdsim::preload
