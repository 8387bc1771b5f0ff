"""The simulated NAND itself must behave like the kernel's NAND stack, or the
installs above prove nothing. A Python child drives it directly."""
import struct
import subprocess
import textwrap

import pytest

from conftest import MTDSIM, QEMU

pytestmark = pytest.mark.skipif(bool(QEMU), reason="drives the host's preload library from a host Python")

PROBE = textwrap.dedent("""
    import errno, fcntl, os, struct, sys
    MEMGETINFO, MEMERASE, MEMUNLOCK, MEMGETBADBLOCK = 0x80204D01, 0x40084D02, 0x40084D06, 0x40084D0B
    fd = os.open("/dev/mtd7", os.O_RDWR)
    def call(name, request, arg):
        try:
            buffer = bytearray(arg)
            result = fcntl.ioctl(fd, request, buffer, True)
            print(name, "ok", buffer.hex() if name == "info" else result)
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
    exec(sys.argv[1])
""")


def probe(tmp_path, body, *sim_args):
    command = [MTDSIM, "--flash", str(tmp_path / "f"), "--size", "1M", "--erase", "64K", "--page", "2K",
               "--fresh", *map(str, sim_args), "--", "/usr/bin/python3", "-c", PROBE, textwrap.dedent(body)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=60)
    return done.returncode, done.stdout.splitlines(), done.stderr, (tmp_path / "f").read_bytes()


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


def test_programming_a_page_twice_is_a_violation_and_ands_the_bits(tmp_path):
    status, out, err, flash = probe(tmp_path, """
        write(0, b"\\x0f" * 2048); write(0, b"\\xf3" * 2048)
        erase(65536, 65536); write(65536, b"\\x0f" * 2048)
    """)
    assert out == ["write 2048", "write 2048", "erase ok 0", "write 2048"]
    assert status == 99 and "program of page at 0x00000000 that is not erased" in err
    assert flash[:2048] == b"\x03" * 2048 and flash[65536:65536 + 2048] == b"\x0f" * 2048
    assert flash[2048:65536] == b"\xff" * (65536 - 2048)


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
