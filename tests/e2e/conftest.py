"""Runs the real drimlet binary against mtdsim's simulated NAND.

DRIMLET, DRIMLET_INSPECT and MTDSIM name the binaries (default: the build/
tree; drimlet-inspect next to DRIMLET). Every test file takes them from here,
made absolute, so the suite runs the same from any folder. For a
foreign-architecture build, DRIMLET_QEMU gives the qemu-user command line to
run it with (e.g. "qemu-arm -L /usr/arm-linux-gnueabihf") and MTDSIM_LIBRARY
the preload library of the same architecture.
"""
import os
import pty
import shlex
import struct
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(Path(__file__).resolve().parent))



def binary(variable, default):
    """The path in `variable`, else `default`, absolute: a test that changes
    folder, or a suite run from another one, still finds it."""
    return os.path.abspath(os.environ.get(variable) or default)


DRIMLET = binary("DRIMLET", ROOT / "build" / "drimlet")
INSPECT = binary("DRIMLET_INSPECT", Path(DRIMLET).parent / "drimlet-inspect")
MTDSIM = binary("MTDSIM", ROOT / "build" / "tools" / "mtdsim" / "mtdsim")
QEMU = shlex.split(os.environ.get("DRIMLET_QEMU", ""))


@dataclass
class Geometry:
    size: int
    erase: int
    page: int
    type: int = 4


@dataclass
class Outcome:
    status: int
    out: str
    err: str
    flash: bytes
    log: list = field(default_factory=list)
    flash_path: Path = None

    @property
    def marked(self):
        return marked_bad(self.flash_path)

    def requests(self, prefix=""):
        """Log lines without their index, optionally only those starting with prefix."""
        lines = [line.split(" ", 1)[1] for line in self.log if not line.startswith("#0 ")]
        return [l for l in lines if l.startswith(prefix)]


class Bench:
    """A flash file plus the mtdsim options for one test."""

    def __init__(self, tmp_path):
        self.tmp = tmp_path
        self.flash = tmp_path / "flash.bin"
        self.log = tmp_path / "requests.log"

    def command(self, geometry, args, sim_args=(), fresh=True, program=None, log=None):
        """The mtdsim command line that runs `program` (drimlet) with `args`."""
        command = [MTDSIM, "--flash", str(self.flash), "--size", str(geometry.size),
                   "--erase", str(geometry.erase), "--page", str(geometry.page),
                   "--type", str(geometry.type), "--log", str(log or self.log)]
        command += ["--fresh"] if fresh else []
        command += [str(a) for a in sim_args]
        command += ["--qemu"] if QEMU else []
        return command + ["--"] + QEMU + [program or DRIMLET] + [str(a) for a in args]

    def run(self, geometry, drimlet_args, image=None, stdin=None, sim_args=(), initial=None, fresh=True,
            cwd=None, program=None, stdin_fd=None):
        """`stdin` is the bytes standard input holds; `stdin_fd` a descriptor
        to give the command as its standard input instead."""
        if initial is not None:
            self.flash.write_bytes(initial)
            fresh = False
        if self.log.exists():
            self.log.unlink()
        args = [str(a) for a in drimlet_args]
        if image is not None:
            path = self.tmp / "nk.bin"
            path.write_bytes(image)
            args = [str(path) if a == "{image}" else a for a in args]
        command = self.command(geometry, args, sim_args, fresh, program)
        if stdin_fd is None:
            done = subprocess.run(command, input=stdin, capture_output=True, timeout=120, cwd=cwd)
        else:
            done = subprocess.run(command, stdin=stdin_fd, capture_output=True, timeout=120, cwd=cwd)
        return Outcome(done.returncode, done.stdout.decode(), done.stderr.decode(),
                       self.flash.read_bytes(),
                       self.log.read_text().splitlines() if self.log.exists() else [], self.flash)


def marked_bad(flash):
    """Blocks marked bad (MEMSETBADBLOCK) on this flash file, as mtdsim keeps
    them in FLASH.pages: a 128-byte header (magic, version 2, the page count
    at byte 24, the block count at byte 88), one bit per page, then one bit
    per erase block. Read from the file, so it holds under qemu-user too."""
    data = Path(str(flash) + ".pages").read_bytes()
    assert data[:8] == b"MTDSIMPG" and struct.unpack_from("<Q", data, 8)[0] == 2
    pages, blocks = struct.unpack_from("<Q", data, 24)[0], struct.unpack_from("<Q", data, 88)[0]
    bits = data[128 + (pages + 7) // 8:]
    return [b for b in range(blocks) if bits[b // 8] >> (b % 8) & 1]


@pytest.fixture(scope="session", autouse=True)
def built_binaries():
    """A binary that is not there fails every test: a skip would read as a
    suite that passed."""
    missing = [path for path in (DRIMLET, INSPECT, MTDSIM) if not os.path.isfile(path)]
    if missing:
        pytest.fail("not built: " + ", ".join(missing) + " (build first, or set DRIMLET, DRIMLET_INSPECT, MTDSIM)",
                    pytrace=False)


@pytest.fixture
def bench(tmp_path):
    return Bench(tmp_path)


def device_report(geometry):
    return (f"MTD Type: {geometry.type}\n"
            f"MTD total size: {geometry.size >> 10} kilobytes\n"
            f"MTD write size: {geometry.page} bytes\n"
            f"MTD erase size: {geometry.erase} bytes\n")


def on_terminal(command, stream="stderr", env=None):
    """Runs `command` with one of its output streams ("stdout" or "stderr")
    on a pseudo-terminal and the other discarded: its status and everything
    the terminal received."""
    controller, tty = pty.openpty()
    streams = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, stream: tty}
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, env=env, **streams)
    os.close(tty)
    raw = b""
    while True:
        try:
            chunk = os.read(controller, 65536)
        except OSError:  # EIO: every writer of the terminal has gone
            break
        if not chunk:
            break
        raw += chunk
    os.close(controller)
    return child.wait(timeout=120), raw.decode()
