"""Nothing drimlet can know is wrong reaches the flash. Over an earlier
install: an image file is run dry before the first erase, and every failure
it would meet leaves that install intact, byte for byte; a pipe is checked
as its records arrive. Also interrupts, and two installs on one device."""
import os
import pty
import signal
import subprocess
import time

import pytest

from conftest import Geometry, device_report
from mkbin import bin_image
from test_failures import USAGE
from test_inspect import INSPECT
from test_install import START

pytestmark = pytest.mark.skipif(not os.path.exists(INSPECT), reason="drimlet-inspect not built")

G = Geometry(16 << 20, 16 << 10, 512)  # 1024 blocks; the partition table at block 224
E = G.erase
BAD = ["--bad", "958,225"]
OLD = bin_image(START, [(START + k * E, bytes([0xA0 + k]) * 3000) for k in range(4)])
NEW_RECORDS = [(START + k * E + 100, bytes([0xB0 + k, k]) * 2000) for k in range(6)]
NEW = bin_image(START, NEW_RECORDS)


def with_byte_changed(image, record):
    """`image` with one data byte of record `record` changed after its
    checksum was made."""
    at = 15 + sum(12 + len(d) for _, d in NEW_RECORDS[:record]) + 12 + 7
    damaged = bytearray(image)
    damaged[at] ^= 0x01
    return bytes(damaged)


CORRUPT = with_byte_changed(NEW, 3)


def header(image):
    length = int.from_bytes(image[11:15], "little")
    return f"Image base address {START:08x}, size {length}\n"


BAD_958 = "Bad block at 00ef8000, skipping...\n"
CHECKSUM = f"Checksum error in record at {START + 3 * E + 100:08x}!\n"
TOO_LARGE = bin_image(START, [(START + 466 * E, b"z")])
EXHAUSTING = bin_image(START, [(START + 63 * E, b"z")])  # 64 blocks; -n 1 holds 63 (blocks 64..2)
REACHING = bin_image(START, [(START + 31 * E, b"z")])  # 32 blocks from 256 down: the last lands on 224
OUT_OF_ORDER = bin_image(START, [(START + 2 * E, b"x" * 10), (START + E, b"y")])


class Chip:
    """The flash file with the old install, put back before every row."""

    def __init__(self, bench):
        self.bench = bench
        self.pages = bench.flash.with_name(bench.flash.name + ".pages")
        old = bench.run(G, ["-n", 15, "/dev/mtd3", "{image}"], image=OLD, sim_args=BAD)
        assert old.status == 0, old.err
        self.saved = bench.flash.read_bytes(), self.pages.read_bytes()

    def restore(self):
        self.bench.flash.write_bytes(self.saved[0])
        self.pages.write_bytes(self.saved[1])

    def inspect(self, *args, image=None):
        return self.bench.run(G, list(args), image=image, sim_args=BAD, fresh=False, program=INSPECT)

    def holds(self, image):
        """True when the flash holds exactly `image`, partition table included."""
        return self.inspect("verify", "/dev/mtd3", "{image}", image=image).status == 0

    def has_table(self):
        return self.inspect("show", "/dev/mtd3").status == 0


@pytest.fixture
def chip(bench):
    return Chip(bench)


def row(name, args, image=None, stdin=None, status=1, err="", out=None, requests=None):
    """`stdin`: "pipe" (the image) or "terminal"; `requests` the whole
    request log when the row must stop before any request after MEMGETINFO."""
    return pytest.param(args, image, stdin, status, err, out, requests, id=name)


