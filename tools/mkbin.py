#!/usr/bin/env python3
"""Makes Windows CE BIN images ("B000FF\\n" records) for tests and the demo.

As a module: bin_image(start, records) -> bytes, with records a list of
(address, data) pairs; each record carries the usual additive checksum of its
data bytes, and an end record closes the image.

As a command: mkbin.py OUT [--start ADDR] [--size BYTES] [--records N]
[--gap BYTES] [--seed N] writes an image of N records of pseudo-random data
filling SIZE bytes from ADDR, with GAP bytes left out between records.
"""
import argparse
import random
import struct
import sys

SIGNATURE = b"B000FF\n"


def record(address, data):
    return struct.pack("<III", address, len(data), sum(data) & 0xFFFFFFFF) + bytes(data)


def bin_image(start, records, length=None, end_record=True):
    if length is None:
        length = max((a + len(d) for a, d in records), default=start) - start
    out = bytearray(SIGNATURE + struct.pack("<II", start, length & 0xFFFFFFFF))
    for address, data in records:
        out += record(address, data)
    if end_record:
        out += struct.pack("<III", 0, 0, 0)
    return bytes(out)


def random_records(start, size, count, gap, seed):
    rng = random.Random(seed)
    piece = max(1, size // max(1, count))
    records, address = [], start
    for _ in range(count):
        records.append((address, rng.randbytes(piece)))
        address += piece + gap
    return records


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out")
    parser.add_argument("--start", type=lambda t: int(t, 0), default=0x80200000)
    parser.add_argument("--size", type=lambda t: int(t, 0), default=3 << 20)
    parser.add_argument("--records", type=int, default=12)
    parser.add_argument("--gap", type=lambda t: int(t, 0), default=0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args(argv)
    image = bin_image(args.start, random_records(args.start, args.size, args.records, args.gap, args.seed))
    with open(args.out, "wb") as out:
        out.write(image)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
