"""Side doors of the command lines: options and operands that could send
bytes into the flash, the dump being read or a device node, or crash
drimlet-inspect. Each row runs one command and checks its exit status, its
whole standard error, and that the flash, the dump, the image and whatever
OUT named hold exactly what they held before (a device node stays the same
node)."""
import os
import signal
import stat
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import pytest

from conftest import DRIMLET, INSPECT, MTDSIM, QEMU, Geometry
from mkbin import bin_image
from test_install import START, records_for

NAND = Geometry(16 << 20, 128 << 10, 2048)
NOR = Geometry(16 << 20, 64 << 10, 1, type=3)
DUMP = ["--erase", "128K", "--page", "2K", "--bad", "110,28"]  # the install's bad blocks
USAGE = subprocess.run(QEMU + [INSPECT, "--help"], capture_output=True, text=True).stdout


class Site:
    """One row's folder: an image, a flash file with an install on it (the
    simulated device's, or a dump to read as a file), and the files the
    row must leave alone."""

    def __init__(self, tmp):
        self.tmp = tmp
        self.image = tmp / "nk.bin"
        self.image.write_bytes(bin_image(START, records_for(26, 1 << 20, NAND.erase)))
        self.flash = tmp / "flash.bin"
        self.guarded = {}
        self.fd = None   # the descriptor a row handed in
        self.out = b""   # what standard output must hold; None: anything

    def sim(self, geometry, program, args, fresh=False, sim_args=(), **run):
        command = [MTDSIM, "--flash", self.flash, "--size", geometry.size, "--erase", geometry.erase,
                   "--page", geometry.page, "--type", geometry.type, "--device", "/dev/mtd0",
                   *(["--fresh"] if fresh else []), *sim_args, *(["--qemu"] if QEMU else []), "--", *QEMU,
                   program, *args]
        return subprocess.run([str(c) for c in command], capture_output=True, timeout=120, **run)

    def install(self, geometry=NAND, nonfs=14):
        done = self.sim(geometry, DRIMLET, ["-n", nonfs, "/dev/mtd0", self.image], fresh=True,
                        sim_args=["--bad", "110,28"])
        assert done.returncode == 0, done.stderr
        return self.flash

    def guard(self, path):
        """`path` must come out of the row as it went in."""
        self.guarded[path] = snapshot(path)
        return path


def snapshot(path):
    """What a row must not change: a file's bytes, a node's kind and number."""
    if not os.path.lexists(path):
        return None
    status = os.lstat(path)
    if stat.S_ISREG(status.st_mode):
        return Path(path).read_bytes()
    return (stat.S_IFMT(status.st_mode), status.st_rdev)


