// The spare area's layout as the kernel's NAND layer describes it for
// 1-bit Hamming software ECC (3 ECC bytes per 256 data bytes, as nandsim
// uses), and the two layout queries mtdchar answers from it.
#pragma once

#include <mtd/mtd-user.h>
#include <stdint.h>

namespace mtdsim::preload {

struct OobRegion {
    uint32_t offset;
    uint32_t length;
};

// Up to two ECC and two free regions, in section order.
struct OobLayout {
    OobRegion ecc[2];
    int ecc_sections;
    OobRegion free[2];
    int free_sections;
};

// False when the chip has no layout: not NAND, or its spare area cannot
// hold the ECC bytes (mtdchar then answers EOPNOTSUPP).
bool oob_layout(OobLayout& layout);

// ECCGETLAYOUT's answer: the ECC positions cut at 64 and the free regions
// at 8, zero-length regions included, as mtdchar's shrink_ecclayout does.
void user_layout(const OobLayout& layout, nand_ecclayout_user& to);

// MEMGETOOBSEL's answer; false (EINVAL) when the ECC positions do not fit
// its 32 entries, as mtdchar's get_oobinfo refuses them.
bool legacy_layout(const OobLayout& layout, nand_oobinfo& to);

}  // namespace mtdsim::preload
