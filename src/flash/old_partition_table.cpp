#include "flash/old_partition_table.h"

#include <cerrno>

#include "flash/block_ops.h"
#include "table/partition_table.h"

namespace {
// The first `size` bytes at `offset`: 0, or -1 when they cannot be read.
int read_at(MtdDevice& device, uint64_t offset, uint8_t* into, size_t size) {
    if (mtd_seek(device, offset) != 0) return -1;
    size_t done = 0;
    while (done < size) {
        long got = mtd_read(device, into + done, size - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return -1;
        done += static_cast<size_t>(got);
    }
    return 0;
}
}  // namespace

int invalidate_old_partition_table(MtdDevice& device, uint64_t search_end, uint32_t erasesize) {
    const int64_t offset = find_partition_table_block(device, search_end, erasesize);
    if (offset < 0) return 0;
    uint8_t head[kPartitionTableMagicBytes];
    if (read_at(device, static_cast<uint64_t>(offset), head, sizeof head) != 0) return 0;
    if (!has_partition_table_magic(head)) return 0;
    return erase_block(device, static_cast<uint32_t>(offset), erasesize) == 0 ? 1 : 0;
}
