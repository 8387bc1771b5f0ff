"""Every failure reported, turned into status 1, and nothing written where it
must not be; and the faults an install survives."""
import re
from pathlib import Path

import pytest

from conftest import DRIMLET, Geometry, device_report
from mkbin import bin_image
import model
from test_install import START

SMALL = Geometry(8 << 20, 128 << 10, 2048)  # 64 blocks, partition table at block 28
E = SMALL.erase
USAGE = ("Usage: drimlet [options] MTD NKFILE\n"
         "Options:\n"
         "  -n <nonfs_size>     Size of non-Filesystem partition in MiB\n")
HEADER = f"Image base address {START:08x}, size 300\n"
GOOD = bin_image(START, [(START, bytes(range(100)) * 3)])
VERSION = re.search(r"project\(drimlet VERSION ([0-9.]+)",
                    (Path(__file__).parents[2] / "CMakeLists.txt").read_text()).group(1)


def writes(outcome):
    return [r for r in outcome.requests() if r.startswith(("MEMERASE", "write"))]


@pytest.mark.parametrize("args,status,out,diagnostic", [
    ([], 1, USAGE, ""),
    (["/dev/mtd3"], 1, USAGE, ""),
    (["-n", "/dev/mtd3", "img"], 1, USAGE, ""),  # `-n $EMPTY` in a script: -n swallows the device
    (["-x", "/dev/mtd3", "img"], 1, USAGE, "invalid option -- 'x'\n"),
    (["--flash", "/dev/mtd3", "img"], 1, USAGE, "unrecognized option '--flash'\n"),
    (["/dev/mtd3", "img", "-n"], 1, USAGE, "option requires an argument -- 'n'\n"),
    (["--help"], 0, USAGE, ""),
    (["-n", "64", "--help", "/dev/mtd3", "img"], 0, USAGE, ""),
    (["--version"], 0, f"drimlet {VERSION}\n", ""),
])
def test_command_line_that_does_not_install(bench, args, status, out, diagnostic):
    outcome = bench.run(SMALL, args)
    assert (outcome.status, outcome.out) == (status, out)
    # getopt names the program as it was started; nothing else is said.
    assert outcome.err == (f"{DRIMLET}: {diagnostic}" if diagnostic else "")
    assert outcome.requests() == []


def test_device_that_cannot_be_opened(bench):
    outcome = bench.run(SMALL, ["-n", 7, "/nonexistent/mtd9", "{image}"], image=GOOD)
    assert (outcome.status, outcome.out) == (1, "")
    assert outcome.err == "Failed to open MTD device /nonexistent/mtd9\n"


def test_device_without_geometry_is_closed_and_reported(bench):
    outcome = bench.run(SMALL, ["-n", 7, "/dev/mtd3", "{image}"], image=GOOD, sim_args=["--fail-info"])
    assert (outcome.status, outcome.out) == (1, "")
    assert outcome.err == "Failed to get info of MTD device /dev/mtd3\n"
    assert [r.split()[0] for r in outcome.requests()] == ["MEMGETINFO", "close"]


TRUNCATED = bin_image(START, [(START, bytes(300))], end_record=False)[:-50]
IMAGE_FAILURES = [
    ("empty image", b"", "Could not read WinCE signature!\n"),
    ("three bytes", b"B00", "Could not read WinCE signature!\n"),
    ("carriage return", b"B000FF\r" + bytes(20), "WinCE signature not found!\n"),
    ("short header", b"B000FF\n" + bytes(5), "Incomplete image header!\n"),
    ("short record header", GOOD[:15 + 7], HEADER + "Incomplete record header!\n"),
    ("no end record", GOOD[:-12], HEADER + "Incomplete record header!\n"),
    ("data cut short", TRUNCATED, HEADER + "Incomplete data section!\n"),
    ("record out of order", bin_image(START, [(START + 2 * E, b"\1" * 10), (START + E, b"\2")]),
     f"Image base address {START:08x}, size {2 * E + 10}\n"
     f"Record at {START + E:08x} out of order!\n"),
    ("record below the start", bin_image(START, [(START - 16, b"\1")], length=1),
     f"Image base address {START:08x}, size 1\nRecord at {START - 16:08x} out of order!\n"),
]


@pytest.mark.parametrize("name,image,err", IMAGE_FAILURES, ids=[c[0] for c in IMAGE_FAILURES])
def test_broken_images_fail_with_their_message(bench, name, image, err):
    outcome = bench.run(SMALL, ["-n", 7, "/dev/mtd3", "-"], stdin=image)
    assert outcome.err == err
    assert (outcome.status, outcome.out) == (1, device_report(SMALL))
    if name == "record out of order":  # the blocks before it went out, nothing else
        assert writes(outcome) == [f"MEMERASE 0x{56 * E:08x} 0x{E:08x} -> 0", f"write 0x{56 * E:08x} {E} -> {E}",
                                   f"MEMERASE 0x{55 * E:08x} 0x{E:08x} -> 0", f"write 0x{55 * E:08x} {E} -> {E}"]
    else:
        assert writes(outcome) == []
        assert outcome.flash == b"\xff" * SMALL.size


