"""The simulated NAND itself must behave like the kernel's NAND stack, or the
installs above prove nothing. A Python child drives it directly; drimlet
drives it where an install shows the behaviour best."""
import os
import random
import shutil
import struct
import subprocess
import textwrap

import pytest

from conftest import MTDSIM, QEMU, Bench, Geometry
from mkbin import bin_image
from test_install import START, expectation

host_only = pytest.mark.skipif(bool(QEMU), reason="drives the host's preload library from a host Python")

PROBE = textwrap.dedent("""
    import errno, fcntl, os, struct, sys
    MEMGETINFO, MEMERASE, MEMUNLOCK, MEMGETBADBLOCK = 0x80204D01, 0x40084D02, 0x40084D06, 0x40084D0B
    MEMERASE64, ECCGETSTATS, MEMSETBADBLOCK = 0x40104D14, 0x80104D12, 0x40084D0C
    fd = os.open(os.environ.get("PROBE_DEVICE", "/dev/mtd7"), os.O_RDWR)
    def call(name, request, arg):
        try:
            buffer = bytearray(arg)
            result = fcntl.ioctl(fd, request, buffer, True)
            print(name, "ok", buffer.hex() if name in ("info", "stats") else result)
        except OSError as e:
            print(name, "errno", e.errno)
    def erase(start, length):
        call("erase", MEMERASE, struct.pack("<II", start, length))
    def write(at, data):
        try:
            os.lseek(fd, at, 0)
            print("write", os.write(fd, data))
        except OSError as e:
            print("write errno", e.errno)
    def pwrite(at, data):
        try:
            print("pwrite", os.pwrite(fd, data, at))
        except OSError as e:
            print("pwrite errno", e.errno)
    def pread(at, count):
        try:
            data = os.pread(fd, count, at)
            print("pread", len(data), data[:8].hex())
        except OSError as e:
            print("pread errno", e.errno)
    def stats():
        buffer = bytearray(16)
        fcntl.ioctl(fd, ECCGETSTATS, buffer, True)
        return struct.unpack("<4I", buffer)
    exec(sys.argv[1])
""")


def drive(tmp_path, body, *sim_args, fresh=True, size="1M", env=None):
    """Runs the probe under mtdsim on tmp_path/f: (status, stdout lines,
    stderr, log lines without their index)."""
    log = tmp_path / "log"
    log.unlink(missing_ok=True)
    command = [MTDSIM, "--flash", str(tmp_path / "f"), "--size", size, "--erase", "64K", "--page", "2K",
               "--log", str(log), *(["--fresh"] if fresh else []), *map(str, sim_args), "--",
               "/usr/bin/python3", "-c", PROBE, textwrap.dedent(body)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=60, env={**os.environ, **(env or {})})
    lines = log.read_text().splitlines() if log.exists() else []
    return done.returncode, done.stdout.splitlines(), done.stderr, [l.split(" ", 1)[1] for l in lines]


def probe(tmp_path, body, *sim_args):
    status, out, err, _ = drive(tmp_path, body, *sim_args)
    return status, out, err, (tmp_path / "f").read_bytes()


@host_only
def test_geometry_bad_blocks_and_unlock(tmp_path):
    status, out, _, _ = probe(tmp_path, """
        call("info", MEMGETINFO, bytes(32))
        for where in (0, 3 * 65536, 1 << 20, 5, 3 * 65536 + 2048, -1):
            call("bad", MEMGETBADBLOCK, struct.pack("<q", where))
        call("unlock", MEMUNLOCK, struct.pack("<II", 0, 65536))
    """, "--bad", "3")
    assert status == 0
    info = bytes.fromhex(out[0].split()[2])
    assert struct.unpack("<BxxxIIII", info[:20]) == (4, 0x400, 1 << 20, 65536, 2048)
    # Like the kernel, an offset inside a block asks about that block.
    assert out[1:] == ["bad ok 0", "bad ok 1", "bad errno 22", "bad ok 0", "bad ok 1", "bad errno 22",
                       "unlock errno 524"]


@host_only
def test_erase_and_write_must_be_aligned_and_inside(tmp_path):
    status, out, err, _ = probe(tmp_path, """
        erase(4096, 65536); erase(0, 100); erase(15 * 65536, 2 * 65536); erase(2 * 65536, 65536)
        write(100, b"x" * 2048); write(0, b"x" * 100); write((1 << 20) - 2048, b"x" * 4096)
        os.lseek(fd, 0, 0)
        try:
            os.lseek(fd, (1 << 20) + 1, 0)
        except OSError as e:
            print("lseek errno", e.errno)
    """, "--bad", "2")
    assert out == ["erase errno 22"] * 3 + ["erase errno 5"] + ["write errno 22"] * 3 + ["lseek errno 22"]
    assert status == 99 and err.count("mtdsim:   ") == 6


@host_only
def test_programming_a_page_twice_is_a_violation_and_ands_the_bits(tmp_path):
    status, out, err, flash = probe(tmp_path, """
        write(0, b"\\x0f" * 2048); write(0, b"\\xf3" * 2048)
        erase(65536, 65536); write(65536, b"\\x0f" * 2048)
    """)
    assert out == ["write 2048", "write 2048", "erase ok 0", "write 2048"]
    assert status == 99 and "program of page at 0x00000000 that is not erased" in err
    assert flash[:2048] == b"\x03" * 2048 and flash[65536:65536 + 2048] == b"\x0f" * 2048
    assert flash[2048:65536] == b"\xff" * (65536 - 2048)


