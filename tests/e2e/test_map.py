"""drimlet-inspect map: the character each erase block gets, the marks under
the rows, the verdict line and the exit status, on installs drimlet made on
mtdsim; the JSON tells the same; colour only on a terminal."""
import json
import os
import re
import subprocess

import pytest

from conftest import INSPECT, QEMU, Geometry, on_terminal
from mkbin import bin_image
from test_inspect import run_inspect
from test_install import START, records_for

pytestmark = pytest.mark.skipif(not os.path.exists(INSPECT), reason="drimlet-inspect not built")

SYMBOLS = {"bad": "B", "unreadable": "X", "table": "T", "corrected": "c", "image": "#", "erased": ".",
           "data": "o"}
LARGE = Geometry(16 << 20, 128 << 10, 2048)
SMALL = Geometry(16 << 20, 16 << 10, 512)
NINE_BLOCKS = bin_image(START, records_for(9, 1 << 20, 128 << 10))  # lays out into 9 blocks of 128 KiB
FORTY_ONE_SMALL = bin_image(START, [(START, bytes(range(256)) * (40 * 64) + b"end")])
GAP = bin_image(START, [(START, b"a" * 100), (START + 2 * LARGE.erase, b"b" * 100)])  # image block 1 all 0xFF


def parse_map(out):
    """(one character per block, {block: mark}) from the rows and the
    marks line under a row."""
    cells, marks, row_start, indent = "", {}, None, None
    for line in out.splitlines():
        row = re.match(r"^( *(\d+) 0x[0-9a-f]+ )(\S+)$", line)
        if row:
            assert int(row.group(2)) == len(cells), line  # rows follow each other, 64 blocks apart
            indent, row_start = len(row.group(1)), len(cells)
            cells += row.group(3)
        elif row_start is not None and line[:indent].strip() == "" and line[indent:].strip():
            marks.update({row_start + i: c for i, c in enumerate(line[indent:]) if c != " "})
            row_start = None
        else:
            row_start = None
    return cells, marks


# name, geometry, -n MiB, bad blocks and image of the install (None: an erased chip),
# mtdsim's options when mapping, {block: character}, marks, verdict line, status.
ROWS = [
    ("erased chip", LARGE, None, [], {0: ".", 28: ".", 127: "."}, {28: "s", 112: "n"},
     "0 bad, 0 image blocks, no partition table, 0 blocks with corrected bitflips, 0 unreadable", 1),
    ("fresh install", LARGE, (14, [], NINE_BLOCKS), [], {27: ".", 28: "T", 103: ".", 104: "#", 112: "#", 113: "."},
     {28: "s", 112: "n"},
     "0 bad, 9 image blocks, table at 0x00380000, 0 blocks with corrected bitflips, 0 unreadable", 0),
    ("install with bad blocks", LARGE, (14, [110, 28], NINE_BLOCKS), [],
     {28: "B", 29: "T", 102: ".", 103: "#", 109: "#", 110: "B", 111: "#", 112: "#"}, {28: "s", 112: "n"},
     "2 bad, 9 image blocks, table at 0x003a0000, 0 blocks with corrected bitflips, 0 unreadable", 0),
    ("a listed block now bad", LARGE, (14, [110, 28], NINE_BLOCKS), ["--bad", "110,28,105"],
     {105: "B", 106: "#", 110: "B"}, {28: "s", 105: "!", 112: "n"},
     "3 bad, 9 image blocks, table at 0x003a0000, 0 blocks with corrected bitflips, 0 unreadable", 1),
    ("wear and a failing read", LARGE, (14, [110, 28], NINE_BLOCKS), ["--bad", "110,28", "--bitflips", "111:2,40", "--ecc-fail", "107"],
     {40: ".", 107: "X", 108: "#", 111: "c"}, {28: "s", 107: "!", 112: "n"},
     "2 bad, 9 image blocks, table at 0x003a0000, 2 blocks with corrected bitflips, 1 unreadable", 1),
    ("small pages", SMALL, (8, [511, 224], FORTY_ONE_SMALL), [],
     {224: "B", 225: "T", 470: ".", 471: "#", 510: "#", 511: "B", 512: "#", 513: "."}, {224: "s", 512: "n"},
     "2 bad, 41 image blocks, table at 0x00384000, 0 blocks with corrected bitflips, 0 unreadable", 0),
    # An image without data in a whole block: flagged, as a block that lost
    # its data would be, but readable.
    ("a listed block erased", LARGE, (14, [], GAP), [], {110: "#", 111: "#", 112: "#"},
     {28: "s", 111: "!", 112: "n"},
     "0 bad, 3 image blocks, table at 0x00380000, 0 blocks with corrected bitflips, 0 unreadable", 0),
]