def test_image_name_starting_with_a_dash_is_a_file(bench, tmp_path):
    (tmp_path / "-nk").write_bytes(GOOD)
    outcome = bench.run(SMALL, ["-n", 7, "/dev/mtd3", "--", "-nk"], cwd=tmp_path)
    assert outcome.status == 0, outcome.err


# Faults in the middle of an install of a 5-block image, blocks 56..52.
FIVE = [(START + k * E + 100 * k, bytes([k + 1, 7]) * 300) for k in range(5)]
FIVE_BLOCKS = model.lay_out(START, FIVE, E)
FIVE_HEADER = f"Image base address {START:08x}, size {max(a + len(d) for a, d in FIVE) - START}\n"


WRITTEN = "Image written, 5 erase blocks...\n"
DONE = "Partition table written...\n"


def fault_case(name, sim_args, nonfs=7, status=0, err="", placed=None, table_block=28, marks=(), left=()):
    """`left`: (device block, image block) a block passed over after its write still holds."""
    return pytest.param(sim_args, nonfs, status, err, placed, table_block, list(marks), left, id=name)


def marked(block):
    return f"Marked block at {block * E:08x} bad\n"


# Requests of this install: MEMGETINFO (1), the check before writing (2-11:
# a query per image block, the old table lookup's query, lseek and read, at
# its first write MEMGETINFO for the write size, the table block's query),
# the old table lookup again (12-15: the first candidate's query, the table
# block's query, lseek, read), then per image block its query, unlock,
# erase, lseek, write and the read-back (ECCGETSTATS, lseek, read,
# ECCGETSTATS): blocks 56..52 end at requests 23, 32, 41, 50 and 59; the
# table block's lseek is request 63. A write interrupted by EINTR is made
# again, one request later.
@pytest.mark.parametrize("sim_args,nonfs,status,err,placed,table_block,marks,left", [
    fault_case("bad-block query fails", ["--fail-query", "55"], placed=[56, 54, 53, 52, 51],
               err="Bad block at 006e0000, skipping...\n" + WRITTEN + DONE),
    fault_case("image block erase fails", ["--fail-erase", "55"], placed=[56, 54, 53, 52, 51], marks=[55],
               err="Erase failed at 006e0000, skipping...\n" + marked(55) + WRITTEN + DONE),
    fault_case("short write counts", ["--short-write", "6144"], placed=[56, 55, 54, 53, 52], err=WRITTEN + DONE),
    fault_case("interrupted writes", ["--fault", "19:eintr,29:eintr"], placed=[56, 55, 54, 53, 52],
               err=WRITTEN + DONE),
    fault_case("partition table erase fails: the block is marked, so the loader reads the next",
               ["--fail-erase", "28"], placed=[56, 55, 54, 53, 52], table_block=29, marks=[28],
               err=WRITTEN + "Erase failed at 00380000, skipping...\n" + marked(28) + DONE),
    fault_case("image block write fails with EIO", ["--fail-write", "54"], placed=[56, 55, 53, 52, 51], marks=[54],
               err="Write failed at 006c0000, skipping...\n" + marked(54) + WRITTEN + DONE),
    fault_case("image block read-back fails", ["--fault", "22:eio"], placed=[55, 54, 53, 52, 51], marks=[56],
               left=[(56, 0)],
               err="Verify failed at 00700000, skipping...\n" + marked(56) + WRITTEN + DONE),
    fault_case("write makes no progress", ["--fault", "19:zero"], status=1, placed=[], table_block=None,
               err="Write erase block failed\n"),
    fault_case("seek fails", ["--fault", "27:eio"], status=1, placed=[56], table_block=None,
               err="Write erase block failed\n"),
    fault_case("partition table write fails", ["--fail-write", "28"], placed=[56, 55, 54, 53, 52],
               table_block=29, marks=[28], err=WRITTEN + "Write failed at 00380000, skipping...\n" + marked(28) + DONE),
    fault_case("partition table seek fails", ["--fault", "63:eio"], status=1, placed=[56, 55, 54, 53, 52],
               table_block=None, err=WRITTEN + "Write of partition table failed\n"),
    fault_case("no non-Filesystem partition", [], nonfs=0, status=1, placed=[], table_block=None,
               err="No good block left in the non-Filesystem partition!\n"),
])
def test_device_faults(bench, sim_args, nonfs, status, err, placed, table_block, marks, left):
    outcome = bench.run(SMALL, ["-n", nonfs, "/dev/mtd3", "{image}"], image=bin_image(START, FIVE),
                        sim_args=sim_args)
    assert outcome.err == FIVE_HEADER + err
    assert outcome.status == status
    assert outcome.marked == marks
    page = model.table_page(placed, 2048) if table_block is not None else b""
    expected = model.expected_flash(SMALL.size, E, FIVE_BLOCKS[:len(placed)], placed, table_block, page)
    for block, image_block in left:
        expected = expected[:block * E] + FIVE_BLOCKS[image_block] + expected[(block + 1) * E:]
    assert outcome.flash == expected