@host_only
def test_injected_faults(tmp_path):
    status, out, _, _ = probe(tmp_path, """
        write(0, b"a" * 8192)              # requests 1 (lseek) and 2 (write, short)
        write(8192, b"b" * 2048)           # 3, 4: eintr
        erase(65536, 65536)                # 5: failing block
        write(2 * 65536, b"c" * 2048)      # 6, 7: failing block
    """, "--fault", "2:short,4:eintr", "--fail-erase", "1", "--fail-write", "2", "--log", tmp_path / "log")
    # Python retries the interrupted write by itself; the log shows the EINTR.
    assert out == ["write 4096", "write 2048", "erase errno 5", "write errno 5"]
    assert "#4 write 0x00002000 2048 -> -1 EINTR" in (tmp_path / "log").read_text()
    assert status == 0


MARK = 'call("mark", MEMSETBADBLOCK, struct.pack("<q", {}))'
QUERY = 'call("bad", MEMGETBADBLOCK, struct.pack("<q", {}))'


@host_only
@pytest.mark.parametrize("runs", [
    pytest.param([((), f"{MARK.format('3 * 65536 + 5')}; {QUERY.format('3 * 65536')}; erase(3 * 65536, 65536)"
                   "; print(*stats())", ["mark ok 0", "bad ok 1", "erase errno 5", "0 0 1 0"]),
                  ((), f"{MARK.format('3 * 65536')}; {QUERY.format('3 * 65536')}; print(*stats())",
                   ["mark ok 0", "bad ok 1", "0 0 1 0"]),
                  (("--fresh",), QUERY.format("3 * 65536"), ["bad ok 0"])],
                 id="a mark holds for later requests and runs, and goes with a new chip"),
    pytest.param([(("--bad", "2"), f"{MARK.format('2 * 65536')}; print(*stats())", ["mark ok 0", "0 0 1 0"])],
                 id="marking a bad block changes nothing"),
    pytest.param([((), f"{MARK.format('1 << 20')}; {MARK.format(-1)}", ["mark errno 22", "mark errno 22"])],
                 id="outside the chip: EINVAL"),
    pytest.param([(("--type", "3"), f"{MARK.format(0)}; {MARK.format('1 << 20')}",
                   ["mark errno 95", "mark errno 95"])], id="NOR has no bad blocks: EOPNOTSUPP first"),
    pytest.param([((), "fd = os.open('/dev/mtd7', os.O_RDONLY); " + MARK.format(0), ["mark errno 1"])],
                 id="read-only descriptor: EPERM"),
    pytest.param([(("--fail-markbad", "2"), f"{MARK.format('2 * 65536')}; {QUERY.format('2 * 65536')}",
                   ["mark errno 5", "bad ok 0"])], id="--fail-markbad"),
    pytest.param([(("--weak", "1:2"), "for _ in range(4): erase(65536, 65536)",
                   ["erase ok 0", "erase ok 0", "erase errno 5", "erase errno 5"]),
                  (("--weak", "1:0"), "erase(65536, 65536)", ["erase errno 5"])],
                 id="--weak: N more erases, then none"),
    pytest.param([(("--weak-page", "34:1"), "pwrite(65536, bytes(8192)); erase(65536, 65536); "
                   "pwrite(65536, bytes(8192)); pread(65536, 8192)",
                   ["pwrite 8192", "erase ok 0", "pwrite errno 5", "pread 8192 0000000000000000"])],
                 id="--weak-page: N more programs, then EIO after the pages before it"),
    pytest.param([(("--corrupt-write", "1"), "pwrite(65536, b'\\x22' * 4096); pread(65536, 4096); "
                   "pwrite(0, b'\\x22' * 2048); pread(0, 8)",
                   ["pwrite 4096", "pread 4096 2322222222222222", "pwrite 2048", "pread 8 2222222222222222"])],
                 id="--corrupt-write: success reported, one bit wrong"),
    pytest.param([(("--corrupt-write", "1:0x1000"), "pwrite(65536, b'\\x22' * 2048); pread(65536, 8); "
                   "pwrite(65536 + 4096, b'\\x22' * 4096); pread(65536 + 4096, 8); pread(65536 + 6144, 8)",
                   ["pwrite 2048", "pread 8 2222222222222222", "pwrite 4096", "pread 8 2322222222222222",
                    "pread 8 2222222222222222"])],
                 id="--corrupt-write B:OFFSET: only the byte at OFFSET, by the write that programs it"),
    pytest.param([(("--stray-write", "1:0x8000,2"), "pwrite(65536, b'\\x22' * 2048); pread(65536 + 0x7ffe, 4); "
                   "pwrite(2 * 65536, b'\\x22' * 2048); pread(3 * 65536 - 4, 4); pread(2 * 65536, 4)",
                   ["pwrite 2048", "pread 4 ffff00ff", "pwrite 2048", "pread 4 ffffff00", "pread 4 22222222"])],
                 id="--stray-write B[:OFFSET]: a stray byte elsewhere in the block, the last by default"),
    pytest.param([(("--ecc-fail-written", "1"), "pread(65536, 4096); print(*stats()); "
                   "pwrite(65536, bytes(2048)); pread(65536, 4096); print(*stats()); "
                   "erase(65536, 65536); pread(65536, 4096); print(*stats())",
                   ["pread 4096 ffffffffffffffff", "0 0 0 0", "pwrite 2048", "pread 4096 0000000000000000",
                    "0 1 0 0", "erase ok 0", "pread 4096 ffffffffffffffff", "0 1 0 0"])],
                 id="--ecc-fail-written: programmed pages read back uncorrectable, data returned"),
])
def test_bad_block_marks_and_wear(tmp_path, runs):
    for number, (options, body, expected) in enumerate(runs):
        status, out, err, _ = drive(tmp_path, body, *options, fresh=number == 0)
        assert (status, out) == (0, expected), err


