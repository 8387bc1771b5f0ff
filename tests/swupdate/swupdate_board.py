"""A simulated board for Debian's swupdate: .swu packages built by mkswu and
installed through the drimlet handler. Shared by the swupdate tier and the
operator tier (tests/operator).

swupdate itself runs on the host as is; the handler's tool paths point at
wrapper scripts that run drimlet and drimlet-inspect under mtdsim, all on the
same flash file, so every step of one update sees the same simulated NAND.
DRIMLET_BUILD names the build tree (default: build/).
"""
import hashlib
import importlib.machinery
import importlib.util
import os
import select
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import warnings
from dataclasses import dataclass
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))

import mkbin  # noqa: E402

BUILD = Path(os.environ.get("DRIMLET_BUILD", ROOT / "build"))
DRIMLET = BUILD / "drimlet"
INSPECT = BUILD / "drimlet-inspect"
MTDSIM = BUILD / "tools" / "mtdsim" / "mtdsim"
CONTRIB = ROOT / "contrib" / "swupdate"
MKSWU = CONTRIB / "mkswu"

GEOMETRY = ["--size", "128M", "--erase", "128K", "--page", "2K"]
ERASE = 128 << 10
DEVICE = "/dev/mtd3"
# Hardware revision the packages are built for and swupdate is told it runs on.
REVISION = "1.0"


def load_mkswu():
    """mkswu as a module, for packages it would refuse to build."""
    loader = importlib.machinery.SourceFileLoader("mkswu", str(MKSWU))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("mkswu", loader))
    loader.exec_module(module)
    return module


def cpio_members(package):
    """(name, offset of the data, size) of every member of a "crc" cpio archive."""
    data, position, members = package.read_bytes(), 0, []
    while True:
        assert data[position:position + 6] == b"070702"
        size = int(data[position + 54:position + 62], 16)
        name_size = int(data[position + 94:position + 102], 16)
        name = data[position + 110:position + 110 + name_size - 1].decode()
        if name == "TRAILER!!!":
            return members
        start = position + 110 + name_size
        start += -start % 4
        members.append((name, start, size))
        position = start + size + (-(start + size) % 4)


def image(seed, size=3_000_000, records=12):
    """A BIN image of pseudo-random records; 3,000,000 bytes fill 23 erase blocks."""
    start = 0x80200000
    return mkbin.bin_image(start, mkbin.random_records(start, size, records, 0, seed))


def with_bad_checksum(good, record=5, offset=77):
    """good with one data byte of one record flipped, its record header unchanged."""
    data = bytearray(good)
    position = 7 + 8
    for _ in range(record):
        length = int.from_bytes(data[position + 4:position + 8], "little")
        position += 12 + length
    data[position + 12 + offset] ^= 0x01
    return bytes(data)


@dataclass
class Result:
    status: int
    log: str


# Far above the few seconds an update takes here: only a hang gets there.
SWUPDATE_TIMEOUT = 120


def ends_within(child, timeout):
    """Whether `child` ends within `timeout` seconds. It is not reaped, so its
    process group's id stays ours until end_process_group."""
    ended = os.pidfd_open(child.pid)
    try:
        return bool(select.select([ended], [], [], timeout)[0])
    finally:
        os.close(ended)


def end_process_group(child):
    """Ends what is left of `child`'s process group (its own, from
    start_new_session) and reaps `child`. The group is killed before `child`
    is reaped: until then its id cannot be taken by anyone else's group.
    Once `child` is reaped, a second call does nothing."""
    if child.returncode is not None:
        return child.returncode
    try:
        os.killpg(child.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    return child.wait()


def run_in_own_group(command, env, log_path, timeout):
    """Runs `command` in a process group of its own, its output in the file
    `log_path` (swupdate 2022.12 can leave a child behind that holds the
    output it was given: a pipe would then never reach its end). Returns the
    exit status, or None when `command` did not end within `timeout` seconds;
    either way nothing of its group is left running."""
    with open(log_path, "w") as log:
        child = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=log,
                                 stderr=subprocess.STDOUT, start_new_session=True)
    hung = not ends_within(child, timeout)
    status = end_process_group(child)
    return None if hung else status