# From a pipe, the image is streamed: the failures a file's check refuses
# before writing (tests/e2e/test_refusals.py) come after the blocks before.


def test_area_exhausted_is_reported(bench):
    """-n 1 gives blocks 8..2: seven blocks; the eighth does not fit."""
    records = [(START + k * E, bytes([k + 1]) * 10) for k in range(8)]
    outcome = bench.run(SMALL, ["-n", 1, "/dev/mtd3", "-"], stdin=bin_image(START, records),
                        sim_args=["--bad", "5"])
    assert outcome.err == (f"Image base address {START:08x}, size {7 * E + 10}\n"
                           "Bad block at 000a0000, skipping...\n"
                           "No good block left in the non-Filesystem partition!\n")
    assert outcome.status == 1
    assert [r.split()[1] for r in writes(outcome)][::2] == [f"0x{b * E:08x}" for b in (8, 7, 6, 4, 3, 2)]
    assert "MEMGETBADBLOCK 0x00020000 -> 0" in outcome.requests()  # block 1 looked at, never written


def test_image_reaching_the_partition_table_block_is_refused(bench):
    """29 blocks from 56 down end on block 28, where the table would go."""
    records = [(START + k * E, bytes([k + 1]) * 10) for k in range(29)]
    outcome = bench.run(SMALL, ["-n", 7, "/dev/mtd3", "-"], stdin=bin_image(START, records))
    assert outcome.err.endswith("Image written, 29 erase blocks...\n"
                                "Image overlaps partition table block at 00380000!\n")
    assert outcome.status == 1
    assert outcome.flash[28 * E:28 * E + 10] == bytes([29]) * 10
    assert len(writes(outcome)) == 2 * 29


def test_image_too_large_for_the_partition_table(bench):
    geometry = Geometry(128 << 20, 128 << 10, 2048)
    image = bin_image(START, [(START + 466 * E, b"\x5a")])
    outcome = bench.run(geometry, ["-n", 100, "/dev/mtd3", "-"], stdin=image)
    assert outcome.err == f"Image base address {START:08x}, size {466 * E + 1}\nImage too large for partition table!\n"
    assert outcome.status == 1
    assert len([r for r in outcome.requests() if r.startswith("write")]) == 466
    assert outcome.flash == b"\xff" * geometry.size  # 466 erased blocks, the byte never written


@pytest.mark.parametrize("size,nonfs,err", [
    (129 << 20, 129, HEADER + "Non-Filesystem partition too large!\n"),  # 66048 blocks of 2 KiB
    (8 << 20, 127, "Non-Filesystem partition larger than the MTD device!\n"),
    (8 << 20, 9, "Non-Filesystem partition larger than the MTD device!\n"),
])
def test_partition_the_run_cannot_count_or_the_device_cannot_hold_is_refused_before_any_request(
        bench, size, nonfs, err):
    geometry = Geometry(size, 2048, 512)
    outcome = bench.run(geometry, ["-n", nonfs, "/dev/mtd3", "{image}"], image=GOOD)
    assert outcome.err == err
    assert (outcome.status, outcome.out) == (1, device_report(geometry))
    assert [r for r in outcome.requests() if not r.startswith(("MEMGETINFO", "close"))] == []


def test_device_too_small_for_a_partition_table(bench):
    geometry = Geometry(0x380000, 128 << 10, 2048)
    outcome = bench.run(geometry, ["-n", 3, "/dev/mtd3", "{image}"], image=GOOD)
    assert outcome.err == HEADER + "Not enough space/too many bad blocks\n"
    assert outcome.status == 1
    assert writes(outcome) == []


def test_device_writing_single_bytes_gets_a_2048_byte_page(bench):
    geometry = Geometry(8 << 20, 64 << 10, 1, type=3)
    outcome = bench.run(geometry, ["-n", 7, "/dev/mtd3", "{image}"], image=GOOD)
    assert outcome.out.splitlines()[2] == "MTD write size: 1 bytes"
    assert outcome.status == 0, outcome.err
    assert "write 0x00380000 2048 -> 2048" in outcome.requests()