@host_only
def test_duplicated_descriptors_stay_the_device(tmp_path):
    """dd moves its output onto descriptor 1 with dup2: writing the same
    place twice without an erase must still be caught."""
    data = tmp_path / "data"
    data.write_bytes(bytes(range(256)) * 512)
    command = [MTDSIM, "--flash", str(tmp_path / "f"), "--size", "1M", "--erase", "64K", "--page", "2K",
               "--log", str(tmp_path / "log"), "--", "dd", f"if={data}", "of=/dev/mtd0", "bs=64K",
               "conv=notrunc", "status=none"]
    first = subprocess.run(command + ["seek=2"], capture_output=True, text=True)
    assert first.returncode == 0, first.stderr
    again = subprocess.run(command + ["seek=3"], capture_output=True, text=True)
    assert again.returncode == 99 and "not erased" in again.stderr
    assert "#2 write 0x00020000 65536 -> 65536" in (tmp_path / "log").read_text()


# Power cuts, driven by drimlet reinstalling over an older image: the flash
# must hold exactly what the requests before the cut (and the first PAGES
# pages of a cut write) made of it, and installing again must then succeed.
G = Geometry(8 << 20, 128 << 10, 2048)
IMAGE_A = bin_image(START, [(START + k * G.erase, bytes([0xA0 + k]) * 5000) for k in range(4)])
IMAGE_B = bin_image(START, [(START + k * G.erase + 64, bytes([0xB0 + k, k]) * 40000) for k in range(3)])
INSTALL = ["-n", 7, "/dev/mtd3", "{image}"]


@pytest.fixture(scope="module")
def reinstall(tmp_path_factory):
    """Flash holding image A, the same after image B went over it, and B's requests as (index, text)."""
    bench = Bench(tmp_path_factory.mktemp("reinstall"))
    a = bench.run(G, INSTALL, image=IMAGE_A)
    b = bench.run(G, INSTALL, image=IMAGE_B, fresh=False)
    assert (a.status, b.status) == (0, 0), a.err + b.err
    requests = [(int(line.split()[0][1:]), line.split(" ", 1)[1]) for line in b.log if not line.startswith("#0 ")]
    return a.flash, b.flash, requests


def replay(before, after, requests, cut, pages):
    """The flash after a cut at request `cut`: erases and writes before it
    applied (a write's bytes are what the full install left there), and the
    first `pages` pages of a cut write."""
    flash = bytearray(before)
    for index, text in requests:
        words = text.split()
        at = int(words[1], 16) if len(words) > 1 and words[1].startswith("0x") else 0
        if index == cut:
            if words[0] == "write":
                flash[at:at + pages * G.page] = after[at:at + pages * G.page]
            return bytes(flash)
        if words[0] == "MEMERASE" and words[-1] == "0":
            flash[at:at + int(words[2], 16)] = b"\xff" * int(words[2], 16)
        elif words[0] == "write":
            flash[at:at + int(words[2])] = after[at:at + int(words[2])]
    raise AssertionError(f"request {cut} never made")


@pytest.mark.parametrize("name,occurrence,pages", [
    ("MEMGETBADBLOCK", 0, None),
    ("MEMERASE", 0, None),
    ("MEMERASE", 2, None),
    ("write", 0, 0),
    ("write", 1, 17),
    ("write", 2, 64),   # every page of the block programmed, killed before write() returns
    ("write", -1, 1),   # the partition table page
    ("lseek", -1, None),
])
def test_power_cut_leaves_the_chip_as_it_was_at_that_request(tmp_path, reinstall, name, occurrence, pages):
    before, after, requests = reinstall
    cut = [index for index, text in requests if text.split()[0] == name][occurrence]
    bench = Bench(tmp_path)
    assert bench.run(G, INSTALL, image=IMAGE_A).status == 0
    outcome = bench.run(G, INSTALL, image=IMAGE_B, fresh=False,
                        sim_args=["--cut", f"{cut}" if pages is None else f"{cut}:{pages}"])
    assert outcome.status == 128 + 9, outcome.err
    assert f"mtdsim: power cut at request {cut}: {name}" in outcome.err
    assert outcome.log[-1].startswith(f"#{cut} cut {name}")
    assert outcome.flash == replay(before, after, requests, cut, pages or 0)
    # The board boots again and the install is simply run once more.
    again = bench.run(G, INSTALL, image=IMAGE_B, fresh=False)
    assert again.status == 0, again.err
    assert again.flash == after


