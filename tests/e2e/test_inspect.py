"""drimlet-inspect: plan predicts drimlet exactly, show and verify read back
what drimlet wrote, verify catches corruption and damaged images, dump reads
an install back into an image that installs to the same flash. It never
writes."""
import json
import random
import re
import struct
import subprocess

import pytest

from conftest import INSPECT, QEMU, Bench, Geometry
from mkbin import bin_image
from test_install import START, records_for


GEOMETRIES = [Geometry(8 << 20, 128 << 10, 2048), Geometry(16 << 20, 16 << 10, 512),
              Geometry(64 << 20, 256 << 10, 4096)]


def varied_flashes():
    """24 flashes: bad blocks, areas too small, images reaching the
    partition table block, tables overflowing, broken images."""
    rng = random.Random(2026)
    cases = []
    for i in range(24):
        g = GEOMETRIES[i % 3]
        blocks = g.size // g.erase
        nonfs = rng.choice([1, 2, 4, 6, 7, g.size >> 20])
        top = (nonfs << 20) // g.erase
        bad = sorted(rng.sample(range(2, blocks), rng.randrange(0, 12)))
        table_block = -(-0x380000 // g.erase)
        if i % 4 == 0:
            bad.append(table_block)  # the partition table moves up a block
        want = rng.choice([1, 3, max(1, top // 2), top - 1, top + 2])
        records = [(START + k * g.erase + 17 * k, bytes([k & 0xFF, 0xA5]) * 50) for k in range(want)]
        image = bin_image(START, records)
        if i == 5:
            image = bin_image(START, [(START + 2 * g.erase, b"x"), (START, b"y")])  # out of order
        if i == 11:
            image = bin_image(START, [(START + 466 * g.erase, b"z")])  # 467 blocks
        if i == 17:
            image = image[:-5]  # no end record
        cases.append(pytest.param(g, nonfs, sorted(set(bad)), image, id=f"flash{i:02d}"))
    return cases


def inspect(bench, geometry, args, bad, image=None, sim_args=()):
    return bench.run(geometry, args, image=image,
                     sim_args=["--bad", ",".join(map(str, bad)) or "-1"] + list(sim_args),
                     fresh=False, program=INSPECT)


def run_inspect(*args):
    """drimlet-inspect without mtdsim (check, or a dump file)."""
    done = subprocess.run(QEMU + [INSPECT] + [str(a) for a in args], capture_output=True, text=True)
    return done


def as_dry_run(err):
    """drimlet's standard error as a plan must show it: nothing claims a write."""
    return (err.replace("Image written, ", "Image would be written, ")
            .replace("Partition table written...", "Partition table would be written..."))


@pytest.mark.parametrize("geometry,nonfs,bad,image", varied_flashes())
def test_plan_predicts_the_install(bench, geometry, nonfs, bad, image):
    bench.flash.write_bytes(b"\xff" * geometry.size)
    plan = inspect(bench, geometry, ["plan", "-n", nonfs, "/dev/mtd3", "{image}"], bad, image)
    assert bench.flash.read_bytes() == b"\xff" * geometry.size
    assert not plan.requests("MEMERASE") and not plan.requests("write") and not plan.requests("MEMUNLOCK")
    install = bench.run(geometry, ["-n", nonfs, "/dev/mtd3", "{image}"], image=image,
                        sim_args=["--bad", ",".join(map(str, bad)) or "-1"])
    assert plan.status == install.status
    assert plan.err == as_dry_run(install.err)  # the same phases, so the same lines
    assert not re.search(r"(?<!would be) written", plan.err)
    written = [int(r.split()[1], 16) // geometry.erase for r in install.requests("write")]
    planned = [int(line.split("device block")[1].split()[0]) for line in plan.out.splitlines()
               if "device block" in line]
    if install.status == 0:
        assert planned == written
        assert plan.out.splitlines()[-1].startswith("plan: the install would succeed")
    else:  # refused by the check before writing, for the reason plan names
        assert written == [] and not install.requests("MEMERASE")
        assert plan.out.splitlines()[-1] == "plan: the install would fail: " + install.err.splitlines()[-1]
    # The JSON document carries the same plan.
    doc = json.loads(inspect(bench, geometry, ["--json", "plan", "-n", nonfs, "/dev/mtd3", "{image}"], bad,
                             image).out)
    table = [doc["partition_table"]["device_block"]] if doc["partition_table"] else []
    assert [b["device_block"] for b in doc["image_blocks"]] + table == planned
    assert doc["messages"] == plan.err.splitlines()
    assert doc["failure"] == (None if install.status == 0 else install.err.splitlines()[-1])
    assert doc["summary"] == plan.out.splitlines()[-1]
    assert doc["ok"] == (plan.status == 0)
    # check, with no device, agrees: the same image blocks, and an image it
    # calls unfit for the installer's reader never installs.
    check = json.loads(run_inspect("--json", "check", "--erase", geometry.erase, "-n", nonfs,
                                   bench.tmp / "nk.bin").stdout)
    if install.status == 0:
        assert check["image_blocks"] == len(written) - 1
        assert check["ok"] or any(b in bad for b in range(2, check["nonfs"]["top_block"] + 1))
    image_faults = [p for p in check["problems"] if "non-Filesystem" not in p]
    if image_faults:
        assert install.status != 0, image_faults
    top, table_block = check["nonfs"]["top_block"], check["nonfs"]["table_block"]
    if not any(2 <= b <= max(top, table_block) for b in bad):  # no bad block the install meets
        assert check["ok"] == (install.status == 0), check["problems"]


@pytest.fixture
def installed(bench):
    g = Geometry(16 << 20, 128 << 10, 2048)
    records = records_for(9, 1 << 20, g.erase)
    image = bin_image(START, records)
    outcome = bench.run(g, ["-n", 14, "/dev/mtd3", "{image}"], image=image, sim_args=["--bad", "110,28"])
    assert outcome.status == 0, outcome.err
    return bench, g, image


def test_show_and_verify_after_an_install(installed):
    bench, g, image = installed
    show = inspect(bench, g, ["show", "/dev/mtd3"], [110, 28])
    assert show.status == 0
    assert show.out.splitlines()[0] == "partition table at 0x003a0000 (device block 29):"
    assert "image block   1 -> device block   111 at 0x00de0000" in show.out  # 110 is bad
    verify = inspect(bench, g, ["verify", "/dev/mtd3", "{image}"], [110, 28], image)
    assert verify.status == 0, verify.out + verify.err
    assert verify.out.endswith("and the partition table match\n")
    # A dump with its geometry on the command line reads the same.
    dump = subprocess.run(QEMU + [INSPECT, "--erase", "128K", "--page", "2K", "--bad", "110,28", "verify",
                           str(bench.flash), str(bench.tmp / "nk.bin")], capture_output=True, text=True)
    assert dump.returncode == 0, dump.stdout + dump.stderr


def corrupt(path, offset, change):
    data = bytearray(path.read_bytes())
    change(data, offset)
    path.write_bytes(bytes(data))


@pytest.mark.parametrize("what,offset,change,expected", [
    ("one flipped bit", 112 * (128 << 10) + 1000, lambda d, o: d.__setitem__(o, d[o] ^ 0x10),
     "image block 0 (device block 112 at 0x00e00000): 1 bytes differ, the first at offset 0x3e8"),
    ("bit flipped in the last page", 113 * (128 << 10) - 3, lambda d, o: d.__setitem__(o, d[o] ^ 0x01),
     "image block 0 (device block 112 at 0x00e00000): 1 bytes differ, the first at offset 0x1fffd"),
    ("bytes zeroed mid-block further on", 107 * (128 << 10) + (64 << 10) + 777,
     lambda d, o: d.__setitem__(slice(o, o + 5), bytes(5)),
     "image block 4 (device block 107 at 0x00d60000): 5 bytes differ, the first at offset 0x10309"),
    ("wrong table entry", 29 * (128 << 10) + 30, lambda d, o: d.__setitem__(o, 105),
     "image block 1 (device block 105 at 0x00d20000)"),
    ("damaged page tail", 29 * (128 << 10) + 1500, lambda d, o: d.__setitem__(o, 0),
     "partition table block at 0x003a0000 differs from the page the installer writes"),
])
def test_verify_catches_corruption(installed, what, offset, change, expected):
    bench, g, image = installed
    corrupt(bench.flash, offset, change)
    verify = inspect(bench, g, ["verify", "/dev/mtd3", "{image}"], [110, 28], image)
    assert verify.status == 1, what
    assert expected in verify.out, verify.out
    doc = json.loads(inspect(bench, g, ["--json", "verify", "/dev/mtd3", "{image}"], [110, 28], image).out)
    assert doc["ok"] is False and doc["summary"] == verify.out.splitlines()[-1]
    assert doc["findings"] == verify.out.splitlines()[:-1]
    for k, block, count, first in re.findall(
            r"image block (\d+) \(device block (\d+) at 0x[0-9a-f]+\): (\d+) bytes differ, the first at offset "
            r"0x([0-9a-f]+)", verify.out):
        entry = doc["blocks"][int(k)]
        assert (entry["status"], entry["device_block"], entry["differing_bytes"], entry["first_difference"]) == (
            "differ", int(block), int(count), int(first, 16))
    assert doc["differing"] == sum(b["status"] in ("differ", "past-end") for b in doc["blocks"])


def test_show_without_a_partition_table(bench):
    g = Geometry(8 << 20, 128 << 10, 2048)
    bench.flash.write_bytes(b"\xff" * g.size)
    show = inspect(bench, g, ["show", "/dev/mtd3"], [28])
    assert show.status == 1
    assert show.err == ("drimlet-inspect: no valid partition table at 0x003a0000 "
                        "(the first good block from 3.5 MiB): no magic\n")


def test_show_json_lists_what_the_text_lists(installed):
    bench, g, _ = installed
    text = inspect(bench, g, ["show", "/dev/mtd3"], [110, 28]).out
    doc = json.loads(inspect(bench, g, ["--json", "show", "/dev/mtd3"], [110, 28]).out)
    rows = [tuple(map(int, row)) for row in re.findall(r"image block +(\d+) -> device block +(\d+)", text)]
    assert rows == [(b["image_block"], b["device_block"]) for b in doc["image_blocks"]]
    assert doc["count"] == len(rows) and f"{doc['count']} image blocks" in text
    assert doc["partition_table"] == {"device_block": 29, "offset": 0x3a0000}


def records_of(image):
    """(offset of the record header, address, length) of every data record."""
    found, at = [], 15
    while True:
        address, length, _ = struct.unpack_from("<III", image, at)
        if address == 0:
            return found
        found.append((at, address, length))
        at += 12 + length


def with_checksum_off_by_one(image, index):
    at, _, _ = records_of(image)[index]
    damaged = bytearray(image)
    checksum = struct.unpack_from("<I", damaged, at + 8)[0]
    struct.pack_into("<I", damaged, at + 8, (checksum + 1) & 0xFFFFFFFF)
    return bytes(damaged)


def test_plan_and_verify_fail_on_a_record_checksum_its_data_does_not_match(installed):
    bench, g, image = installed
    damaged = with_checksum_off_by_one(image, 2)  # same data, so the same blocks on the flash
    at, address, length = records_of(image)[2]
    checksum = struct.unpack_from("<I", image, at + 8)[0]
    finding = (f"record 2 at 0x{address:08x}, {length} bytes, checksum 0x{checksum + 1:08x}: does not match "
               f"(the data sums to 0x{checksum:08x})")
    records = len(records_of(image))
    blocks = json.loads(inspect(bench, g, ["--json", "show", "/dev/mtd3"], [110, 28]).out)["count"]
    # From a file and from a pipe (read twice through a copy).
    for args, stdin in ((["verify", "/dev/mtd3", "{image}"], None), (["verify", "/dev/mtd3", "-"], damaged)):
        verify = bench.run(g, args, image=damaged, stdin=stdin, sim_args=["--bad", "110,28"], fresh=False,
                           program=INSPECT)
        assert verify.status == 1
        assert finding in verify.out.splitlines()
        assert verify.out.splitlines()[-1] == (
            f"verify: all {blocks} image blocks and the partition table match, but the image is damaged: "
            f"1 of {records} record checksums do not match")
    refusal = f"Checksum error in record at {address:08x}!"
    plan = inspect(bench, g, ["plan", "-n", 14, "/dev/mtd3", "{image}"], [110, 28], damaged)
    assert plan.status == 1 and finding in plan.out.splitlines()
    assert plan.out.splitlines()[-1] == "plan: the install would fail: " + refusal
    # drimlet refuses it before writing; told to take the checksums as they
    # are, it installs it, and plan says so.
    before = bench.flash.read_bytes()
    install = bench.run(g, ["-n", 14, "/dev/mtd3", "{image}"], image=damaged, sim_args=["--bad", "110,28"],
                        fresh=False)
    assert (install.status, install.err.splitlines()[-1]) == (1, refusal)
    assert install.flash == before
    plan = inspect(bench, g, ["plan", "--ignore-checksums", "-n", 14, "/dev/mtd3", "{image}"], [110, 28], damaged)
    assert plan.status == 1
    assert plan.out.splitlines()[-1] == f"plan: the install would write {blocks} image blocks, but the image is damaged"
    install = bench.run(g, ["--ignore-checksums", "-n", 14, "/dev/mtd3", "{image}"], image=damaged,
                        sim_args=["--bad", "110,28"], fresh=False)
    assert install.status == 0


@pytest.mark.parametrize("extra,summary", [
    (+1, "verify: {t} of {t} image blocks differ, and the image has 1 image block the partition table does not "
         "list"),
    (-2, "verify: {i} of {i} image blocks differ, and the partition table lists 2 image blocks the image does "
         "not have"),
])
def test_verify_against_another_image_counts_add_up(installed, extra, summary):
    bench, g, _ = installed
    listed = json.loads(inspect(bench, g, ["--json", "show", "/dev/mtd3"], [110, 28]).out)["count"]
    blocks = listed + extra
    # Data filling blocks - 1 whole blocks: the end record closes one more, erased.
    other = bin_image(START, [(START, random.Random(extra).randbytes((blocks - 1) * g.erase))])
    verify = inspect(bench, g, ["verify", "/dev/mtd3", "{image}"], [110, 28], other)
    assert verify.status == 1
    assert verify.out.splitlines()[-1] == summary.format(t=listed, i=blocks)
    doc = json.loads(inspect(bench, g, ["--json", "verify", "/dev/mtd3", "{image}"], [110, 28], other).out)
    assert doc["image_block_count"] == blocks == len(doc["blocks"])
    assert doc["compared"] + doc["image_blocks_not_listed"] == blocks
    assert doc["compared"] + doc["table_entries_beyond_image"] == listed
    assert doc["differing"] == doc["compared"]


ROUND_TRIPS = [
    # geometry, -n MiB, bad blocks, image, --start of the dump
    pytest.param(Geometry(16 << 20, 128 << 10, 2048), 14, [110, 28],
                 bin_image(START, records_for(9, 1 << 20, 128 << 10)), START, id="large-page"),
    pytest.param(Geometry(16 << 20, 16 << 10, 512), 8, [511, 224, 300],
                 bin_image(START, records_for(3, 600 << 10, 16 << 10)), 0x80000000, id="small-page-moved"),
    pytest.param(Geometry(64 << 20, 256 << 10, 4096), 32, [127, 14],
                 bin_image(START, records_for(4, 3 << 20, 256 << 10)), START, id="4k-page"),
    # data up to a block boundary: the end record closes one more block, erased
    pytest.param(Geometry(8 << 20, 128 << 10, 2048), 6, [47],
                 bin_image(START, [(START, random.Random(5).randbytes(3 << 17))]), START, id="erased-last-block"),
]


@pytest.mark.parametrize("geometry,nonfs,bad,image,start", ROUND_TRIPS)
def test_dump_installs_back_to_the_same_flash(tmp_path, geometry, nonfs, bad, image, start):
    (tmp_path / "first").mkdir()
    (tmp_path / "second").mkdir()
    first = Bench(tmp_path / "first")
    sim = ["--bad", ",".join(map(str, bad))]
    installed = first.run(geometry, ["-n", nonfs, "/dev/mtd3", "{image}"], image=image, sim_args=sim)
    assert installed.status == 0, installed.err
    out = tmp_path / "dump.bin"
    dump = first.run(geometry, ["dump", "--start", hex(start), "/dev/mtd3", out], sim_args=sim, fresh=False,
                     program=INSPECT)
    assert dump.status == 0, dump.out + dump.err
    assert not dump.requests("MEMERASE") and not dump.requests("write")
    assert first.flash.read_bytes() == installed.flash
    again = Bench(tmp_path / "second").run(geometry, ["-n", nonfs, "/dev/mtd3", out], sim_args=sim)
    assert again.status == 0, again.err
    assert again.flash == installed.flash
    # The flash file read as a dump gives the same image, and says once that
    # a dump has no ECC.
    from_file = tmp_path / "from-file.bin"
    done = run_inspect("--erase", geometry.erase, "--page", geometry.page, "--bad", ",".join(map(str, bad)),
                       "dump", "--start", hex(start), first.flash, from_file)
    assert done.returncode == 0, done.stderr
    assert from_file.read_bytes() == out.read_bytes()
    assert done.stderr.count("carries no ECC") == 1


def test_a_device_without_ecc_statistics_is_said_once(installed):
    """The device refuses its first ECCGETSTATS: verify says so once, on
    standard error, asks no more, and still compares every block."""
    bench, g, image = installed
    answered = inspect(bench, g, ["verify", "/dev/mtd3", "{image}"], [110, 28], image)
    assert answered.status == 0 and "ECCGETSTATS" not in answered.err
    first = next(int(line.split()[0][1:]) for line in answered.log if line.split()[1] == "ECCGETSTATS")
    verify = inspect(bench, g, ["verify", "/dev/mtd3", "{image}"], [110, 28], image,
                     sim_args=["--fault", f"{first}:eio"])
    assert verify.status == 0, verify.out + verify.err
    assert verify.err.count("drimlet-inspect: /dev/mtd3 does not answer ECCGETSTATS (Input/output error): "
                            "corrected bitflips and ECC failures cannot be seen\n") == 1
    assert "ECCGETSTATS" not in verify.out
    assert len(verify.requests("ECCGETSTATS")) == 1  # and is not asked again
    assert verify.requests("read") == answered.requests("read")
    assert verify.out == answered.out


def test_verify_and_dump_report_ecc_per_block(installed, tmp_path):
    bench, g, image = installed
    entries = [b["device_block"] for b in json.loads(
        inspect(bench, g, ["--json", "show", "/dev/mtd3"], [110, 28]).out)["image_blocks"]]
    flips, broken = entries[1], entries[3]
    where = {k: f"image block {k} (device block {b} at 0x{b * g.erase:08x})" for k, b in enumerate(entries)}

    worn = inspect(bench, g, ["verify", "/dev/mtd3", "{image}"], [110, 28], image,
                   sim_args=["--bitflips", f"{flips}:2"])
    assert worn.status == 0, worn.out + worn.err
    assert re.search(re.escape(where[1]) + r": \d+ corrected bitflips? \(ECC corrected them: a warning\)", worn.out)
    assert "verify: warning: " in worn.out and "ECCGETSTATS" not in worn.err
    assert worn.out.splitlines()[-1] == f"verify: all {len(entries)} image blocks and the partition table match"
    doc = json.loads(inspect(bench, g, ["--json", "verify", "/dev/mtd3", "{image}"], [110, 28], image,
                             sim_args=["--bitflips", f"{flips}:2"]).out)
    assert doc["ok"] and doc["ecc"]["available"]
    assert [k for k, b in enumerate(doc["blocks"]) if b["corrected_bitflips"]] == [1]
    assert doc["ecc"]["ecc_failures"] == 0 and doc["ecc"]["blocks_with_bitflips"] == 1

    # The data read matches, but ECC could not vouch for it: verify fails.
    failing = inspect(bench, g, ["verify", "/dev/mtd3", "{image}"], [110, 28], image,
                      sim_args=["--ecc-fail", str(broken)])
    assert failing.status == 1
    assert re.search(re.escape(where[3]) + r": \d+ uncorrectable ECC errors?: ", failing.out)
    assert failing.out.splitlines()[-1] == (f"verify: 0 of {len(entries)} image blocks differ, and 1 block was read "
                                            "with uncorrectable ECC errors")

    dumped = inspect(bench, g, ["dump", "--start", hex(START), "/dev/mtd3", tmp_path / "d.bin"], [110, 28],
                     sim_args=["--ecc-fail", str(broken)])
    assert dumped.status == 1 and re.search(re.escape(where[3]) + r": \d+ uncorrectable", dumped.out)
    assert "dump: 1 block was read with uncorrectable ECC errors" in dumped.out
    dumped = inspect(bench, g, ["dump", "--start", hex(START), "/dev/mtd3", tmp_path / "d.bin"], [110, 28],
                     sim_args=["--bitflips", f"{flips}:1"])
    assert dumped.status == 0 and "dump: warning: " in dumped.out