def run_with_one_retry(command, env, log_path, timeout=SWUPDATE_TIMEOUT, before_retry=lambda: None):
    """run_in_own_group, once more after a hang (said as a warning in the
    test run's output); a second hang fails the test."""
    for attempt in (1, 2):
        status = run_in_own_group(command, env, log_path, timeout)
        if status is not None:
            return Result(status, Path(log_path).read_text(errors="replace"))
        if attempt == 1:
            warnings.warn(f"{command[0]} hung for {timeout} s and was killed with its process group; "
                          "running it once more")
            before_retry()
    pytest.fail(f"{command[0]} hung twice for {timeout} s:\n" + Path(log_path).read_text(errors="replace"))


class Board:
    """One board: a flash file, the wrappers the handler runs, and swupdate's settings."""

    def __init__(self, tmp_path, keys):
        self.dir = tmp_path
        self.keys = keys
        self.flash = tmp_path / "flash.bin"
        self.requests = tmp_path / "requests.log"
        # swupdate's control and progress sockets live in TMPDIR; a socket
        # path must stay under 108 bytes, pytest's folders can get long.
        self.tmpdir = Path(tempfile.mkdtemp(prefix="swu."))
        self.config = tmp_path / "swupdate.cfg"
        # An empty configuration keeps a board's /etc/swupdate.cfg out of the test.
        self.config.write_text("globals :\n{\n};\n")
        # The handler builds shell commands: a tool path with a space and a
        # quote in it must still reach the tool whole.
        tools = tmp_path / "board's tools"
        tools.mkdir()
        self.drimlet = tools / "drimlet"
        self.inspect_tool = tools / "drimlet-inspect"
        self.faults([])

    def faults(self, sim_args):
        """(Re)writes the wrappers with these extra mtdsim options."""
        for wrapper, program in ((self.drimlet, DRIMLET), (self.inspect_tool, INSPECT)):
            command = [str(MTDSIM), "--flash", str(self.flash), *GEOMETRY, *map(str, sim_args),
                       "--log", str(self.requests), "--", str(program)]
            wrapper.write_text("#!/bin/sh\nexec " + " ".join(map(shlex.quote, command)) + ' "$@"\n')
            wrapper.chmod(0o755)

    def run(self, tool, *args):
        done = subprocess.run([str(tool), *map(str, args)], capture_output=True, text=True, timeout=120)
        return Result(done.returncode, done.stdout + done.stderr)

    def install_directly(self, data, nonfs):
        """Puts an earlier install on the flash with drimlet itself, outside swupdate."""
        path = self.dir / "old.bin"
        path.write_bytes(data)
        done = self.run(self.drimlet, "-n", nonfs, DEVICE, path)
        assert done.status == 0, done.log
        assert self.verify(data), "the earlier install does not verify"

    def verify(self, data):
        path = self.dir / f"verify-{hashlib.sha256(data).hexdigest()[:12]}.bin"
        path.write_bytes(data)
        return self.run(self.inspect_tool, "verify", DEVICE, path).status == 0

    def has_partition_table(self):
        return self.run(self.inspect_tool, "show", DEVICE).status == 0

    def mkswu(self, data, nonfs, signer="good", name="nk.bin", extra=(), device=DEVICE, hardware=REVISION):
        """Runs mkswu (checking the image with the build's drimlet-inspect):
        the finished process, and the package it was asked to write."""
        path = self.dir / name
        path.write_bytes(data)
        out = self.dir / f"{signer}.swu"
        if out.exists():
            out.unlink()
        signing = ["--unsigned"] if signer is None else ["--key", self.keys[signer][0],
                                                         "--cert", self.keys[signer][1]]
        command = [sys.executable, str(MKSWU), "--device", device, "-n", str(nonfs),
                   "--hardware", hardware, "--drimlet", str(self.drimlet),
                   "--drimlet-inspect", str(self.inspect_tool), "--check-with", str(INSPECT),
                   *map(str, signing), *extra, str(path), str(out)]
        return subprocess.run(command, capture_output=True, text=True, timeout=120), out

    def package(self, data, nonfs, signer="good", name="nk.bin", extra=(), device=DEVICE, hardware=REVISION):
        done, out = self.mkswu(data, nonfs, signer, name, extra, device, hardware)
        assert done.returncode == 0, done.stderr
        return out

    def custom_package(self, description, data, name="nk.bin"):
        """A package signed with the board's key around a hand-written sw-description."""
        mkswu = load_mkswu()
        signature = mkswu.cms_sign(description.encode(), self.keys["good"][0], self.keys["good"][1], None)
        assert signature is not None
        out = self.dir / "custom.swu"
        out.write_bytes(mkswu.cpio_archive([("sw-description", description.encode()),
                                            ("sw-description.sig", signature), (name, data)]))
        return out

    def environment(self):
        env = dict(os.environ, TMPDIR=str(self.tmpdir), LUA_PATH=f"{CONTRIB}/?.lua;;")
        env.pop("LD_PRELOAD", None)
        return env

    def swupdate_command(self, logging=("-v",)):
        return ["swupdate", *logging, "-f", str(self.config), "-k", self.keys["good"][1],
                "-H", f"board:{REVISION}"]

    def swupdate(self, package):
        """A one-shot local install, as `swupdate -i` on the board. After a
        hang the flash is put back as it was before the retry."""
        saved = {path: path.read_bytes() for path in self.flash_files() if path.exists()}

        def restore():
            for path in self.flash_files():
                if path in saved:
                    path.write_bytes(saved[path])
                elif path.exists():
                    path.unlink()

        return run_with_one_retry(self.swupdate_command() + ["-i", str(package)], self.environment(),
                                  self.dir / "swupdate.log", before_retry=restore)

    def flash_files(self):
        """The flash, mtdsim's record of programmed pages, and its request log."""
        return [self.flash, Path(f"{self.flash}.pages"), self.requests]

    def flash_requests(self):
        """mtdsim's log lines for requests that change the flash."""
        if not self.requests.exists():
            return []
        return [line for line in self.requests.read_text().splitlines()
                if line.split()[1:2] and line.split()[1] in ("MEMERASE", "MEMERASE64", "MEMUNLOCK", "write", "pwrite")]

    def cleanup(self):
        shutil.rmtree(self.tmpdir, ignore_errors=True)