@host_only
@pytest.mark.parametrize("cut,status,last,page0", [
    ("1", 137, "cut read 0x00000000 16", b"\xff"),
    ("2", 137, "cut ECCGETSTATS", b"\xff"),
    ("3", 137, "cut pwrite 0x00000000 4096", b"\xff"),
    ("3:0", 137, "cut pwrite 0x00000000 4096 after 0 pages", b"\xff"),
    ("3:1", 137, "cut pwrite 0x00000000 4096 after 1 pages", b"\x00"),
    ("4", 0, "pwrite 0x00000000 4096 -> 4096", b"\x00"),  # there is no request 4: no cut
])
def test_reads_and_ecc_queries_are_requests_a_cut_can_stop_at(tmp_path, cut, status, last, page0):
    code, _, err, log = drive(tmp_path, 'os.pread(fd, 16, 0); stats(); pwrite(0, bytes(4096))', "--cut", cut)
    flash = (tmp_path / "f").read_bytes()
    assert (code, log[-1], flash[:1], flash[2048:2049]) == (status, last, page0, b"\xff" if ":" in cut else flash[:1])
    assert ("mtdsim: power cut at request" in err) == (status == 137)


@host_only
@pytest.mark.parametrize("steps", [
    # (between runs, probe body, mtdsim options, status, pages reported as not erased)
    pytest.param([(None, 'pwrite(0, b"\\xff" * 2048)', (), 0, []),
                  (None, 'pwrite(0, bytes(2048))', (), 99, [0])], id="all-0xFF program remembered"),
    pytest.param([(None, 'pwrite(0, b"\\xff" * 2048)', (), 0, []),
                  (None, 'erase(0, 65536); pwrite(0, bytes(2048))', (), 0, [])], id="erase forgets"),
    pytest.param([(None, 'pwrite(0, b"\\xff" * 2048)', (), 0, []),
                  (None, 'pwrite(0, bytes(2048))', ("--fresh",), 0, [])], id="fresh forgets"),
    pytest.param([(None, 'pwrite(0, b"\\xff" * 2048); pwrite(2048, b"\\x5a" * 2048)', (), 0, []),
                  ("drop", 'pwrite(0, bytes(2048)); pwrite(2048, bytes(2048))', (), 99, [2048])],
                 id="without FLASH.pages the contents are the guess"),
    pytest.param([(None, 'pwrite(0, b"\\xff" * 2048)', (), 0, []),
                  ("rewrite", 'pwrite(0, bytes(2048))', (), 0, [])], id="flash file changed since: guess again"),
    pytest.param([(None, 'pwrite(0, b"\\x11" * 8 * 2048)', ("--cut", "1:3"), 137, []),
                  (None, 'pwrite(2 * 2048, bytes(2048)); pwrite(3 * 2048, bytes(2048))', (), 99, [2 * 2048])],
                 id="pages programmed before a power cut stay programmed"),
])
def test_programmed_pages_are_tracked_across_runs(tmp_path, steps):
    flash, pages = tmp_path / "f", tmp_path / "f.pages"
    for number, (between, body, options, status, not_erased) in enumerate(steps):
        if between == "drop":
            pages.unlink()
        elif between == "rewrite":
            flash.write_bytes(flash.read_bytes())
        code, _, err, _ = drive(tmp_path, body, *options, fresh=number == 0)
        reported = [int(line.split("page at ")[1].split()[0], 16) for line in err.splitlines()
                    if "not erased" in line]
        assert (code, reported) == (status, not_erased), err
        assert pages.exists()


@host_only
@pytest.mark.parametrize("options,result,programmed", [
    (("--fail-page", "35"), "-> -1 EIO after 3 pages", 3),
    (("--fail-page", "32"), "-> -1 EIO after 0 pages", 0),
    (("--fail-page", "30-33,90"), "-> -1 EIO after 0 pages", 0),
    (("--fail-page", "47"), "-> -1 EIO after 15 pages", 15),
    (("--fail-write", "1"), "-> -1 EIO", 0),       # the whole write, before any page
    (("--fail-page", "48"), "-> 32768", 16),       # past the write: no effect
])
def test_failed_write_keeps_the_pages_before_the_failing_one(tmp_path, options, result, programmed):
    """Like nandsim's weak pages under mtdchar: EIO, with the pages before
    the failing one programmed (and so not programmable again)."""
    status, out, err, log = drive(tmp_path, 'pwrite(65536, b"\\x22" * 16 * 2048); pwrite(65536, b"\\x33" * 2048)',
                                  *options)
    flash = (tmp_path / "f").read_bytes()
    assert log[1] == "pwrite 0x00010000 32768 " + result
    assert out[0] == ("pwrite 32768" if programmed == 16 else "pwrite errno 5")
    block = flash[65536:2 * 65536]
    expected = (b"\x22" * 2048 * programmed).ljust(65536, b"\xff")
    if programmed:  # the second write went over a programmed page: ANDed in, and a violation
        expected = bytes([0x22 & 0x33]) * 2048 + expected[2048:]
    assert block == expected
    assert status == (99 if programmed else 0), err


@host_only
def test_descriptors_above_1023_stay_the_device_until_reused(tmp_path):
    plain = tmp_path / "plain"
    status, out, err, log = drive(tmp_path, f"""
        os.dup2(fd, 1500); os.close(fd)
        print(os.pwrite(1500, b"\\x44" * 2048, 0), os.pread(1500, 4, 0).hex())
        st = os.fstat(1500); print(os.major(st.st_rdev), os.minor(st.st_rdev))
        other = os.open("{plain}", os.O_RDWR | os.O_CREAT)
        os.dup2(1500, 2000)
        os.dup2(other, 1500)                 # 1500 is a plain file from now on
        os.pwrite(1500, b"plain", 0)
        print(os.pwrite(2000, bytes(2048), 2048))
        os.close(2000)
        os.dup2(other, 2000); os.pwrite(2000, b"again", 5)
        device = os.open("/dev/mtd7", os.O_RDWR)
        os.closerange(device, device + 1)    # close_range: not seen by the simulator
        again = os.open("{plain}", os.O_RDWR)
        print(again == device); os.pwrite(again, b"third", 10)
    """)
    assert status == 0, err
    assert out == ["2048 44444444", "90 14", "2048", "True"]
    assert plain.read_bytes() == b"plainagainthird"
    assert [l for l in log if l.startswith(("pwrite", "read", "dup", "close"))] == [
        "dup 3 -> 1500", "close 3", "pwrite 0x00000000 2048 -> 2048", "read 0x00000000 4 -> 4",
        "dup 1500 -> 2000", "pwrite 0x00000800 2048 -> 2048", "close 2000"]


