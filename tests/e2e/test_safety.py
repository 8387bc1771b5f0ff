"""A failed, interrupted or mistaken install never leaves the loader a
partition table that points at the wrong blocks: after any failure or power
cut the flash holds the old install intact, no partition table, or the
complete new install. Also the run's own robustness: closed standard
descriptors, a reader that goes away, non-blocking input, 4 GiB chips."""
import os
import subprocess
import time

import pytest

from conftest import INSPECT, MTDSIM, QEMU, DRIMLET, Geometry, device_report
from mkbin import bin_image
from test_install import START

G = Geometry(8 << 20, 128 << 10, 2048)
E = G.erase
IMAGE_A = bin_image(START, [(START + k * E, bytes([0xA0 + k]) * 3000) for k in range(4)])
IMAGE_B = bin_image(START, [(START + k * E + 100, bytes([0xB0 + k, k]) * 2000) for k in range(5)])
BAD = ["--bad", "54,29"]  # one inside the image area, one right after the partition table block


class Chip:
    """A flash file (and mtdsim's page state beside it) that tests put back."""

    def __init__(self, bench):
        self.bench = bench
        self.pages = bench.flash.with_name(bench.flash.name + ".pages")

    def save(self):
        return self.bench.flash.read_bytes(), self.pages.read_bytes()

    def restore(self, saved):
        self.bench.flash.write_bytes(saved[0])
        self.pages.write_bytes(saved[1])

    def install(self, image, sim_args=(), stdin=None):
        args = ["-n", 7, "/dev/mtd3", "-" if stdin is not None else "{image}"]
        return self.bench.run(G, args, image=None if stdin is not None else image, stdin=stdin,
                              sim_args=[*BAD, *sim_args], fresh=False)

    def inspect(self, *args, image=None):
        return self.bench.run(G, list(args), image=image, sim_args=BAD, fresh=False, program=INSPECT)

    def state(self):
        """'none', 'A', 'B', or a description of a table that fails verify."""
        show = self.inspect("show", "/dev/mtd3")
        if show.status != 0:
            assert "no valid partition table" in show.err or "no good erase block" in show.err, show.err
            return "none"
        for name, image in (("A", IMAGE_A), ("B", IMAGE_B)):
            if self.inspect("verify", "/dev/mtd3", "{image}", image=image).status == 0:
                return name
        return "a table that verifies against neither image:\n" + show.out


@pytest.fixture
def chip_with_a(bench):
    chip = Chip(bench)
    bench.flash.write_bytes(b"\xff" * G.size)
    if chip.pages.exists():
        chip.pages.unlink()
    first = chip.install(IMAGE_A)
    assert first.status == 0, first.err
    assert chip.state() == "A"
    return chip


# A worn chip: block 55 programs but does not read back, and block 28, the
# loader's, erases once more (the old table goes) and then no longer, so the
# run marks both bad and moves image block 1 and the partition table on.
WORN = ["--corrupt-write", "55", "--weak", "28:1"]