def make_keys(folder):
    """Two self-signed signing certificates in `folder`: the board's ("good"),
    and one it does not trust ("other"). {name: (key, certificate)}."""
    made = {}
    for name in ("good", "other"):
        key, cert = folder / f"{name}.key.pem", folder / f"{name}.cert.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
                        "-keyout", str(key), "-out", str(cert), "-subj", f"/O=drimlet test/CN={name}"],
                       check=True, capture_output=True)
        made[name] = (str(key), str(cert))
    return made


def expected_bar(data):
    """The handler's bar for an install of `data`: 0 at check, 2 at plan, 5 to
    85 following drimlet's --progress-fd lines, 100 after verify."""
    length = int.from_bytes(data[11:15], "little")
    blocks = -(-length // ERASE)
    reported = [0]
    for k in range(1, blocks + 1):
        percent = min(99, min(k * ERASE, length) * 100 // length)
        if percent > reported[-1]:
            reported.append(percent)
    bar = [0, 2]
    for percent in reported + [100]:
        value = 5 + 80 * percent // 100
        if value != bar[-1]:
            bar.append(value)
    return bar + [100]


# The fixtures both tiers' conftest.py take in: one signing key for the
# session, a fresh board for each test.
@pytest.fixture(scope="session")
def keys(tmp_path_factory):
    return make_keys(tmp_path_factory.mktemp("keys"))


@pytest.fixture
def board(tmp_path, keys):
    made = Board(tmp_path, keys)
    yield made
    made.cleanup()