@host_only
@pytest.mark.parametrize("body,out,logged", [
    ("pread(4096, 8)", ["pread 8 5a5a5a5a5a5a5a5a"], ["read 0x00001000 8 -> 8"]),
    ("pread(4096 + 2046, 4)", ["pread 4 5a5affff"], ["read 0x000017fe 4 -> 4"]),
    ("os.lseek(fd, 4094, 0); print(os.read(fd, 4).hex(), os.read(fd, 2).hex())", ["ffff5a5a 5a5a"],
     ["lseek 0x00000ffe 0 -> 0x00000ffe", "read 0x00000ffe 4 -> 4", "read 0x00001002 2 -> 2"]),
    ("pread((1 << 20) - 2, 8)", ["pread 2 ffff"], ["read 0x000ffffe 8 -> 2"]),
    ("pread(1 << 20, 8)", ["pread 0 "], ["read 0x00100000 8 -> 0"]),
    ("pread((1 << 20) + 5, 8)", ["pread 0 "], ["read 0x00100005 8 -> 0"]),
    ("os.lseek(fd, 0, 2); print(len(os.read(fd, 8)))", ["0"], ["lseek 0x00000000 2 -> 0x00100000",
                                                            "read 0x00100000 8 -> 0"]),
    ("pread(-1, 8)", ["pread errno 22"], ["read 0xffffffffffffffff 8 -> -1 EINVAL"]),
])
def test_reads_return_the_flash_as_mtdchar_does(tmp_path, body, out, logged):
    status, lines, err, log = drive(tmp_path, "pwrite(4096, b'\\x5a' * 2048)\n" + body)
    assert status == 0, err
    assert lines[1:] == out
    assert log[2:] == logged


@host_only
@pytest.mark.parametrize("kind,out,logged", [
    ("eio", "pread errno 5", "read 0x00000000 8192 -> -1 EIO"),
    ("eintr", "pread 8192 5a5a5a5a5a5a5a5a", "read 0x00000000 8192 -> -1 EINTR"),  # Python retries by itself
    ("short", "pread 4096 5a5a5a5a5a5a5a5a", "read 0x00000000 8192 -> 4096"),
    ("zero", "pread 0 ", "read 0x00000000 8192 -> 0"),
    ("einval", "pread errno 22", "read 0x00000000 8192 -> -1 EINVAL"),
    ("enomem", "pread errno 12", "read 0x00000000 8192 -> -1 ENOMEM"),
    ("efault", "pread errno 14", "read 0x00000000 8192 -> -1 EFAULT"),
    ("ecc", "pread 8192 5a5a5a5a5a5a5a5a", "read 0x00000000 8192 -> 8192 ecc-failures 1"),
])
def test_injected_faults_reach_reads(tmp_path, kind, out, logged):
    status, lines, err, log = drive(tmp_path, "pwrite(0, b'\\x5a' * 8192); pread(0, 8192)", "--fault", f"2:{kind}")
    assert status == 0, err
    assert (lines[1], log[2]) == (out, logged)


@host_only
@pytest.mark.parametrize("options,body,stats", [
    (("--bitflips", "1"), "pread(65536, 2048)", (1, 0, 0)),
    (("--bitflips", "1:3,4-5:2"), "pread(65536, 4096); pread(5 * 65536 - 2048, 4096)", (10, 0, 0)),
    (("--ecc-fail", "2"), "pread(2 * 65536 + 100, 3000)", (0, 2, 0)),
    (("--ecc-fail", "0", "--bitflips", "0:5"), "pwrite(0, b'\\x66' * 2048); pread(0, 8)", (5, 1, 0)),
    (("--bad", "3,7-9,900", "--bitflips", "3"), "pread(0, 2048)", (0, 0, 4)),
])
def test_ecc_statistics_count_and_reads_still_return_the_data(tmp_path, options, body, stats):
    status, out, err, _ = drive(tmp_path, body + "\n" + textwrap.dedent("""
        print(*stats())
        print(*(open("/sys/class/mtd/mtd7/" + name).read().strip()
                for name in ("corrected_bits", "ecc_failures", "bad_blocks", "bbt_blocks")))
    """), *options)
    assert status == 0, err
    assert out[-2] == out[-1] == " ".join(map(str, stats + (0,)))
    assert not any("errno" in line for line in out[:-2])  # no read failed for its ECC events
    if "66" in body:
        assert out[1] == "pread 8 6666666666666666"


