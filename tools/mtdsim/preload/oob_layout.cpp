#include "oob_layout.h"

#include <string.h>

#include "nand.h"

namespace mtdsim::preload {

namespace {

// nand_ooblayout_sp_ops: small pages (16-byte spare area) with Hamming ECC.
void small_page(uint32_t ecc_total, OobLayout& layout) {
    layout.ecc[0] = {0, 4};
    layout.ecc[1] = {6, ecc_total - 4};
    layout.ecc_sections = 2;
    layout.free[0] = {8, 8};
    layout.free_sections = 1;
}

// nand_ooblayout_lp_hamming_ops: ECC at a fixed offset, 40 in a 64-byte
// spare area and 80 in a 128-byte one; the second free region is what is
// left after the ECC bytes, zero bytes long when nothing is.
void large_page_hamming(uint32_t oob, uint32_t ecc_total, OobLayout& layout) {
    const uint32_t ecc_offset = oob == 64 ? 40 : 80;
    layout.ecc[0] = {ecc_offset, ecc_total};
    layout.ecc_sections = 1;
    layout.free[0] = {2, ecc_offset - 2};
    layout.free[1] = {ecc_offset + ecc_total, oob - ecc_offset - ecc_total};
    layout.free_sections = 2;
}

// nand_ooblayout_lp_ops, for the page sizes the kernel has no Hamming
// layout for (mtdsim's choice): the ECC bytes at the end, the bad block
// marker's two bytes first.
void large_page(uint32_t oob, uint32_t ecc_total, OobLayout& layout) {
    layout.ecc[0] = {oob - ecc_total, ecc_total};
    layout.ecc_sections = 1;
    layout.free[0] = {2, oob - ecc_total - 2};
    layout.free_sections = 1;
}

}  // namespace

bool oob_layout(OobLayout& layout) {
    memset(&layout, 0, sizeof layout);
    if (sim.type != MTD_NANDFLASH && sim.type != MTD_MLCNANDFLASH) return false;
    const uint32_t oob = oob_size();
    const uint32_t ecc_total = sim.writesize / 256 * 3;
    if (oob == 16 && sim.writesize == 512)
        small_page(ecc_total, layout);
    else if ((oob == 64 && sim.writesize == 2048) || (oob == 128 && sim.writesize == 4096))
        large_page_hamming(oob, ecc_total, layout);
    else if (ecc_total != 0 && ecc_total + 2 <= oob)
        large_page(oob, ecc_total, layout);
    else
        return false;
    return true;
}

void user_layout(const OobLayout& layout, nand_ecclayout_user& to) {
    memset(&to, 0, sizeof to);
    for (int section = 0; section < layout.ecc_sections; ++section) {
        const OobRegion& region = layout.ecc[section];
        for (uint32_t at = region.offset; at < region.offset + region.length; ++at)
            if (to.eccbytes < MTD_MAX_ECCPOS_ENTRIES) to.eccpos[to.eccbytes++] = at;
    }
    for (int section = 0; section < layout.free_sections && section < MTD_MAX_OOBFREE_ENTRIES; ++section) {
        to.oobfree[section].offset = layout.free[section].offset;
        to.oobfree[section].length = layout.free[section].length;
        to.oobavail += layout.free[section].length;
    }
}

bool legacy_layout(const OobLayout& layout, nand_oobinfo& to) {
    memset(&to, 0, sizeof to);
    const uint32_t slots = sizeof to.eccpos / sizeof to.eccpos[0];
    for (int section = 0; section < layout.ecc_sections; ++section) {
        const OobRegion& region = layout.ecc[section];
        if (to.eccbytes + region.length > slots) return false;
        for (uint32_t at = region.offset; at < region.offset + region.length; ++at)
            to.eccpos[to.eccbytes++] = at;
    }
    for (int section = 0; section < layout.free_sections; ++section) {
        to.oobfree[section][0] = layout.free[section].offset;
        to.oobfree[section][1] = layout.free[section].length;
    }
    to.useecc = MTD_NANDECC_AUTOPLACE;
    return true;
}

}  // namespace mtdsim::preload
