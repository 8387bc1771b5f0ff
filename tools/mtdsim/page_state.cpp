#include "page_state.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "mtdsim_shared.h"

namespace mtdsim {
namespace {

bool same_file(const PageStateHeader& header, const struct stat& flash) {
    return header.flash_inode == static_cast<uint64_t>(flash.st_ino) &&
           header.flash_size == static_cast<uint64_t>(flash.st_size) &&
           header.flash_mtime_sec == static_cast<int64_t>(flash.st_mtim.tv_sec) &&
           header.flash_mtime_nsec == static_cast<int64_t>(flash.st_mtim.tv_nsec) &&
           header.flash_ctime_sec == static_cast<int64_t>(flash.st_ctim.tv_sec) &&
           header.flash_ctime_nsec == static_cast<int64_t>(flash.st_ctim.tv_nsec);
}

// The best guess without a record: a page is programmed when it is not all
// 0xFF (a hole in a sparse flash file is erased).
int guess_from_contents(int flash_fd, uint64_t size, uint64_t unit, std::vector<uint8_t>& bits) {
    const bool sparse = size >= kSparseFrom;
    const uint64_t chunk = unit >= (1u << 20) ? unit : (1u << 20) / unit * unit;
    std::vector<uint8_t> cells(static_cast<size_t>(chunk));
    for (uint64_t at = 0; at < size;) {
        if (sparse) {  // skip the holes: erased
            off64_t data = lseek64(flash_fd, static_cast<off64_t>(at), SEEK_DATA);
            if (data < 0) break;
            if (static_cast<uint64_t>(data) > at) at = static_cast<uint64_t>(data) / unit * unit;
        }
        size_t piece = static_cast<size_t>(size - at < chunk ? size - at : chunk);
        if (read_flash(flash_fd, cells.data(), piece, at, sparse, pread64, lseek64) != 0) return -1;
        for (size_t page = 0; page < piece; page += static_cast<size_t>(unit)) {
            size_t end = page + unit < piece ? page + static_cast<size_t>(unit) : piece;
            for (size_t i = page; i < end; ++i) {
                if (cells[i] != 0xFF) {
                    uint64_t index = (at + page) / unit;
                    bits[static_cast<size_t>(index / 8)] |= static_cast<uint8_t>(1u << (index % 8));
                    break;
                }
            }
        }
        at += piece;
    }
    return 0;
}

int write_all(int fd, const void* data, size_t size, off_t at) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < size;) {
        ssize_t wrote = pwrite(fd, bytes + done, size - done, at + static_cast<off_t>(done));
        if (wrote <= 0) return -1;
        done += static_cast<size_t>(wrote);
    }
    return 0;
}

}  // namespace

int prepare_page_state(const std::string& flash, const std::string& pages_path, uint64_t size, uint64_t unit,
                       uint64_t blocks, bool created) {
    const uint64_t pages = (size + unit - 1) / unit;
    const uint64_t bytes = page_state_bytes(pages, blocks);
    struct stat flash_status;
    if (stat(flash.c_str(), &flash_status) != 0) return -1;
    int fd = open(pages_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    PageStateHeader header{};
    struct stat status;
    // Marks are the chip's own: they stay whatever happened to the flash
    // file's contents, and go only with a new chip.
    const bool compatible = !created && fstat(fd, &status) == 0 &&
                            static_cast<uint64_t>(status.st_size) == bytes &&
                            pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
                            memcmp(header.magic, kPageStateMagic, sizeof header.magic) == 0 &&
                            header.version == kPageStateVersion && header.unit == unit &&
                            header.pages == pages && header.blocks == blocks;
    if (!compatible || !same_file(header, flash_status)) {
        std::vector<uint8_t> bits(static_cast<size_t>(bytes - kPageStateHeader), 0);
        const size_t marks_at = static_cast<size_t>(page_bitmap_bytes(pages));
        if (compatible && pread(fd, bits.data() + marks_at, bits.size() - marks_at,
                                static_cast<off_t>(kPageStateHeader + marks_at)) !=
                              static_cast<ssize_t>(bits.size() - marks_at)) {
            close(fd);
            return -1;
        }
        if (!created) {
            int flash_fd = open(flash.c_str(), O_RDONLY | O_CLOEXEC);
            int guessed = flash_fd < 0 ? -1 : guess_from_contents(flash_fd, size, unit, bits);
            if (flash_fd >= 0) close(flash_fd);
            if (guessed != 0) {
                close(fd);
                return -1;
            }
        }
        if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0 ||
            write_all(fd, bits.data(), bits.size(), static_cast<off_t>(kPageStateHeader)) != 0) {
            close(fd);
            return -1;
        }
        const uint32_t marked = compatible ? header.marked_bad : 0;
        header = PageStateHeader{};
        memcpy(header.magic, kPageStateMagic, sizeof header.magic);
        header.version = kPageStateVersion;
        header.unit = unit;
        header.pages = pages;
        header.blocks = blocks;
        header.marked_bad = marked;
    }
    // No stamp while the program runs: if the wrapper never gets to stamp
    // it, the next run rebuilds it from the contents.
    header.flash_inode = 0;
    header.flash_size = 0;
    header.flash_mtime_sec = header.flash_mtime_nsec = header.flash_ctime_sec = header.flash_ctime_nsec = -1;
    header.ecc_corrected = header.ecc_failed = 0;
    int result = write_all(fd, &header, sizeof header, 0);
    close(fd);
    return result;
}

int stamp_page_state(const std::string& flash, const std::string& pages_path) {
    struct stat flash_status;
    if (stat(flash.c_str(), &flash_status) != 0) return -1;
    int fd = open(pages_path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return -1;
    PageStateHeader header{};
    int result = -1;
    if (pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header)) {
        header.flash_inode = static_cast<uint64_t>(flash_status.st_ino);
        header.flash_size = static_cast<uint64_t>(flash_status.st_size);
        header.flash_mtime_sec = static_cast<int64_t>(flash_status.st_mtim.tv_sec);
        header.flash_mtime_nsec = static_cast<int64_t>(flash_status.st_mtim.tv_nsec);
        header.flash_ctime_sec = static_cast<int64_t>(flash_status.st_ctim.tv_sec);
        header.flash_ctime_nsec = static_cast<int64_t>(flash_status.st_ctim.tv_nsec);
        result = write_all(fd, &header, sizeof header, 0);
    }
    close(fd);
    return result;
}

}  // namespace mtdsim