@host_only
@pytest.mark.parametrize("size,device,number", [
    (128 << 20, "/dev/mtd3", 3),
    (4 << 30, "/dev/mtd0", 0),
    (6 << 30, "/dev/mtd12", 12),
    (6 << 30, "/run/chip", 0),   # not a /dev/mtdN path: number 0
])
def test_large_chips_report_their_size_as_the_kernel_does(tmp_path, size, device, number):
    top = size - 65536
    status, out, err, log = drive(tmp_path, f"""
        call("info", MEMGETINFO, bytes(32))
        print(open("/sys/class/mtd/mtd{number}/size").read(), end="")
        st = os.stat("{device}"); print(os.major(st.st_rdev), os.minor(st.st_rdev))
        call("erase", MEMERASE64, struct.pack("<QQ", {top}, 65536))
        pwrite({top}, b"\\x77" * 2048)
        pread({top} + 2044, 8)
    """, "--device", device, size=str(size), env={"PROBE_DEVICE": device})
    assert status == 0, err
    info = bytes.fromhex(out[0].split()[2])
    assert struct.unpack("<I", info[8:12])[0] == size & 0xFFFFFFFF  # 4 GiB reads 0, 6 GiB 2 GiB
    assert out[1:] == [str(size), f"90 {2 * number}", "erase ok 0", "pwrite 2048", "pread 8 77777777ffffffff"]
    on_disk = os.stat(tmp_path / "f").st_blocks * 512
    assert on_disk < (1 << 20) if size >= 4 << 30 else on_disk >= size


@host_only
@pytest.mark.parametrize("device,path,answered", [
    ("/dev/mtd5", "/sys/class/mtd/mtd5/size", "1048576"),
    ("/dev/mtd5", "/sys/class/mtd/mtd5/dev", "90:10"),
    ("/dev/mtd5", "/sys/class/mtd/mtd5/type", "nand"),
    ("/dev/mtd5", "/sys/class/mtd/mtd4/size", None),
    ("/dev/mtd5", "/sys/class/mtd/mtd5/no_such_attribute", None),
    ("/dev/mtd5", "/sys/class/mtd/mtd5ro/size", None),
    (None, "/sys/class/mtd/mtd9/erasesize", "65536"),
    (None, "/sys/class/mtd/mtd9/size/x", None),
])
def test_sysfs_answers_only_for_the_simulated_device(tmp_path, device, path, answered):
    status, out, err, _ = drive(tmp_path, f"""
        try:
            print(open("{path}").read(), end="")
        except OSError as e:
            print("errno", e.errno)
    """, *(("--device", device) if device else ()), env={"PROBE_DEVICE": device or "/dev/mtd9"})
    assert status == 0, err
    assert out == [answered or "errno 2"]


def test_more_than_256_bad_blocks_and_ranges_are_all_bad(bench):
    """An install below 283 bad blocks: every one is skipped, however the list is written."""
    geometry = Geometry(16 << 20, 16 << 10, 512)
    records = [(START + k * geometry.erase, bytes([k + 1]) * 3000) for k in range(3)]
    bad = list(range(512, 229, -1))
    err, flash, placed, _ = expectation(geometry, 8, bad, records)
    assert placed == [229, 228, 227]
    for spelling in (",".join(map(str, bad)), "230-512", "300-512,230,231-299,400-410"):
        outcome = bench.run(geometry, ["-n", 8, "/dev/mtd3", "{image}"], image=bin_image(START, records),
                            sim_args=["--bad", spelling])
        assert (outcome.status, outcome.err) == (0, err)
        assert outcome.flash == flash


STATIC_C = '#include <stdio.h>\nint main(int c, char **v) { FILE *f = fopen(v[1], "w"); return f ? 0 : 1; }\n'


def static_program(tmp_path, compiler):
    if not shutil.which(compiler):
        pytest.skip(f"no {compiler}")
    source, program = tmp_path / "ran.c", tmp_path / f"ran-{compiler}"
    source.write_text(STATIC_C)
    if subprocess.run([compiler, "-static", "-o", program, source], capture_output=True).returncode != 0:
        pytest.skip(f"{compiler} cannot link statically")
    return str(program)


@host_only
@pytest.mark.parametrize("case", ["dynamic", "static", "script", "other architecture", "qemu static",
                                  "library not announcing itself"])
def test_programs_the_library_cannot_enter_are_refused(tmp_path, case):
    marker = tmp_path / "ran"
    env, qemu = dict(os.environ), []
    command = ["/usr/bin/python3", "-c", f"open('{marker}', 'w')"]
    if case == "static":
        command = [static_program(tmp_path, "cc"), str(marker)]
    elif case == "script":
        script, interpreter = tmp_path / "script", static_program(tmp_path, "cc")
        script.write_text(f"#!{interpreter}\n")
        script.chmod(0o755)
        command = [str(script), str(marker)]  # the interpreter gets the script, then the marker: it never runs
    elif case == "other architecture":
        arm_libc = "/usr/arm-linux-gnueabihf/lib/libc.so.6"
        if not os.path.exists(arm_libc):
            pytest.skip("no ARM library to hand over")
        env["MTDSIM_LIBRARY"] = arm_libc
    elif case == "qemu static":
        if not shutil.which("qemu-arm"):
            pytest.skip("no qemu-arm")
        qemu = ["--qemu"]
        command = ["qemu-arm", "-L", "/usr/arm-linux-gnueabihf", static_program(tmp_path, "arm-linux-gnueabihf-gcc"),
                   str(marker)]
    elif case == "library not announcing itself":
        env["MTDSIM_LIBRARY"] = next(p for p in ("/lib/x86_64-linux-gnu/libm.so.6", "/usr/lib/x86_64-linux-gnu/libm.so.6",
                                                 "/lib64/libm.so.6") if os.path.exists(p))
    done = subprocess.run([MTDSIM, "--flash", str(tmp_path / "f"), "--size", "1M", "--erase", "64K", "--page", "2K",
                           *qemu, "--", *command], capture_output=True, text=True, env=env, timeout=60)
    expected = {"dynamic": (0, True, ""),
                "static": (97, False, "is statically linked: the preload library cannot simulate its device requests"),
                "script": (97, False, f"script (run by {command[0][:-6]}ran-cc) is statically linked"),
                "other architecture": (97, False, "is a 64-bit x86-64 program and the preload library"),
                "qemu static": (97, False, "is statically linked"),
                "library not announcing itself": (98, True, "did not load into /usr/bin/python3: its device requests "
                                                            "were not simulated")}[case]
    assert (done.returncode, marker.exists()) == expected[:2], done.stderr
    assert expected[2] in done.stderr


