"""Progress on a terminal: drawn in place, erased before every message and at
the end, so the terminal keeps exactly the lines a log gets; nothing at all
when standard error is not a terminal."""
import os
import pty
import re
import subprocess

import pytest

from conftest import DRIMLET, MTDSIM, QEMU, Geometry
from mkbin import bin_image
from test_install import START

G = Geometry(8 << 20, 128 << 10, 2048)
IMAGE = bin_image(START, [(START + k * G.erase, bytes([k + 1]) * 5000) for k in range(12)])


def screen(raw):
    """The lines a terminal shows after `raw`: carriage return, erase to the
    end of the line, and newlines (the terminal turns \\n into \\r\\n)."""
    lines, line, column = [], [], 0
    for token in re.findall(r"\x1b\[K|\r|\n|[^\r\n\x1b]", raw):
        if token == "\r":
            column = 0
        elif token == "\n":
            lines.append("".join(line))
            line, column = [], 0
        elif token == "\x1b[K":
            del line[column:]
        else:
            line[column:column + 1] = [token]
            column += 1
    if line:
        lines.append("".join(line))
    return lines


def on_terminal(command):
    """Runs `command` with standard error on a pseudo-terminal: its status
    and everything the terminal received."""
    controller, tty = pty.openpty()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=tty, stdin=subprocess.DEVNULL)
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


def run(bench, image_path, terminal, extra=()):
    command = [MTDSIM, "--flash", str(bench.flash), "--size", str(G.size), "--erase", str(G.erase),
               "--page", str(G.page), "--fresh", "--bad", "50,28", "--timing", *extra,
               *(["--qemu"] if QEMU else []), "--", *QEMU, DRIMLET, "-n", "7", "/dev/mtd3", str(image_path)]
    if not terminal:
        done = subprocess.run(command, capture_output=True, timeout=120)
        return done.returncode, done.stderr.decode()
    return on_terminal(command)


@pytest.mark.parametrize("image,extra,status", [
    (IMAGE, [], 0),
    (IMAGE[:-2000], [], 1),  # ends with a failure message mid-way
    (IMAGE, ["--fail-write", "0-52"], 1),  # four blocks marked bad, then the cap
], ids=["complete", "truncated image", "write failures"])
def test_terminal_keeps_the_lines_a_log_gets(bench, tmp_path, image, extra, status):
    path = tmp_path / "nk.bin"
    path.write_bytes(image)
    log_status, log = run(bench, path, terminal=False, extra=extra)
    assert log_status == status
    assert "\r" not in log and "\x1b" not in log and "image blocks written" not in log

    tty_status, raw = run(bench, path, terminal=True, extra=extra)
    assert tty_status == status
    assert "image blocks written" in raw and "MiB/s" in raw and "%, " in raw  # share read and time left: a file source
    assert screen(raw) == log.splitlines()


def test_verify_progress_follows_the_same_rules(bench, tmp_path):
    """70 blocks: the log gets "verified 64 image blocks"; a terminal keeps
    that line too, and nothing of the count drawn in place."""
    from test_inspect import INSPECT
    image = bin_image(START, [(START + k * G.erase, bytes([k + 1]) * 700) for k in range(70)])
    path = tmp_path / "nk.bin"
    path.write_bytes(image)
    geometry = ["--size", str(32 << 20), "--erase", str(G.erase), "--page", str(G.page)]
    install = subprocess.run([MTDSIM, "--flash", str(bench.flash), *geometry, "--fresh",
                              *(["--qemu"] if QEMU else []), "--", *QEMU, DRIMLET, "-n", "20", "/dev/mtd3",
                              str(path)], capture_output=True, timeout=120)
    assert install.returncode == 0, install.stderr
    verify = [MTDSIM, "--flash", str(bench.flash), *geometry, *(["--qemu"] if QEMU else []), "--", *QEMU,
              INSPECT, "verify", "/dev/mtd3", str(path)]
    log = subprocess.run(verify, capture_output=True, timeout=120)
    assert log.returncode == 0 and log.stderr.decode().endswith("\nverified 64 image blocks\n")
    status, raw = on_terminal(verify)
    assert status == 0
    assert "verified 70 of 70 image blocks" in raw  # drawn in place
    assert screen(raw) == log.stderr.decode().splitlines()