def install(bench, geometry, nonfs, bad, image=NINE_BLOCKS):
    outcome = bench.run(geometry, ["-n", nonfs, "/dev/mtd3", "{image}"], image=image,
                        sim_args=["--bad", ",".join(map(str, bad)) or "-1"])
    assert outcome.status == 0, outcome.err


def map_on_mtdsim(bench, geometry, sim_args, json_output=False):
    args = ["--json"] * json_output + ["map", "-n", 14 if geometry is LARGE else 8, "/dev/mtd3"]
    return bench.run(geometry, args, sim_args=sim_args or ["--bad", "-1"], fresh=False, program=INSPECT)


@pytest.mark.parametrize("geometry,installed,sim_args,chars,marks,verdict,status",
                         [pytest.param(*row[1:], id=row[0]) for row in ROWS])
def test_map_rows(bench, geometry, installed, sim_args, chars, marks, verdict, status):
    if installed:
        install(bench, geometry, *installed)
    else:
        bench.flash.write_bytes(b"\xff" * geometry.size)
    if installed and len(installed[1]) and not sim_args:
        sim_args = ["--bad", ",".join(map(str, installed[1]))]
    before = bench.flash.read_bytes()
    shown = map_on_mtdsim(bench, geometry, sim_args)
    assert shown.status == status, shown.out + shown.err
    assert not shown.requests("MEMERASE") and not shown.requests("write")
    assert bench.flash.read_bytes() == before
    cells, found_marks = parse_map(shown.out)
    assert len(cells) == geometry.size // geometry.erase
    assert {block: cells[block] for block in chars} == chars
    assert found_marks == marks
    assert shown.out.splitlines()[-1] == verdict
    counts = dict(re.findall(r"^  (\S) +(\d+)  ", shown.out, re.M))
    assert {c: int(n) for c, n in counts.items()} == {c: cells.count(c) for c in "BXTc#.o"}
    # Each block read once, in order: one pass.
    reads = [int(r.split()[1], 16) for r in shown.requests("read ")]
    good = [b for b in range(len(cells)) if cells[b] != "B"]
    assert reads == [b * geometry.erase for b in good]

    doc = json.loads(map_on_mtdsim(bench, geometry, sim_args, json_output=True).out)
    assert "".join(SYMBOLS[b["state"]] for b in doc["blocks"]) == cells
    assert [b["offset"] for b in doc["blocks"]] == [k * geometry.erase for k in range(len(cells))]
    assert doc["summary"] == verdict and doc["ok"] == (status == 0)
    assert [(p["device_block"], p["problem"]) for p in doc["not_bootable"]] == sorted(
        (b, {"B": "bad", "X": "unreadable", "#": "erased"}[cells[b]]) for b, m in marks.items() if m == "!")
    assert all(b["failed"] == (b["state"] == "unreadable") for b in doc["blocks"])
    if "--bitflips" in sim_args:  # mtdsim counts 2 per page read of block 111
        assert doc["blocks"][111]["corrected"] == 2 * geometry.erase // geometry.page
        assert doc["blocks"][111]["image_block"] == 1


def test_map_of_a_dump_file(bench):
    """The flash file read as a dump: the same map, said once to have no ECC."""
    install(bench, LARGE, 14, [110, 28])
    device = map_on_mtdsim(bench, LARGE, ["--bad", "110,28"])
    dump = run_inspect("--erase", "128K", "--page", "2K", "--bad", "110,28", "map", "-n", 14, bench.flash)
    assert dump.returncode == 0, dump.stderr
    assert parse_map(dump.stdout) == parse_map(device.out)
    assert dump.stdout.splitlines()[1:] == device.out.splitlines()[1:]  # all but the device's name
    assert dump.stderr.count("carries no ECC") == 1


@pytest.mark.parametrize("terminal,extra,no_color,coloured", [
    (True, [], None, True),
    (True, [], "1", False),
    (True, [], "", True),  # NO_COLOR set but empty asks for nothing
    (True, ["--no-color"], None, False),
    (False, [], None, False),
])
def test_colour_only_on_a_terminal(bench, terminal, extra, no_color, coloured):
    install(bench, LARGE, 14, [110, 28])
    command = QEMU + [INSPECT, "--erase", "128K", "--page", "2K", "--bad", "110,28", *extra, "map",
                      str(bench.flash)]
    env = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
    if no_color is not None:
        env["NO_COLOR"] = no_color
    if terminal:
        status, out = on_terminal(command, "stdout", env)
        out = out.replace("\r\n", "\n")
    else:
        done = subprocess.run(command, capture_output=True, text=True, env=env)
        status, out = done.returncode, done.stdout
    assert status == 0
    assert ("\x1b[" in out) == coloured
    plain = re.sub(r"\x1b\[[0-9;]*m", "", out)
    assert parse_map(plain)[0][28:30] == "BT"
    assert plain.splitlines()[-1].startswith("2 bad, 9 image blocks")