@host_only
@pytest.mark.parametrize("options,body,logged", [
    (("--timing",), "pwrite(0, bytes(3 * 2048))", "pwrite 0x00000000 6144 -> 6144 busy 900"),
    (("--timing",), "erase(0, 2 * 65536)", "MEMERASE 0x00000000 0x00020000 -> 0 busy 4000"),
    (("--timing",), "pread(2047, 2)", "read 0x000007ff 2 -> 2 busy 50"),
    (("--t-prog", "120"), "pwrite(0, bytes(2 * 2048))", "pwrite 0x00000000 4096 -> 4096 busy 240"),
    (("--t-read", "7"), "pread(0, 3 * 2048)", "read 0x00000000 6144 -> 6144 busy 21"),
    (("--t-erase", "500", "--timing"), "erase(65536, 65536)", "MEMERASE 0x00010000 0x00010000 -> 0 busy 500"),
    (("--timing", "--fail-page", "1"), "pwrite(0, bytes(3 * 2048))",
     "pwrite 0x00000000 6144 -> -1 EIO after 1 pages busy 600"),
    ((), "pwrite(0, bytes(2048))", "pwrite 0x00000000 2048 -> 2048"),
])
def test_timing_keeps_the_chip_busy_per_page_and_block(tmp_path, options, body, logged):
    status, _, err, log = drive(tmp_path, body, *options)
    assert status == 0, err
    assert log[1] == logged


@host_only
def test_timing_sleeps_rather_than_spins(tmp_path):
    """Each timed request gives the CPU up (a voluntary context switch); the
    same reads without timing never block on the page-cached flash file, and
    with --t-exact the time is waited out on the clock without sleeping."""
    body = """
        import resource
        before = resource.getrusage(resource.RUSAGE_SELF).ru_nvcsw
        for k in range(40):
            os.pread(fd, 2048, k * 2048)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_nvcsw - before)
    """
    switches = {}
    for options in ((), ("--t-read", "300"), ("--t-read", "300", "--t-exact")):
        status, out, err, log = drive(tmp_path, body, *options)
        assert status == 0, err
        switches[options] = int(out[-1])
    assert log[1].endswith(" busy 300")
    assert switches[()] < 40 <= switches[("--t-read", "300")]
    assert switches[("--t-read", "300", "--t-exact")] < 40


@host_only
def test_relative_paths_hold_after_the_command_changes_directory(tmp_path):
    """The flash, its page state and the log are found from wherever the
    command has gone by the time it opens the device."""
    code = ('import os; os.chdir("/"); fd = os.open("/dev/mtd0", os.O_RDWR)\n'
            'for _ in range(2): os.pwrite(fd, b"\\xff" * 2048, 0)')
    done = subprocess.run([MTDSIM, "--flash", "f", "--size", "1M", "--erase", "64K", "--page", "2K", "--log", "log",
                           "--", "/usr/bin/python3", "-c", code], cwd=tmp_path, capture_output=True, text=True)
    assert done.returncode == 99, done.stderr  # only the page state knows the page was programmed
    assert "program of page at 0x00000000 that is not erased" in done.stderr
    assert "#2 pwrite 0x00000000 2048 -> 2048" in (tmp_path / "log").read_text()