@pytest.mark.skipif(not os.path.exists(INSPECT), reason="drimlet-inspect not built")
@pytest.mark.parametrize("worn", [[], WORN], ids=["sound chip", "worn blocks"])
def test_power_cut_at_every_request_leaves_a_safe_state(chip_with_a, capsys, worn):
    """Every request is a cut point, the read-back's and the marks' too."""
    chip = chip_with_a
    with_a = chip.save()
    whole = chip.install(IMAGE_B, worn)
    assert whole.status == 0 and chip.state() == "B", whole.err
    assert whole.requests("MEMSETBADBLOCK") == (["MEMSETBADBLOCK 0x006e0000 -> 0", "MEMSETBADBLOCK 0x00380000 -> 0"]
                                                if worn else [])
    requests = [line.split()[:2] for line in whole.log if not line.startswith(("#0 ", "VIOLATION"))]
    cuts = [f"{index[1:]}" for index, request in requests if request != "close"]
    pages = E // G.page
    cuts += [f"{index[1:]}:{n}" for index, request in requests if request == "write"
             for n in (1, pages // 2, pages - 1)]
    seen, wrong = {}, []
    for cut in cuts:
        chip.restore(with_a)
        outcome = chip.install(IMAGE_B, [*worn, "--cut", cut])
        assert outcome.status == 137, f"cut {cut}: status {outcome.status}\n{outcome.err}"
        state = chip.state()
        seen[state] = seen.get(state, 0) + 1
        if state not in ("none", "A", "B"):
            wrong.append(f"cut at request {cut}: {state}")
    with capsys.disabled():
        print(f"\npower-cut matrix ({'worn' if worn else 'sound'}): {len(cuts)} cut points, states {seen}")
    assert wrong == []
    # The cuts reach every state: before the first erase, in between, at the end.
    assert seen.get("A", 0) and seen.get("none", 0)


FAILED_INSTALLS = [
    ("truncated from a pipe", IMAGE_B[:-3000], [], "none", "Incomplete data section!\n"),
    ("out of order after its first block", bin_image(START, [(START, b"\x01" * E), (START + 9, b"\x02")]),
     [], "none", "Record at 80200009 out of order!\n"),
    ("write failures up to the cap", IMAGE_B, ["--fail-write", "0-55"], "none",
     "Too many failing blocks: is the chip write-protected?\n"),
    ("write that makes no progress", IMAGE_B, ["--fault", "13:zero"], "none", "Write erase block failed\nNo progress\n"),
    ("bad signature: refused before any erase", b"N000FF\n" + IMAGE_B[7:], [], "A",
     "WinCE signature not found!\n"),
    ("no good block for the first image block", IMAGE_B, ["--bad", "2-56"], "A",
     "No good block left in the non-Filesystem partition!\n"),
    ("complete", IMAGE_B, [], "B", "Partition table written...\n"),
]


@pytest.mark.parametrize("name,image,sim_args,state,message", FAILED_INSTALLS, ids=[c[0] for c in FAILED_INSTALLS])
def test_failed_install_over_an_old_one(chip_with_a, name, image, sim_args, state, message):
    # The install streams the image from a pipe; so does the plan's.
    plan = chip_with_a.bench.run(G, ["plan", "-n", 7, "/dev/mtd3", "-"], stdin=image,
                                 sim_args=[*BAD, *sim_args], fresh=False, program=INSPECT)
    erased = "  old partition table at 0x00380000 (device block 28) would be erased before the first image block\n"
    assert (erased in plan.out) == (state != "A"), plan.out
    outcome = chip_with_a.install(image, sim_args, stdin=image)
    assert outcome.err.endswith(message), name
    assert outcome.status == (0 if state == "B" else 1), name
    assert chip_with_a.state() == state, name
    erased_old = any(r == "MEMERASE 0x00380000 0x00020000 -> 0" for r in outcome.requests())
    assert erased_old == (state != "A"), name


def run_with_descriptors(command, closed=(), nonblocking_stdin_from=None, stderr_reader_gone=False):
    """Runs `command` with some of its standard descriptors closed, standard
    input a non-blocking pipe fed slowly, or standard error a pipe nobody reads."""
    read_end, write_end = os.pipe()
    if stderr_reader_gone:
        os.close(read_end)

    def arrange():
        for fd in closed:
            os.close(fd)
        if stderr_reader_gone:
            os.dup2(write_end, 2)
            os.dup2(write_end, 1)

    stdin = subprocess.DEVNULL
    if nonblocking_stdin_from is not None:
        os.set_blocking(read_end, False)
        stdin = read_end
    child = subprocess.Popen(command, stdin=stdin, stdout=None if stderr_reader_gone else subprocess.PIPE,
                             stderr=None if stderr_reader_gone else subprocess.PIPE, preexec_fn=arrange)
    if nonblocking_stdin_from is not None:
        os.close(read_end)
        data = nonblocking_stdin_from
        for at in range(0, len(data), 50000):  # slower than drimlet reads
            os.write(write_end, data[at:at + 50000])
            time.sleep(0.02)
    os.close(write_end)
    out, err = child.communicate(timeout=120)
    return child.returncode, out, err


def mtdsim_command(bench, args, geometry=G, extra=()):
    return [MTDSIM, "--flash", str(bench.flash), "--size", str(geometry.size), "--erase", str(geometry.erase),
            "--page", str(geometry.page), "--fresh", *extra, *(["--qemu"] if QEMU else []), "--",
            *QEMU, DRIMLET, *map(str, args)]


def table_block_is_right(bench, blocks):
    """The partition table at block 28 lists `blocks` image blocks from 56 down."""
    flash = bench.flash.read_bytes()
    entries = b"".join(bytes([56 - k, 0]) for k in range(blocks)) + b"\0\0"
    return flash[28 * E:28 * E + 16] == b"VOLMERACONFIGBLK" and flash[28 * E + 28:].startswith(entries)


def test_closed_standard_error_never_reaches_the_flash(bench, tmp_path):
    image = tmp_path / "b.bin"
    image.write_bytes(IMAGE_B)
    status, out, _ = run_with_descriptors(mtdsim_command(bench, ["-n", 7, "/dev/mtd3", image]), closed=(2,))
    assert status == 0
    assert out.decode() == device_report(G)
    flash = bench.flash.read_bytes()
    assert flash[:E] == b"\xff" * E  # "Image base address..." once landed here
    assert table_block_is_right(bench, 5)


def test_reader_of_the_messages_going_away_does_not_stop_the_install(bench, tmp_path):
    image = tmp_path / "b.bin"
    image.write_bytes(IMAGE_B)
    status, _, _ = run_with_descriptors(mtdsim_command(bench, ["-n", 7, "/dev/mtd3", image]),
                                        stderr_reader_gone=True)
    assert status == 0  # not 141: SIGPIPE would have killed it before the partition table
    assert table_block_is_right(bench, 5)


def test_non_blocking_standard_input_is_waited_on(bench):
    big = bin_image(START, [(START + k * E, bytes([k + 1]) * E) for k in range(6)])
    status, _, err = run_with_descriptors(mtdsim_command(bench, ["-n", 7, "/dev/mtd3", "-"]),
                                          nonblocking_stdin_from=big)
    assert (status, err.decode().splitlines()[-1]) == (0, "Partition table written..."), err
    assert table_block_is_right(bench, 7)  # the end record closes a seventh, empty block


@pytest.mark.parametrize("size,report_kib", [(4 << 30, 0), (6 << 30, 2 << 20)])
def test_chip_of_4_gib_and_more(bench, tmp_path, size, report_kib):
    """MEMGETINFO's size wraps; the partition table search takes sysfs's.
    Everything below 0x80000000 from 3.5 MiB up is bad, so on the 6 GiB chip
    the table lands where the wrapped size would have ended the search."""
    geometry = Geometry(size, 128 << 10, 2048)
    image = tmp_path / "b.bin"
    image.write_bytes(IMAGE_B)
    bad = ["--bad", "28-16383"] if size > 4 << 30 else []
    command = mtdsim_command(bench, ["-n", 3, "/dev/mtd3", image], geometry, bad)
    done = subprocess.run(command, capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr.decode()[-500:]
    assert done.stdout.decode().splitlines()[1] == f"MTD total size: {report_kib} kilobytes"
    table_at = 0x380000 if size == 4 << 30 else 0x80000000
    with open(bench.flash, "rb") as flash:
        flash.seek(table_at)
        assert flash.read(16) == b"VOLMERACONFIGBLK"
    # drimlet-inspect finds it too: on the device, and in the file read as a dump.
    device = command[:command.index("--") + 1] + [*QEMU, INSPECT, "show", "/dev/mtd3"]
    device.remove("--fresh")
    dump = [*QEMU, INSPECT, "--erase", "128K", "--page", "2K", *(["--bad", "28-16383"] if bad else []),
            "show", str(bench.flash)]
    for show in (device, dump):
        done = subprocess.run(show, capture_output=True, timeout=300)
        assert done.returncode == 0, done.stderr.decode()[-500:]
        assert done.stdout.decode().startswith(f"partition table at 0x{table_at:08x}")


def test_one_log_of_both_streams_keeps_the_order_of_events(bench, tmp_path):
    """The device report comes before the first progress line even when both
    streams go to one pipe (standard output is then fully buffered)."""
    image = tmp_path / "b.bin"
    image.write_bytes(IMAGE_B)
    done = subprocess.run(mtdsim_command(bench, ["-n", 7, "/dev/mtd3", image]), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=120)
    assert done.returncode == 0
    assert done.stdout.decode().startswith(device_report(G) + "Image base address")


@pytest.mark.parametrize("source", ["pipe", "file", "file past a header"])
def test_bytes_after_the_end_record_stay_unread_on_shared_input(bench, tmp_path, source):
    """A script that feeds several things through one standard input gets
    back every byte after the image's end record. From a file, the check
    before writing reads from where the script left the file offset."""
    trailer = b"next image follows\n" * 5000
    install = " ".join(map(str, mtdsim_command(bench, ["-n", 7, "/dev/mtd3", "-"])))
    script = f"{install} >/dev/null 2>&1; echo status $?; cat"
    if source == "file past a header":
        script = f"dd bs=100 count=1 of=/dev/null status=none; {script}"
    if source != "pipe":
        data = tmp_path / "both.bin"
        data.write_bytes((b"h" * 100 if source == "file past a header" else b"") + IMAGE_B + trailer)
        with open(data, "rb") as stdin:
            done = subprocess.run(["sh", "-c", script], stdin=stdin, capture_output=True, timeout=120)
    else:
        done = subprocess.run(["sh", "-c", script], input=IMAGE_B + trailer, capture_output=True, timeout=120)
    assert done.stdout == b"status 0\n" + trailer
    assert table_block_is_right(bench, 5)
