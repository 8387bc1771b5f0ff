"""drimlet-inspect check: an image on its own, no flash. Hand-made images
whose verdicts the real installer confirms, srecord's independent reader of
the BIN format as a second opinion, and the JSON document against the text."""
import json
import os
import random
import re
import shutil
import struct
import subprocess

import pytest

from conftest import INSPECT, QEMU, Geometry
from mkbin import SIGNATURE
from test_inspect import run_inspect


START = 0x80200000
E = 128 << 10
E16 = 16 << 10
LARGE = Geometry(16 << 20, 128 << 10, 2048)
SMALL = Geometry(16 << 20, 16 << 10, 512)


def unsigned_sum(data):
    return sum(data) & 0xFFFFFFFF


def signed_sum(data):
    """What a reader summing signed chars would store."""
    return sum(b - 256 if b >= 0x80 else b for b in data) & 0xFFFFFFFF


def bin_of(records, start=START, entry=0):
    """A B000FF image; records are (address, data) with the right checksum or
    (address, data, checksum). The end record carries the entry point."""
    body, end = bytearray(), start
    for r in records:
        address, data = r[0], r[1]
        checksum = r[2] if len(r) > 2 else unsigned_sum(data)
        body += struct.pack("<III", address, len(data), checksum) + data
        end = max(end, address + len(data))
    return SIGNATURE + struct.pack("<II", start, end - start) + bytes(body) + struct.pack("<III", 0, entry, 0)


GOOD = bin_of([(START, bytes(range(256)) * 8), (START + E + 100, b"\xff\x80" * 50)], entry=0x80201000)
HIGH = b"\x80\xff" * 50