DEVICE_ONLY = ["MEMGETINFO -> 0", "close 3"]
ROWS = [
    row("corrupt record, file", ["-n", 15, "/dev/mtd3", "{image}"], CORRUPT, err=header(NEW) + BAD_958 + CHECKSUM),
    row("corrupt record, pipe", ["-n", 15, "/dev/mtd3", "-"], CORRUPT, stdin="pipe",
        err=header(NEW) + BAD_958 + CHECKSUM),
    row("too large for the table", ["-n", 15, "/dev/mtd3", "{image}"], TOO_LARGE,
        err=header(TOO_LARGE) + BAD_958 + "Image too large for partition table!\n"),
    row("not enough good blocks", ["-n", 1, "/dev/mtd3", "{image}"], EXHAUSTING,
        err=header(EXHAUSTING) + "No good block left in the non-Filesystem partition!\n"),
    row("table block overlapped", ["-n", 4, "/dev/mtd3", "{image}"], REACHING,
        err=header(REACHING) + "Bad block at 00384000, skipping...\n"
        "Image overlaps partition table block at 00380000!\n"),
    row("truncated file", ["-n", 15, "/dev/mtd3", "{image}"], NEW[:-3000],
        err=header(NEW) + BAD_958 + "Incomplete data section!\n"),
    row("out-of-order record", ["-n", 15, "/dev/mtd3", "{image}"], OUT_OF_ORDER,
        err=header(OUT_OF_ORDER) + f"Record at {START + E:08x} out of order!\n"),
    row("-n beyond the device", ["-n", 17, "/dev/mtd3", "{image}"], NEW,
        err="Non-Filesystem partition larger than the MTD device!\n", requests=DEVICE_ONLY),
    row("third operand", ["-n", 15, "/dev/mtd3", "{image}", "{image}"], NEW, out=USAGE, requests=[]),
    row("missing file", ["-n", 15, "/dev/mtd3", "/nonexistent/nk.bin"],
        err="Failed to open image file /nonexistent/nk.bin: No such file or directory\n", requests=DEVICE_ONLY),
    row("terminal on stdin", ["-n", 15, "/dev/mtd3", "-"], stdin="terminal",
        err="Refusing to read the image from a terminal\n", requests=DEVICE_ONLY),
    row("--ignore-checksums", ["--ignore-checksums", "-n", 15, "/dev/mtd3", "{image}"], CORRUPT, status=0,
        err=header(NEW) + BAD_958 + "Image written, 6 erase blocks...\nPartition table written...\n"),
]


@pytest.mark.parametrize("args,image,stdin,status,err,out,requests", ROWS)
def test_refused_before_the_flash_changes(chip, args, image, stdin, status, err, out, requests):
    bench = chip.bench
    chip.restore()
    if stdin == "terminal":
        controller, terminal = pty.openpty()
        outcome = bench.run(G, args, sim_args=BAD, fresh=False, stdin_fd=terminal)
        os.close(controller)
        os.close(terminal)
    else:
        outcome = bench.run(G, args, image=image, stdin=image if stdin == "pipe" else None, sim_args=BAD,
                            fresh=False)
    assert (outcome.status, outcome.err) == (status, err)
    assert outcome.out == (device_report(G) if out is None else out)
    if requests is not None:
        assert outcome.requests() == requests
    if status == 0:  # the damaged image as it is, checksums and all
        verify = chip.inspect("verify", "/dev/mtd3", "{image}", image=image)
        assert verify.out.splitlines()[-1].startswith(
            "verify: all 6 image blocks and the partition table match, but the image is damaged"), verify.out
    elif stdin == "pipe":  # blocks 0 to 2 went out before record 3 ended, the old table before them
        written = [r.split()[1] for r in outcome.requests("write")]
        assert written == [f"0x{b * E:08x}" for b in (960, 959, 957)]
        assert not chip.has_table()
    else:
        assert [r for r in outcome.requests() if r.startswith(("MEMUNLOCK", "MEMERASE", "write"))] == []
        assert outcome.flash == chip.saved[0]
        assert chip.holds(OLD)
    if stdin is None and out is None and status == 1:  # plan foretells the same refusal in the same words
        plan = bench.run(G, ["plan", *args], image=image, sim_args=BAD, fresh=False, program=INSPECT)
        assert (plan.status, plan.err) == (1, err)
        summary = ["plan: the install would fail: " + err.splitlines()[-1]] if image else []
        assert plan.out.splitlines()[-1:] == summary


def child_of(pid):
    """The process mtdsim started (drimlet, or qemu running it)."""
    for _ in range(500):
        for entry in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                return int(entry)
        time.sleep(0.01)
    raise AssertionError(f"mtdsim {pid} started nothing")


def wait_for_log(path, predicate, process):
    """Waits until `predicate` accepts the requests logged so far."""
    for _ in range(3000):
        if path.exists() and predicate([line.split()[1] for line in path.read_text().splitlines()]):
            return
        assert process.poll() is None, "the install ended first"
        time.sleep(0.01)
    raise AssertionError(f"no such line in {path}")


BIG = bin_image(START, [(START + k * E, bytes([0xC0 + k]) * 9000) for k in range(12)])
SLOW_ERASE = ["--timing", "--t-erase", "100000"]  # 0.1 s an erase block


