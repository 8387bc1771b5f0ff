"""drimlet-inspect: plan predicts drimlet exactly, show and verify read back
what drimlet wrote, and verify catches corruption. It never writes."""
import os
import random
import subprocess

import pytest

from conftest import QEMU, Geometry
from mkbin import bin_image
from test_install import START, records_for

INSPECT = os.environ.get("DRIMLET_INSPECT", os.path.join(os.path.dirname(os.environ.get(
    "DRIMLET", "build/drimlet")), "drimlet-inspect"))
pytestmark = pytest.mark.skipif(not os.path.exists(INSPECT), reason="drimlet-inspect not built")

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


def inspect(bench, geometry, args, bad, image=None):
    return bench.run(geometry, args, image=image, sim_args=["--bad", ",".join(map(str, bad)) or "-1"],
                     fresh=False, program=INSPECT)


@pytest.mark.parametrize("geometry,nonfs,bad,image", varied_flashes())
def test_plan_predicts_the_install(bench, geometry, nonfs, bad, image):
    bench.flash.write_bytes(b"\xff" * geometry.size)
    plan = inspect(bench, geometry, ["plan", "-n", nonfs, "/dev/mtd3", "{image}"], bad, image)
    assert bench.flash.read_bytes() == b"\xff" * geometry.size
    assert not plan.requests("MEMERASE") and not plan.requests("write") and not plan.requests("MEMUNLOCK")
    install = bench.run(geometry, ["-n", nonfs, "/dev/mtd3", "{image}"], image=image,
                        sim_args=["--bad", ",".join(map(str, bad)) or "-1"])
    assert plan.status == install.status
    assert plan.err == install.err  # the same phases, so the same lines
    written = [int(r.split()[1], 16) // geometry.erase for r in install.requests("write")]
    planned = [int(line.split("device block")[1].split()[0]) for line in plan.out.splitlines()
               if "device block" in line]
    assert planned == written
    assert plan.out.splitlines()[-1].startswith(
        "plan: the install would succeed" if install.status == 0 else "plan: the install would fail")


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


def test_show_without_a_partition_table(bench):
    g = Geometry(8 << 20, 128 << 10, 2048)
    bench.flash.write_bytes(b"\xff" * g.size)
    show = inspect(bench, g, ["show", "/dev/mtd3"], [28])
    assert show.status == 1
    assert show.err == ("drimlet-inspect: no valid partition table at 0x003a0000 "
                        "(the first good block from 3.5 MiB): no magic\n")
