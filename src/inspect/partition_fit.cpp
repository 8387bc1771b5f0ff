#include "inspect/partition_fit.h"

#include "table/partition_table.h"

PartitionFit fit_partition(uint32_t nonfs_bytes, uint32_t erasesize, uint64_t image_blocks) {
    PartitionFit fit;
    fit.bytes = nonfs_bytes;
    fit.top = nonfs_bytes / erasesize;
    // The installer counts blocks in 16 bits and refuses more.
    fit.too_large = fit.top > UINT16_MAX;
    fit.room = fit.top >= 2 ? fit.top - 1 : 0;
    fit.table_block = partition_table_search_start(erasesize) / erasesize;
    const bool room_enough = image_blocks <= fit.room;
    // The image takes blocks top down to top - image_blocks + 1; the
    // installer refuses to erase the partition table block under it.
    fit.reaches_table = room_enough && fit.table_block <= fit.top && fit.table_block + image_blocks > fit.top;
    fit.fits = !fit.too_large && room_enough && !fit.reaches_table;
    return fit;
}
