#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus: device settings (12 bytes) + BIN image."""
import base64
import struct
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
from mkbin import bin_image  # noqa: E402

S = 0x80200000
E16, E128 = 16 << 10, 128 << 10
# erase index, page index, size index, nonfs/128 of the size, bad density, seed, faults...
CLEAN_16K = bytes([2, 1, 2, 100, 0, 0, 0, 0, 0, 0, 0, 0])
BAD_128K = bytes([4, 0, 3, 110, 5, 7, 0, 0, 0, 0, 0, 0])
SMALL_512 = bytes([0, 1, 1, 60, 3, 1, 0, 0, 0, 0, 0, 0])
FAULTY = bytes([2, 1, 2, 100, 0, 0, 0x81, 0x83, 0x80, 1, 2, 0])
NOR = bytes([3, 2, 3, 120, 0, 0, 0, 0, 0, 0, 0, 0])
# The partition reaches past the loader's block, which cannot be erased.
LOADER_ERASE = bytes([4, 0, 2, 128, 0, 0, 0x84, 0, 0, 0, 0, 0])
# From an image file (checked before writing), over bad blocks.
FILE_128K = bytes([4, 0, 3, 110, 5, 7, 0, 0, 0, 0, 0, 0x10])
# Worn NAND (byte 10): the top block's program does not hold; the loader's
# block reads back with an uncorrectable error and refuses its mark; a NOR
# chip (no marks) whose loader's block cannot be erased.
WORN_IMAGE = bytes([2, 1, 2, 100, 0, 0, 0, 0, 0, 8, 0x20, 0])
WORN_LOADER = bytes([2, 1, 2, 100, 0, 0, 0, 0, 0, 0, 0x49, 0])
NOR_WORN = bytes([3, 2, 3, 120, 0, 0, 0, 0, 0, 0, 0x90, 0])

# Corrupt writes placed by byte 2's high bits: bit 1 of the second byte of
# the top image block's last page; a stray bit in the middle of the loader's
# block (224 of 16 KiB, top - 2), past the partition table page.
WORN_LAST_PAGE = bytes([2, 1, 2 | 63 << 2, 100, 0, 0, 0, 0, 0, 8, 0x20, 0x02])
WORN_TABLE_STRAY = bytes([2, 1, 2 | 32 << 2, 113, 0, 0, 0, 0, 0, 2, 0x20, 0])
# The loader's block reads back uncorrectable once, then reads clean.
ECC_ONCE = bytes([2, 1, 2, 100, 0, 0, 0, 0, 0, 0x80, 0x41, 0])

# The image block that lands in the loader's block (224 of 16 KiB, top - 2)
# begins with the partition table magic, does not read back (a bit flipped
# 1 KiB in) and refuses its mark; from a pipe, with its checksums kept as
# they are, a bad checksum after it then stops the install.
MAGIC_IN_LOADER = bytes([2, 0, 2 | 1 << 2, 113, 0, 0, 0, 0, 0, 2, 0x28, 0x28])
# The same image block laid there whole: the image's own bytes, not a table.
MAGIC_IN_LOADER_WHOLE = bytes([2, 0, 2, 113, 0, 0, 0, 0, 0, 0, 0, 0x28])
MAGIC_IN_LOADER_IMAGE = bytearray(bin_image(S, [(S, b"\x01" * E16), (S + E16, b"\x02" * E16),
                                                (S + 2 * E16, b"VOLMERACONFIGBLK" + b"\x03" * (E16 - 16)),
                                                (S + 3 * E16, b"\x04" * 16)]))
MAGIC_IN_LOADER_IMAGE[-12 - 16 - 4] ^= 1  # the last record's checksum

# Whole inputs (settings and image) found by fuzzing, kept as they were found.
FOUND = {
    # 128 KiB erase blocks, a write size of 960 bytes, an image file: the
    # check before writing must find that the blocks cannot be written.
    "file128k-write-size-960": "BGADbgUPAAAAAAAQQjAwMEZGCgAAIIAKwAAAAMAggAoAAAAKAAAAAQEBAQEBAQEBAQBAIIABAAAAAgAAAAIAAAAAAAAAAAAAAAA=",
}

IMAGES = {
    "three-records": bin_image(S, [(S, b"\x11" * 5000), (S + 9000, b"\x22" * 30000), (S + 70000, b"\x33" * 10)]),
    "end-record-only": bin_image(S, []),
    "gap-of-blocks": bin_image(S, [(S, b"\x44" * 100), (S + 5 * E16 + 7, b"\x55" * 100)]),
    "overlap-in-block": bin_image(S, [(S + 10, b"\x66" * 50), (S + 20, b"\x77" * 5)]),
    "out-of-order": bin_image(S, [(S + 3 * E16, b"\x01" * 10), (S + E16, b"\x02")]),
    "below-start": bin_image(S, [(S - 4, b"\x03" * 8)]),
    "huge-length": bin_image(S, [(S, b"")])[:-12].replace(struct.pack("<II", S, 0), struct.pack("<II", S, 0xFFFFFFF0)),
    "truncated": bin_image(S, [(S, b"\x08" * 3000)])[:1500],
    "empty-record-far": bin_image(S, [(S + 7 * E16, b"")]),
    "wrapping-address": bin_image(0xFFFFF000, [(0xFFFFF000, b"\x09" * 0x1800)]),
    "full-128k-blocks": bin_image(S, [(S + k * E128, bytes([k]) * 1000) for k in range(6)]),
}

out = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).parent / "corpus")
out.mkdir(parents=True, exist_ok=True)
for name, image in IMAGES.items():
    for tag, prefix in (("clean16k", CLEAN_16K), ("bad128k", BAD_128K), ("small512", SMALL_512),
                        ("faulty", FAULTY), ("nor", NOR), ("loader-erase", LOADER_ERASE),
                        ("worn-image", WORN_IMAGE), ("worn-loader", WORN_LOADER), ("nor-worn", NOR_WORN),
                        ("file128k", FILE_128K)):
        (out / f"{name}-{tag}").write_bytes(prefix + image)
for name, image in (("three-records", IMAGES["three-records"]), ("one-record", bin_image(S, [(S, b"\x5a" * 100)]))):
    (out / f"{name}-worn-last-page").write_bytes(WORN_LAST_PAGE + image)
    (out / f"{name}-worn-table-stray").write_bytes(WORN_TABLE_STRAY + image)
    (out / f"{name}-ecc-once").write_bytes(ECC_ONCE + image)
(out / "magic-in-loader-worn").write_bytes(MAGIC_IN_LOADER + bytes(MAGIC_IN_LOADER_IMAGE))
(out / "magic-in-loader-whole").write_bytes(MAGIC_IN_LOADER_WHOLE + bytes(MAGIC_IN_LOADER_IMAGE))
for name, text in FOUND.items():
    (out / name).write_bytes(base64.b64decode(text))
print(f"{len(IMAGES) * 10 + 8 + len(FOUND)} seeds in {out}")