# id, image, check options, status, lines check prints, the install that confirms it (geometry, -n MiB,
# status), all lines with {path} for the image's name.
CASES = [
    ("good", GOOD, [], 0, [
        "  record 0 at 0x80200000, 2048 bytes, checksum 0x0003fc00: matches",
        "  record 1 at 0x80220064, 100 bytes, checksum 0x00004ace: matches",
        "  gap: 129124 bytes from 0x80200800 that no record covers (left erased, 0xFF)",
        "  end record: entry point 0x80201000",
        "image blocks: 2 at erase size 131072; the partition table holds 466: fits",
        "check: the image would install: 2 records, all checksums match, 2 image blocks"], (LARGE, 14, 0)),
    ("checksums", bin_of([(START, HIGH, signed_sum(HIGH)), (START + 100, b"abc"),
                          (START + 200, b"\x90" * 10, 0x5a1)]), [], 1, [
        "  record 0 at 0x80200000, 100 bytes, checksum 0xffffe6ce: does not match (the data sums to 0x00004ace)",
        "  record 1 at 0x80200064, 3 bytes, checksum 0x00000126: matches",
        "  record 2 at 0x802000c8, 10 bytes, checksum 0x000005a1: does not match (the data sums to 0x000005a0)",
        "check: the image would not install: 2 of 3 record checksums do not match"], (LARGE, 14, 1)),
] + [
    (f"signature-{kind}", kind.encode() + GOOD[6:], [], 1, [
        f"check {{path}}: {{path}} starts with the signature {kind}: a Windows CE image of another BIN-family "
        "format, not a B000FF image; drimlet installs only B000FF images",
        "check: the image would not install: not a B000FF image"], (LARGE, 14, 1))
    for kind in ("N000FF", "X000FF", "S000FF", "R000FF")
] + [
    ("elf", b"\x7fELF\x02\x01\x01" + bytes(60), [], 1, [
        "check {path}: {path} has no BIN signature (it starts with the bytes 7f 45 4c 46 02 01 01): it is not a "
        "Windows CE BIN image; drimlet installs only B000FF images"], (LARGE, 14, 1)),
    ("too-short", b"B00", [], 1, [
        "check {path}: {path} holds only 3 bytes, too few for a BIN signature: it is not a Windows CE BIN image; "
        "drimlet installs only B000FF images"], (LARGE, 14, 1)),
    ("header-cut", SIGNATURE + b"\x00\x00", [], 1, [
        "check {path}: B000FF image, but it ends inside the image header: drimlet stops with "
        "\"Incomplete image header!\""], (LARGE, 14, 1)),
    ("out-of-order", bin_of([(START + 2 * E, b"x"), (START, b"y"), (START + 3 * E, b"z")]), [], 1, [
        "    out of order: it starts below image block 2 (from 0x80240000), which is already being filled; "
        "drimlet stops with \"Record at 80200000 out of order!\"",
        "image blocks: 4 at erase size 131072; the partition table holds 466: fits",
        "check: the image would not install: 1 record out of order"], (LARGE, 14, 1)),
    # Addresses do not wrap past 4 GiB: after block 0 ends there, a record at 0x1000 lies below it.
    ("wraps-past-4-GiB", bin_of([(0xFFFE0000, bytes(range(256)) * (E // 256)), (0x1000, b"w")], start=0xFFFE0000),
     [], 1, [
        "    out of order: it starts below image block 1 (from 0x100000000), which is already being filled; "
        "drimlet stops with \"Record at 00001000 out of order!\"",
        "check: the image would not install: 1 record out of order"], (LARGE, 14, 1)),
    ("no-end-record", bin_of([(START, b"abc")])[:-12], [], 1, [
        "  the image ends inside a record header, without an end record: drimlet stops with "
        "\"Incomplete record header!\""], (LARGE, 14, 1)),
    ("ends-in-data", bin_of([(START, bytes(1000))])[:-512], [], 1, [
        "  record 0 at 0x80200000, 1000 bytes, checksum 0x00000000: the image ends inside its data",
        "  the image ends inside a record's data, without an end record: drimlet stops with "
        "\"Incomplete data section!\""], (LARGE, 14, 1)),
    ("466-blocks", bin_of([(START + 465 * E16, b"z")]), ["--erase", "16K"], 0, [
        "image blocks: 466 at erase size 16384; the partition table holds 466: fits"], (SMALL, 15, 0)),
    ("467-blocks", bin_of([(START + 466 * E16, b"z")]), ["--erase", "16K"], 1, [
        "image blocks: 467 at erase size 16384; the partition table holds 466: does not fit, drimlet stops with "
        "\"Image too large for partition table!\""], (SMALL, 15, 1)),
    # -n 1: image blocks go to blocks 8 down to 2
    ("fills-partition", bin_of([(START, bytes(6 * E + 10))]), ["-n", "1"], 0, [
        "non-Filesystem partition of 1048576 bytes (blocks 2..8), no bad blocks: room for 7 image blocks: fits"],
     (LARGE, 1, 0)),
    ("one-block-too-many", bin_of([(START, bytes(7 * E + 10))]), ["-n", "1"], 1, [
        "non-Filesystem partition of 1048576 bytes (blocks 2..8), no bad blocks: room for 7 image blocks: does "
        "not fit",
        "check: the image would not install: 8 image blocks, the non-Filesystem partition has room for 7"],
     (LARGE, 1, 1)),
    # -n 4: blocks 32 down; the partition table goes to block 28
    ("above-table-block", bin_of([(START, bytes(3 * E + 10))]), ["-n", "4"], 0, [
        "non-Filesystem partition of 4194304 bytes (blocks 2..32), no bad blocks: room for 31 image blocks: "
        "fits"], (LARGE, 4, 0)),
    ("reaches-table-block", bin_of([(START, bytes(4 * E + 10))]), ["-n", "4"], 1, [
        "non-Filesystem partition of 4194304 bytes (blocks 2..32), no bad blocks: room for 31 image blocks, but "
        "they would reach down to block 28, where the partition table goes: drimlet stops with \"Image overlaps "
        "partition table block at 00380000!\""], (LARGE, 4, 1)),
    ("partition-too-large", GOOD, ["--erase", "16K", "-n", "1024"], 1, [
        "non-Filesystem partition of 1073741824 bytes (blocks 2..65536), no bad blocks: too large, drimlet counts "
        "at most 65535 blocks and stops with \"Non-Filesystem partition too large!\""], (SMALL, 1024, 1)),
    # A block goes out when its last byte is placed, and the end record closes one more.
    ("ends-on-block-boundary", bin_of([(START, bytes(3 * E))]), [], 0, [
        "image blocks: 4 at erase size 131072; the partition table holds 466: fits"], (LARGE, 14, 0)),
    # An empty record still moves on past the blocks before it.
    ("empty-record-far-on", bin_of([(START, b"a"), (START + 5 * E + 7, b"")]), [], 0, [
        "image blocks: 6 at erase size 131072; the partition table holds 466: fits"], (LARGE, 14, 0)),
    ("gaps-and-overlap", bin_of([(START + 10, b"a" * 10), (START + 15, b"b" * 10), (START + 100, b"c")]), [], 0, [
        "  gap: 10 bytes from 0x80200000 that no record covers (left erased, 0xFF)",
        "  gap: 75 bytes from 0x80200019 that no record covers (left erased, 0xFF)",
        "  overlap: record 1 at 0x8020000f starts inside record 0, 5 bytes overlap (the bytes placed last win)"],
     (LARGE, 14, 0)),
]

RECORD = re.compile(r"^  record (\d+) at 0x([0-9a-f]{8}), (\d+) bytes, checksum 0x([0-9a-f]{8}): (.*)$", re.M)


def same_facts(doc, text, status):
    """The JSON document says what the text says."""
    lines = text.splitlines()
    assert doc["summary"] == lines[-1]
    assert doc["ok"] == (status == 0) == (doc["problems"] == [])
    if doc["not_b000ff"]:
        assert doc["not_b000ff"] in lines[0]
    records = []
    for index, address, length, checksum, verdict in RECORD.findall(text):
        record = {"address": int(address, 16), "length": int(length), "checksum": int(checksum, 16),
                  "complete": verdict != "the image ends inside its data"}
        record["checksum_ok"] = verdict == "matches"
        summed = re.fullmatch(r"does not match \(the data sums to 0x([0-9a-f]{8})\)", verdict)
        if summed:
            record["sum"] = int(summed.group(1), 16)
        records.append(record)
        assert int(index) == len(records) - 1
    assert [{k: r[k] for k in record} for r, record in zip(doc["records"], records)] == records
    assert len(doc["records"]) == len(records)
    assert doc["gaps"] == [{"address": int(a, 16), "bytes": int(n)} for n, a in
                           re.findall(r"^  gap: (\d+) bytes from 0x([0-9a-f]+)", text, re.M)]
    assert [(o["record"], o["address"], o["with"], o["bytes"]) for o in doc["overlaps"]] == [
        (int(r), int(a, 16), int(w), int(n)) for r, a, w, n in
        re.findall(r"^  overlap: record (\d+) at 0x([0-9a-f]+) starts inside record (\d+), (\d+) bytes", text,
                   re.M)]
    assert doc["out_of_order"] == text.count("    out of order: ")
    blocks = re.search(r"^image blocks: (\d+) at erase size (\d+); the partition table holds 466: (fits)?", text,
                       re.M)
    if blocks:
        assert (doc["image_blocks"], doc["erase_size"], doc["fits_table"]) == (
            int(blocks.group(1)), int(blocks.group(2)), blocks.group(3) == "fits")
    entry = re.search(r"^  end record: entry point 0x([0-9a-f]{8})", text, re.M)
    assert doc["end_record"] == bool(entry)
    if entry:
        assert doc["entry_point"] == int(entry.group(1), 16)
    room = re.search(r"room for (\d+) image blocks", text)
    if room:
        assert doc["nonfs"]["room"] == int(room.group(1))


@pytest.mark.parametrize("image,options,status,lines,install",
                         [pytest.param(*case[1:], id=case[0]) for case in CASES])
def test_check(bench, image, options, status, lines, install):
    path = bench.tmp / "nk.bin"
    path.write_bytes(image)
    text = run_inspect("check", path, *options)
    assert text.returncode == status, text.stdout + text.stderr
    for line in lines:
        assert line.format(path=path) in text.stdout.splitlines(), text.stdout
    doc = json.loads(run_inspect("--json", "check", path, *options).stdout)
    same_facts(doc, text.stdout, status)
    # From standard input, the same answer.
    piped = subprocess.run(QEMU + [INSPECT, "check", "-"] + options, input=image, capture_output=True)
    assert piped.returncode == status
    assert piped.stdout.decode() == text.stdout.replace(str(path), "-")
    # The installer agrees, and stops with the very line check quotes.
    geometry, nonfs, installed = install
    done = bench.run(geometry, ["-n", nonfs, "/dev/mtd3", "{image}"], image=image)
    assert (done.status == 0) == (installed == 0), done.err
    if installed == 0:
        assert f"Image written, {doc['image_blocks']} erase blocks..." in done.err.splitlines()
    for quoted in re.findall(r'drimlet stops with "([^"]+)"', text.stdout):
        assert quoted in done.err.splitlines()


# Records that overlap (the later one's bytes win), gaps left erased, a record
# crossing into block 1: verify judges each byte by what was placed there last.
OVERLAPPING = bin_of([(START, b"\xaa" * 1000), (START + 500, b"\x55" * 1000), (START + 3000, b"c" * 10),
                      (START + 200, b"\x11" * 5), (START + E - 4, bytes(range(1, 9))), (START + 2 * E + 100, b"d")])


@pytest.mark.parametrize("flipped,found", [
    (None, None),
    (700, "image block 0 (device block 112 at 0x00e00000): 1 bytes differ, the first at offset 0x2bc"),
    (202, "image block 0 (device block 112 at 0x00e00000): 1 bytes differ, the first at offset 0xca"),
    (2000, "image block 0 (device block 112 at 0x00e00000): 1 bytes differ, the first at offset 0x7d0"),
    (E + 2, "image block 1 (device block 111 at 0x00de0000): 1 bytes differ, the first at offset 0x2"),
    (2 * E + 101, "image block 2 (device block 110 at 0x00dc0000): 1 bytes differ, the first at offset 0x65"),
], ids=["as-installed", "later-record", "third-record-inside-the-first", "gap", "crossing", "after-an-erased-block"])
def test_verify_judges_each_byte_by_what_was_placed_last(bench, flipped, found):
    done = bench.run(LARGE, ["-n", 14, "/dev/mtd3", "{image}"], image=OVERLAPPING)
    assert done.status == 0, done.err
    if flipped is not None:
        flash = bytearray(bench.flash.read_bytes())
        flash[112 * E - (flipped // E) * E + flipped % E] ^= 0x01
        bench.flash.write_bytes(bytes(flash))
    verify = bench.run(LARGE, ["verify", "/dev/mtd3", bench.tmp / "nk.bin"], fresh=False, program=INSPECT)
    assert verify.status == (0 if found is None else 1), verify.out + verify.err
    differing = [line for line in verify.out.splitlines() if "bytes differ" in line]
    assert differing == ([] if found is None else [found])


def test_json_strings_are_escaped(tmp_path):
    name = b'we"ird\\ \n\t\x01\x7f \xff \xc3( \xe2\x82 caf\xc3\xa9.bin'
    path = os.path.join(os.fsencode(tmp_path), name)
    with open(path, "wb") as out:
        out.write(GOOD)
    done = subprocess.run(QEMU + [os.fsencode(INSPECT), b"--json", b"check", path], capture_output=True)
    assert done.returncode == 0
    doc = json.loads(done.stdout.decode("utf-8"))  # strict: the document is valid UTF-8
    assert doc["image"] == path.decode("utf-8", errors="replace")
    assert doc["image"].count("\ufffd") == 3


SRECORD = shutil.which("srec_info") and shutil.which("srec_cat")
needs_srecord = pytest.mark.skipif(not SRECORD, reason="srecord is not installed (apt-get install srecord): "
                                                       "no independent BIN reader to compare with")


def random_records(seed):
    """Records of random bytes (half of them 0x80 or above), with gaps of
    every size and records running edge to edge."""
    rng = random.Random(seed)
    records, address = [], START + rng.randrange(0, 64)
    for _ in range(rng.randrange(1, 12)):
        data = rng.randbytes(rng.choice([1, 7, 300, 5000, E + 3]))
        records.append((address, data))
        address += len(data) + rng.choice([0, 0, 1, 300, E])
    return records


def srec(*args):
    return subprocess.run(["srec_info" if args[0] == "info" else "srec_cat"] + [str(a) for a in args[1:]],
                          capture_output=True, text=True)


@needs_srecord
@pytest.mark.parametrize("seed", range(8))
def test_check_reads_records_and_checksums_as_srecord_does(tmp_path, seed):
    records = random_records(seed)
    entry = random.Random(seed).randrange(START, START + E)
    image = bytearray(bin_of(records, entry=entry))
    damaged = seed % 2 == 1
    if damaged:  # one data byte changed after the checksum was made
        victim = random.Random(seed).randrange(len(records))
        at = 15 + sum(12 + len(d) for _, d in records[:victim]) + 12
        image[at] ^= 0x80
    path = tmp_path / "nk.bin"
    path.write_bytes(bytes(image))
    doc = json.loads(run_inspect("--json", "check", path).stdout)
    info = srec("info", path, "-MsBin")
    if damaged:
        assert doc["checksum_mismatches"] == 1 and not doc["ok"]
        bad = next(r for r in doc["records"] if not r["checksum_ok"])
        assert info.returncode != 0
        assert f"wrong record checksum (0x{bad['sum']:08X} != 0x{bad['checksum']:08X})" in info.stderr
        return
    assert info.returncode == 0, info.stderr
    assert doc["checksum_mismatches"] == 0
    assert f"Execution Start Address: {doc['entry_point']:08X}" in info.stdout
    ranges = []
    for r in sorted(doc["records"], key=lambda r: r["address"]):
        if ranges and r["address"] <= ranges[-1][1] + 1:
            ranges[-1][1] = max(ranges[-1][1], r["address"] + r["length"] - 1)
        else:
            ranges.append([r["address"], r["address"] + r["length"] - 1])
    assert [[int(lo, 16), int(hi, 16)] for lo, hi in
            re.findall(r"([0-9A-F]{8}) - ([0-9A-F]{8})", info.stdout)] == ranges


@needs_srecord
@pytest.mark.parametrize("seed", range(3))
def test_flash_and_dump_hold_what_srecord_reads_from_the_image(bench, seed):
    g = LARGE
    image = bin_of(random_records(100 + seed))
    sim = ["--bad", "120,111,28"]
    installed = bench.run(g, ["-n", 15, "/dev/mtd3", "{image}"], image=image, sim_args=sim)
    assert installed.status == 0, installed.err
    table = [b["device_block"] for b in json.loads(bench.run(
        g, ["--json", "show", "/dev/mtd3"], sim_args=sim, fresh=False, program=INSPECT).out)["image_blocks"]]
    dump = bench.tmp / "dump.bin"
    done = bench.run(g, ["dump", "--start", hex(START), "/dev/mtd3", dump], sim_args=sim, fresh=False,
                     program=INSPECT)
    assert done.status == 0, done.err
    size = len(table) * g.erase
    raw = {}
    for name, source in (("image", bench.tmp / "nk.bin"), ("dump", dump)):
        out = bench.tmp / f"{name}.raw"
        converted = srec("cat", source, "-MsBin", "-offset", f"-{START:#x}", "-fill", "0xFF", 0, size, "-o", out,
                         "-binary")
        assert converted.returncode == 0, converted.stderr
        raw[name] = out.read_bytes()
    flash = bench.flash.read_bytes()
    assert b"".join(flash[b * g.erase:(b + 1) * g.erase] for b in table) == raw["image"]
    assert raw["dump"] == raw["image"]
    assert srec("info", dump, "-MsBin").returncode == 0  # its checksums, by srecord's reckoning