@pytest.mark.parametrize("moment", ["before the first block", "in the middle", "during the check"])
def test_interrupt(chip, moment):
    """SIGINT: the request in flight finishes, the install says how far it
    got and dies of the signal; the flash holds the old install or no table."""
    bench = chip.bench
    chip.restore()
    image = bench.tmp / "big.bin"
    image.write_bytes(BIG)
    if bench.log.exists():
        bench.log.unlink()
    stdin = subprocess.PIPE if moment == "before the first block" else subprocess.DEVNULL
    # The check's one flash read (the old table's first bytes) takes 2 s here.
    timing = ["--timing", "--t-read", "2000000"] if moment == "during the check" else SLOW_ERASE
    source = "-" if stdin == subprocess.PIPE else image
    process = subprocess.Popen(bench.command(G, ["-n", 15, "/dev/mtd3", source], [*BAD, *timing], fresh=False),
                               stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if moment == "before the first block":
        # Half of the first block, then a producer that stalls.
        process.stdin.write(BIG[:15 + 12 + 4500])
        process.stdin.flush()
        wait_for_log(bench.log, lambda requests: "MEMGETINFO" in requests, process)
        time.sleep(0.2)
    elif moment == "in the middle":
        wait_for_log(bench.log, lambda requests: requests.count("write") >= 3, process)
    else:  # the seek before the check's slow read
        wait_for_log(bench.log, lambda requests: "lseek" in requests, process)
    os.kill(child_of(process.pid), signal.SIGINT)
    out, err = process.communicate(timeout=60)
    if process.stdin:
        process.stdin.close()
    assert process.returncode == 128 + signal.SIGINT, err  # mtdsim: its command died of SIGINT
    requests = [line.split(" ", 1)[1] for line in bench.log.read_text().splitlines()]
    writes = [r for r in requests if r.startswith("write")]
    if moment == "in the middle":
        blocks = len(writes)
        assert 3 <= blocks < 13
        assert err.decode() == (header(BIG) + BAD_958 +
                                f"Interrupted after {blocks} image blocks: the flash holds no partition table\n")
        assert not chip.has_table()
    else:
        expected = header(BIG) if moment == "before the first block" else ""
        assert err.decode() == expected + "Interrupted before the flash was changed\n"
        assert writes == [] and not any(r.startswith("MEMERASE") for r in requests)
        assert bench.flash.read_bytes() == chip.saved[0]
        assert chip.holds(OLD)
    assert out.decode() == device_report(G)


def test_two_installs_at_once_on_one_device(chip):
    """Exactly one gets the device; the other says so and leaves the flash
    alone, and so does a look at the flash while the install runs."""
    bench = chip.bench
    chip.restore()
    images, logs, processes = [], [], []
    for name, fill in (("x", 0xD0), ("y", 0xE0)):
        image = bench.tmp / f"{name}.bin"
        image.write_bytes(bin_image(START, [(START + k * E, bytes([fill + k]) * 5000) for k in range(12)]))
        images.append(image)
        logs.append(bench.tmp / f"{name}.log")
    for image, log in zip(images, logs):
        command = bench.command(G, ["-n", 15, "/dev/mtd3", image], [*BAD, *SLOW_ERASE], fresh=False, log=log)
        processes.append(subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE))
    # While the winner erases its blocks, a look at the flash is refused too.
    for _ in range(3000):
        if any(log.exists() and "MEMERASE" in log.read_text() for log in logs):
            break
        time.sleep(0.01)
    show = chip.inspect("show", "/dev/mtd3")
    results = [(p.wait(timeout=120), p.stdout.read().decode(), p.stderr.read().decode()) for p in processes]
    winners = [k for k, (status, _, _) in enumerate(results) if status == 0]
    assert len(winners) == 1, results
    winner, loser = winners[0], 1 - winners[0]
    assert results[loser] == (1, "", "MTD device /dev/mtd3 is in use\n")
    assert [line.split(" ", 1)[1] for line in logs[loser].read_text().splitlines()] == [
        "open /dev/mtd3 -> 3", "flock LOCK_EX|LOCK_NB -> -1 EWOULDBLOCK", "close 3"]
    assert (show.status, show.err) == (1, "drimlet-inspect: /dev/mtd3 is in use: an install is running on it\n")
    assert chip.holds(images[winner].read_bytes())