def null_node(site):
    """A character device node of our own with /dev/null's number, so a
    tool that removes or replaces it harms nothing of the machine's."""
    node = site.tmp / "null-node"
    try:
        os.mknod(node, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("creating a device node needs CAP_MKNOD")
    return node


def inspect(*args, stdout=subprocess.PIPE):
    return subprocess.run(QEMU + [INSPECT] + [str(a) for a in args], stdout=stdout, stderr=subprocess.PIPE,
                          timeout=120)


def cut_dump(site):
    """The install as a dump that ends after device block 110: image block 0,
    in block 112, lies past its end, so the dump fails at its first record."""
    dump = site.tmp / "short.bin"
    dump.write_bytes(site.install().read_bytes()[:111 * NAND.erase])
    return dump


# --- the rows: each runs its command in `site` and returns it -------------

def progress_fd_not_open(site):
    site.install(NOR, nonfs=6)
    site.guard(site.flash)
    with open(site.image, "rb") as image:
        return site.sim(NOR, DRIMLET, ["--progress-fd", 3, "-n", 6, "/dev/mtd0", "-"], stdin=image)


def progress_fd_is_the_image(site):
    site.install()
    site.guard(site.flash), site.guard(site.image)
    fd = site.fd = os.open(site.image, os.O_WRONLY | os.O_APPEND)
    try:
        return site.sim(NAND, DRIMLET, ["--progress-fd", fd, "-n", 14, "/dev/mtd0", site.image], pass_fds=(fd,))
    finally:
        os.close(fd)


def progress_fd_is_the_device(site):
    # No descriptor of mtdsim's device can be handed in (it opens close-on-
    # exec), so the device here is a node that is /dev/null under another
    # name, and the descriptor /dev/null itself.
    node = site.guard(null_node(site))
    fd = site.fd = os.open("/dev/null", os.O_WRONLY)
    try:
        return subprocess.run(QEMU + [DRIMLET, "--progress-fd", str(fd), "-n", "6", str(node), str(site.image)],
                              capture_output=True, timeout=120, pass_fds=(fd,))
    finally:
        os.close(fd)


def dump_onto_its_source(site):
    dump = site.guard(site.install())
    return inspect(*DUMP, "--start", hex(START), "dump", dump, dump)


def dump_appended_to_its_source(site):
    dump = site.guard(site.install())
    with open(dump, "ab") as out:
        return inspect(*DUMP, "--start", hex(START), "dump", dump, "-", stdout=out)


def dump_onto_a_device_node_read_failing(site):
    dump = site.guard(cut_dump(site))
    node = site.guard(null_node(site))
    return inspect(*DUMP, "--start", hex(START), "dump", dump, node)


def dump_onto_a_file_read_failing(site):
    dump = site.guard(cut_dump(site))
    out = site.tmp / "out" / "back.bin"
    out.parent.mkdir()
    out.write_bytes(b"an earlier dump")
    site.guard(out)
    site.out = None  # the report of a dump to a file
    done = inspect(*DUMP, "--start", hex(START), "dump", dump, out)
    assert os.listdir(out.parent) == ["back.bin"]  # no temporary file left
    return done


def dump_interrupted(site):
    """SIGTERM once the temporary file is there, with reads slowed to 1.3 s
    an erase block so the dump is still going."""
    site.install()
    out = site.tmp / "back.bin"
    out.write_bytes(b"an earlier dump")
    site.guard(out)
    command = [MTDSIM, "--flash", site.flash, "--size", NAND.size, "--erase", NAND.erase, "--page", NAND.page,
               "--device", "/dev/mtd0", "--bad", "110,28", "--t-read", 20000, *(["--qemu"] if QEMU else []), "--",
               *QEMU, INSPECT, "--start", hex(START), "dump", "/dev/mtd0", out]
    sim = subprocess.Popen([str(c) for c in command], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    while not any(name.startswith(".back.bin.") for name in os.listdir(site.tmp)):
        assert sim.poll() is None, sim.stderr.read()
        time.sleep(0.01)
    child = int(Path(f"/proc/{sim.pid}/task/{sim.pid}/children").read_text().split()[0])
    os.kill(child, signal.SIGTERM)
    stdout, stderr = sim.communicate(timeout=120)
    site.out = b"dump of /dev/mtd0: partition table at 0x003a0000 (device block 29), 9 image blocks\n"
    assert sorted(os.listdir(site.tmp)) == ["back.bin", "flash.bin", "flash.bin.pages", "nk.bin"]
    return subprocess.CompletedProcess(command, sim.returncode, stdout, stderr)


def dump_to_standard_output_read_failing(site):
    dump = site.guard(cut_dump(site))
    whole = inspect(*DUMP, "--start", hex(START), "dump", site.flash, "-")
    assert whole.returncode == 0, whole.stderr
    # The header goes out before the first record fails; the report lines
    # go to standard error, none into the image.
    site.out = whole.stdout[:15]
    return inspect(*DUMP, "--start", hex(START), "dump", dump, "-")


def map_with_erase_size_0(site):
    site.flash.write_bytes(b"\xff" * NAND.size)
    site.guard(site.flash)
    return site.sim(Geometry(NAND.size, 0, 2048), INSPECT, ["map", "/dev/mtd0"])


def show_with_write_size_0(site):
    site.guard(site.install())
    return site.sim(Geometry(NAND.size, NAND.erase, 0), INSPECT, ["show", "/dev/mtd0"])


def verify_with_a_missing_image(site):
    dump = site.guard(site.install())
    return inspect(*DUMP, "verify", dump, site.tmp / "missing.bin")


def bad(value):
    def row(site):
        dump = site.guard(site.install())
        return inspect(*DUMP, "--bad", value, "show", dump)
    row.__name__ = f"bad {value!r}"
    return row


def page_above_erase(site):
    dump = site.guard(site.install())
    return inspect("--page", "256K", "--erase", "128K", "show", dump)


@dataclass
class Row:
    run: Callable
    status: int
    err: str  # {tmp}: the row's folder; {fd}: the descriptor handed in; {usage}: drimlet-inspect's usage text


BAD_LIST = "drimlet-inspect: --bad needs erase block numbers and ranges, like 28,100-120\n{usage}"
ROWS = [
    Row(progress_fd_not_open, 1, "drimlet: --progress-fd 3 is not an open descriptor: Bad file descriptor\n"),
    Row(progress_fd_is_the_image, 1,
        "drimlet: --progress-fd {fd} is the image {tmp}/nk.bin: progress lines would be written into it\n"),
    Row(progress_fd_is_the_device, 1,
        "drimlet: --progress-fd {fd} is the MTD device {tmp}/null-node: progress lines would be written into the "
        "flash\n"),
    Row(dump_onto_its_source, 1, "drimlet-inspect: {tmp}/flash.bin is the flash being read: dump to another file\n"),
    Row(dump_appended_to_its_source, 1,
        "drimlet-inspect: standard output is the flash being read: dump to another file\n"),
    Row(dump_onto_a_device_node_read_failing, 1,
        'drimlet-inspect: {tmp}/null-node is a device node: dump writes a file, or "-" for standard output\n'),
    Row(dump_onto_a_file_read_failing, 1,
        "drimlet-inspect: {tmp}/short.bin is a dump file: it carries no ECC, so no ECC errors can be reported\n"
        "drimlet-inspect: the partition table names device block 112, past the end of the flash\n"),
    Row(dump_interrupted, 128 + signal.SIGTERM, ""),
    Row(dump_to_standard_output_read_failing, 1,
        "dump of {tmp}/short.bin: partition table at 0x003a0000 (device block 29), 9 image blocks\n"
        "dump: warning: the partition table at 0x003a0000 lists 9 blocks, 2 past the end of {tmp}/short.bin: "
        "the dump's geometry (--erase 131072 --page 2048) may be wrong\n"
        "drimlet-inspect: {tmp}/short.bin is a dump file: it carries no ECC, so no ECC errors can be reported\n"
        "drimlet-inspect: the partition table names device block 112, past the end of the flash\n"),
    Row(map_with_erase_size_0, 1,
        "drimlet-inspect: /dev/mtd0 reports an erase size of 0: it has no erase blocks to read\n"),
    Row(show_with_write_size_0, 1,
        "drimlet-inspect: /dev/mtd0 reports a write size of 0 bytes with 131072-byte erase blocks: not a flash "
        "geometry\n"),
    Row(verify_with_a_missing_image, 1,
        "drimlet-inspect: cannot open {tmp}/missing.bin: No such file or directory\n"),
    Row(bad("0x1c"), 1, BAD_LIST),
    Row(bad("28,"), 1, BAD_LIST),
    Row(bad(""), 1, BAD_LIST),
    Row(bad("128"), 1, "drimlet-inspect: --bad 128 is past the end of {tmp}/flash.bin, which has 128 erase blocks\n"),
    Row(bad("0-4294967295"), 1,
        "drimlet-inspect: --bad 4294967295 is past the end of {tmp}/flash.bin, which has 128 erase blocks\n"),
    Row(page_above_erase, 1,
        "drimlet-inspect: --page 262144 is larger than --erase 131072: a page lies within one erase block\n{usage}"),
]


@pytest.mark.parametrize("row", ROWS, ids=[row.run.__name__.replace("_", " ") for row in ROWS])
def test_a_side_door_is_refused_and_harms_nothing(tmp_path, row):
    site = Site(tmp_path)
    done = row.run(site)
    assert (done.returncode, done.stderr.decode()) == (row.status,
                                                       row.err.format(tmp=tmp_path, usage=USAGE, fd=site.fd))
    if site.out is not None and done.stdout is not None:
        assert done.stdout == site.out
    assert {path: snapshot(path) for path in site.guarded} == site.guarded