@host_only
def test_fresh_is_refused_while_another_wrapper_runs_on_the_flash(tmp_path):
    """Erasing the chip under a command that is using it would be no NAND at
    all: the second wrapper refuses, and the first one's page stays."""
    flash = tmp_path / "f"
    sim = [MTDSIM, "--flash", str(flash), "--size", "1M", "--erase", "64K", "--page", "2K"]
    code = ('import os, sys; fd = os.open("/dev/mtd0", os.O_RDWR); os.pwrite(fd, b"A" * 2048, 0)\n'
            'print("written", flush=True); sys.stdin.readline()')
    first = subprocess.Popen(sim + ["--fresh", "--", "/usr/bin/python3", "-c", code], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert first.stdout.readline() == "written\n"
        second = subprocess.run(sim + ["--fresh", "--", "/usr/bin/python3", "-c", "pass"], capture_output=True,
                                text=True, timeout=60)
        assert (second.returncode, second.stderr) == (
            2, f"mtdsim: another mtdsim is running a command on {flash}: --fresh would erase it\n")
        assert flash.read_bytes()[:2048] == b"A" * 2048
    finally:
        _, err = first.communicate("\n", timeout=60)
    assert first.returncode == 0, err


@host_only
@pytest.mark.skipif(not shutil.which("nanddump"), reason="needs mtd-utils")
def test_mtd_utils_write_and_dump_see_the_data_and_the_ecc_events(tmp_path):
    """mtd-utils' own reader: nanddump compares ECCGETSTATS around every page
    it reads, so it names each page of the --bitflips and --ecc-fail blocks."""
    data = random.Random(5).randbytes(300000)
    (tmp_path / "data").write_bytes(data)
    done = subprocess.run([MTDSIM, "--flash", str(tmp_path / "f"), "--size", "8M", "--erase", "128K", "--page", "2K",
                           "--fresh", "--bitflips", "2:3", "--ecc-fail", "3", "--", "sh", "-c",
                           "flash_erase -q /dev/mtd3 0 8 && nandwrite -q -p /dev/mtd3 data && "
                           "nanddump -q --omitoob -l 1048576 -f dump /dev/mtd3"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    dump = (tmp_path / "dump").read_bytes()
    assert dump == data + b"\xff" * (len(dump) - len(data))
    corrected = [l for l in done.stderr.splitlines() if "corrected bitflip(s)" in l]
    failed = [l for l in done.stderr.splitlines() if "uncorrectable bitflip(s)" in l]
    assert len(corrected) == len(failed) == 64
    assert corrected[0] == "ECC: 3 corrected bitflip(s) at offset 0x00040000"
    assert failed[-1] == "ECC: 1 uncorrectable bitflip(s) at offset 0x0007f800"


def ior(number, size):
    """_IOR('M', number, a struct of `size` bytes)."""
    return 0x80000000 | size << 16 | ord("M") << 8 | number


# page size, --type; ECCGETLAYOUT as (eccbytes, eccpos, oobavail, oobfree) or
# an errno; MEMGETOOBSEL as (eccbytes, eccpos, oobfree) or an errno. The
# kernel's Hamming layouts for 512, 2048 and 4096-byte pages; its generic
# large-page layout for 8 KiB (96 ECC bytes, cut at 64 positions); none for
# NOR.
LAYOUTS = [
    ("512", 4, (6, [0, 1, 2, 3, 6, 7], 8, [(8, 8)]), (6, [0, 1, 2, 3, 6, 7], [(8, 8)])),
    ("2K", 4, (24, list(range(40, 64)), 38, [(2, 38), (64, 0)]), (24, list(range(40, 64)), [(2, 38), (64, 0)])),
    ("4K", 4, (48, list(range(80, 128)), 78, [(2, 78), (128, 0)]), 22),
    ("8K", 4, (64, list(range(160, 224)), 158, [(2, 158)]), 22),
    ("2K", 3, 95, 95),
]


@host_only
@pytest.mark.parametrize("page,kind,layout,oobsel", LAYOUTS, ids=[f"{p}-type{t}" for p, t, _, _ in LAYOUTS])
def test_layout_queries_answer_as_mtdchar_does(tmp_path, page, kind, layout, oobsel):
    status, out, err, log = drive(tmp_path, f"""
        for name, request, size in (("layout", {ior(17, 328)}, 328), ("oobsel", {ior(10, 200)}, 200),
                                    ("regions", {ior(7, 4)}, 4), ("locked", {ior(23, 8)}, 8)):
            try:
                buffer = bytearray(size)
                fcntl.ioctl(fd, request, buffer, True)
                print(name, "ok", buffer.hex())
            except OSError as e:
                print(name, "errno", e.errno)
    """, "--page", page, "--type", kind)
    assert status == 0, err
    answers = dict(line.split(" ", 1) for line in out)

    def words(name, count):
        kind_of, value = answers[name].split(" ")
        assert kind_of == "ok", answers[name]
        return struct.unpack(f"<{count}I", bytes.fromhex(value))

    if isinstance(layout, int):
        assert answers["layout"] == f"errno {layout}"
    else:
        got = words("layout", 82)
        eccbytes, eccpos, oobavail, oobfree = got[0], got[1:65], got[65], got[66:82]
        assert (eccbytes, list(eccpos[:eccbytes]), oobavail) == layout[:3]
        assert [(oobfree[2 * i], oobfree[2 * i + 1]) for i in range(len(layout[3]))] == layout[3]
        assert not any(oobfree[2 * len(layout[3]):]) and not any(eccpos[eccbytes:])
    if isinstance(oobsel, int):
        assert answers["oobsel"] == f"errno {oobsel}"
    else:
        got = words("oobsel", 50)
        assert (got[0], got[1]) == (2, oobsel[0])  # MTD_NANDECC_AUTOPLACE
        assert [(got[2 + 2 * i], got[3 + 2 * i]) for i in range(len(oobsel[2]))] == oobsel[2]
        assert list(got[18:18 + oobsel[0]]) == oobsel[1]
    assert answers["regions"] == "ok 00000000" and answers["locked"] == "errno 95"
    assert "ECCGETLAYOUT -> " in "\n".join(log) and "VIOLATION" not in "\n".join(log)


@host_only
def test_an_ioctl_mtdsim_does_not_know_is_a_violation(tmp_path):
    status, out, err, log = drive(tmp_path, """
        try:
            fcntl.ioctl(fd, 0x4D63)  # _IO('M', 99): no MTD request
        except OSError as e:
            print("errno", e.errno)
    """)
    assert out == ["errno 25"]  # ENOTTY, as mtdchar answers what it does not know
    assert status == 99 and "unexpected ioctl 0x00004d63" in err
    assert "VIOLATION unexpected ioctl 0x00004d63" in log
