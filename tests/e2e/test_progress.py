"""Progress on a terminal: drawn in place, erased before every message and at
the end, so the terminal keeps exactly the lines a log gets; nothing at all
when standard error is not a terminal."""
import fcntl
import os
import pty
import re
import struct
import subprocess
import termios

import pytest

from conftest import DRIMLET, INSPECT, MTDSIM, QEMU, Geometry, on_terminal
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


def run(bench, image_path, terminal, extra=()):
    command = [MTDSIM, "--flash", str(bench.flash), "--size", str(G.size), "--erase", str(G.erase),
               "--page", str(G.page), "--fresh", "--bad", "50,28", "--timing", *extra,
               *(["--qemu"] if QEMU else []), "--", *QEMU, DRIMLET, "-n", "7", "/dev/mtd3", str(image_path)]
    if not terminal:
        done = subprocess.run(command, capture_output=True, timeout=120)
        return done.returncode, done.stderr.decode()
    return on_terminal(command)


@pytest.mark.parametrize("image,extra,status,drawn", [
    (IMAGE, [], 0, True),
    (IMAGE[:-2000], [], 1, False),  # refused by the check before writing: nothing to draw
    (IMAGE, ["--fail-write", "0-52"], 1, True),  # four blocks marked bad, then the cap
], ids=["complete", "truncated image", "write failures"])
def test_terminal_keeps_the_lines_a_log_gets(bench, tmp_path, image, extra, status, drawn):
    path = tmp_path / "nk.bin"
    path.write_bytes(image)
    log_status, log = run(bench, path, terminal=False, extra=extra)
    assert log_status == status
    assert "\r" not in log and "\x1b" not in log and "image blocks written" not in log

    tty_status, raw = run(bench, path, terminal=True, extra=extra)
    assert tty_status == status
    # The share read and the time left: a file source.
    assert ("image blocks written" in raw and "MiB/s" in raw and "%, " in raw) == drawn
    assert screen(raw) == log.splitlines()


def test_verify_progress_follows_the_same_rules(bench, tmp_path):
    """70 blocks: the log gets "verified 64 image blocks"; a terminal keeps
    that line too, and nothing of the count drawn in place."""
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


# The progress line's width, the share done and --progress-fd. A longer image
# than above on a larger chip, so that a change of width has time to land.
WIDE = Geometry(16 << 20, 128 << 10, 2048)
LONG_IMAGE = bin_image(START, [(START + k * WIDE.erase, bytes([k + 1]) * 5000) for k in range(60)])
DRAWN = re.compile(r"\r([^\r\n\x1b]+)\x1b\[K")  # one drawing of the line: \r TEXT erase-to-end


def wide_command(bench, image_arg, extra_drimlet=()):
    return [MTDSIM, "--flash", str(bench.flash), "--size", str(WIDE.size), "--erase", str(WIDE.erase),
            "--page", str(WIDE.page), "--fresh", "--timing", *(["--qemu"] if QEMU else []), "--", *QEMU,
            DRIMLET, *extra_drimlet, "-n", "15", "/dev/mtd3", image_arg]


def set_columns(fd, columns):
    fcntl.ioctl(fd, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))


def on_controlling_terminal(command, columns, resize_to=None, stdin=None):
    """Runs `command` in a session of its own whose controlling terminal is a
    pseudo-terminal `columns` wide, standard error on it. With `resize_to`,
    the width changes once the first progress line has arrived: the kernel
    then sends SIGWINCH to the command, as a terminal window does. Returns the
    status, everything the terminal received, and the offset in it where the
    width changed."""
    controller, tty = pty.openpty()
    set_columns(tty, columns)

    def take_terminal():
        os.setsid()
        fcntl.ioctl(tty, termios.TIOCSCTTY, 0)

    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=tty, stdin=stdin,
                             preexec_fn=take_terminal)
    os.close(tty)
    raw, changed_at = b"", None
    while True:
        try:
            chunk = os.read(controller, 65536)
        except OSError:
            break
        if not chunk:
            break
        raw += chunk
        if resize_to and changed_at is None and b"\x1b[K" in raw:
            set_columns(controller, resize_to)
            changed_at = len(raw)
    os.close(controller)
    return child.wait(timeout=120), raw.decode(), changed_at


@pytest.mark.parametrize("columns, resize_to", [(40, None), (200, None), (200, 40), (40, 200)],
                         ids=["40 columns", "200 columns", "200 then 40", "40 then 200"])
def test_progress_line_fits_the_terminal(bench, tmp_path, columns, resize_to):
    path = tmp_path / "nk.bin"
    path.write_bytes(LONG_IMAGE)
    log = subprocess.run(wide_command(bench, str(path)), capture_output=True, timeout=120)
    assert log.returncode == 0, log.stderr
    status, raw, changed_at = on_controlling_terminal(wide_command(bench, str(path)), columns, resize_to)
    assert status == 0
    assert screen(raw) == log.stderr.decode().splitlines()
    drawn = [(m.start(), m.group(1)) for m in DRAWN.finditer(raw)]
    assert len(drawn) == 60
    final = resize_to or columns
    if resize_to:
        before = [text for at, text in drawn if at < changed_at]
        assert before and all(len(text) < columns for text in before)
        # The drawing under way when the width changed may still have the old
        # width; from the next one on, every line has the new one.
        after = [text for at, text in drawn if at >= changed_at][1:]
        assert len(after) >= 10, "the install ended before the width change was followed"
        assert max(len(text) for text in before) > 40 if columns == 200 else True
    else:
        after = [text for _, text in drawn]
    assert all(len(text) < final for text in after), [t for t in after if len(t) >= final]
    for text in after:
        # Whatever the width, the share done stays; at 200 columns every piece.
        assert re.search(r"\b\d+%", text), text
        if final == 200:
            assert re.fullmatch(r"\d+ image blocks written, \d+\.\d MiB, \d+\.\d MiB/s, \d+%(, \d+ s left)?",
                                text), text


def span_percent(blocks, length, erase):
    """The share an install has done after `blocks` image blocks of an image
    whose header gives `length`, in whole percents rounded down."""
    return min(blocks * erase, length) * 100 // length


def on_terminal_from_pipe(bench, image, columns=200):
    """An install whose image comes through a pipe (drimlet's "-"), standard
    error on a terminal."""
    feeder = subprocess.Popen(["cat", str(image)], stdout=subprocess.PIPE)
    try:
        return on_controlling_terminal(wide_command(bench, "-"), columns, stdin=feeder.stdout)
    finally:
        feeder.stdout.close()
        feeder.wait()


@pytest.mark.parametrize("source", ["file", "pipe"])
def test_share_done_follows_the_image_span(bench, tmp_path, source):
    """From a pipe as from a file: after image block k the line gives k, the
    MiB of k erase blocks, the share of the header's span (start to start +
    length) the blocks written cover, and a time left."""
    path = tmp_path / "nk.bin"
    path.write_bytes(LONG_IMAGE)
    length = int.from_bytes(LONG_IMAGE[11:15], "little")
    if source == "file":
        status, raw, _ = on_controlling_terminal(wide_command(bench, str(path)), 200)
    else:
        status, raw, _ = on_terminal_from_pipe(bench, path)
    assert status == 0
    shares = []
    for found in DRAWN.finditer(raw):
        text = found.group(1)
        parts = re.fullmatch(r"(\d+) image blocks written, ([\d.]+) MiB, [\d.]+ MiB/s, (\d+)%, \d+ s left", text)
        assert parts, text
        shares.append((int(parts.group(1)), parts.group(2), int(parts.group(3))))
    assert shares == [(k, f"{k * WIDE.erase / (1 << 20):.1f}", span_percent(k, length, WIDE.erase))
                      for k in range(1, 61)]


def test_pipe_without_a_span_shows_no_share(bench, tmp_path):
    """A header whose length does not hold the records (0 here) gives no
    share: from a pipe nothing else tells, so the line leaves it out."""
    image = bytearray(LONG_IMAGE)
    image[11:15] = bytes(4)
    path = tmp_path / "nk.bin"
    path.write_bytes(image)
    status, raw, _ = on_terminal_from_pipe(bench, path)
    assert status == 0
    drawn = [m.group(1) for m in DRAWN.finditer(raw)]
    assert len(drawn) == 60 and all("%" not in text and "left" not in text for text in drawn), drawn


def progress_fd_install(bench, path, drimlet_args, pass_fds=(), sim_args=()):
    command = [MTDSIM, "--flash", str(bench.flash), "--size", str(G.size), "--erase", str(G.erase),
               "--page", str(G.page), "--fresh", *sim_args, *(["--qemu"] if QEMU else []), "--", *QEMU,
               DRIMLET, *drimlet_args, "-n", "7", "/dev/mtd3", str(path)]
    done = subprocess.run(command, capture_output=True, timeout=120, pass_fds=pass_fds)
    return done.returncode, done.stdout.decode(), done.stderr.decode(), bench.flash.read_bytes()


def expected_progress_lines(image, blocks, erase, complete=True):
    """0 first, then the share after each image block while it grows (at most
    99 while image blocks are written), 100 once the partition table is."""
    length = int.from_bytes(image[11:15], "little")
    percents = [0]
    for k in range(1, blocks + 1):
        percent = min(99, span_percent(k, length, erase))
        if percent > percents[-1]:
            percents.append(percent)
    if complete:
        percents.append(100)
    return "".join(f"progress {p}\n" for p in percents)


def pipe_read_by(reader):
    """A pipe whose read end `reader` takes care of: the write end to hand
    over, and a function that returns what was read."""
    read_end, write_end = os.pipe()
    return write_end, reader(read_end)


def read_all(read_end):
    def finish():
        with os.fdopen(read_end, "rb") as f:
            return f.read().decode()
    return finish


def filled(read_end):
    # Nobody reads; the pipe is full before the install starts.
    def finish():
        os.close(read_end)
        return ""
    return finish


def closed(read_end):
    os.close(read_end)  # the reader is gone: writes fail with EPIPE
    return lambda: ""


@pytest.mark.parametrize("reader, sim_args, status", [
    (read_all, [], 0),
    (read_all, ["--fail-write", "0-52"], 1),  # image block 4 (blocks 56 down to 52) fails, and four after it: the cap
    (filled, [], 0),
    (closed, [], 0),
], ids=["pipe", "install fails part way", "full pipe", "reader gone"])
def test_progress_fd_lines(bench, tmp_path, reader, sim_args, status):
    """--progress-fd writes "progress N" lines, N from 0 to 100, and changes
    nothing else; a reader that does not read, is gone or was never there
    neither blocks nor fails the install. (A descriptor that is not open is
    refused: test_side_doors_cli.py.)"""
    path = tmp_path / "nk.bin"
    path.write_bytes(IMAGE)
    plain = progress_fd_install(bench, path, [], sim_args=sim_args)
    assert plain[0] == status
    fd, finish = pipe_read_by(reader)
    pass_fds = (fd,)
    if reader is filled:
        os.set_blocking(fd, False)
        try:
            while True:
                os.write(fd, b"x" * 4096)
        except BlockingIOError:
            pass
        os.set_blocking(fd, True)
    try:
        outcome = progress_fd_install(bench, path, ["--progress-fd", str(fd)], pass_fds, sim_args)
    finally:
        os.close(fd)
    assert outcome == plain  # status, device report, messages and flash alike
    lines = finish()
    if reader is read_all:
        assert lines == expected_progress_lines(IMAGE, 12 if status == 0 else 4, G.erase, complete=status == 0)


@pytest.mark.parametrize("value", ["x", "-1", "3x", "", "99999999999999999999"])
def test_progress_fd_takes_a_descriptor_number(bench, tmp_path, value):
    path = tmp_path / "nk.bin"
    path.write_bytes(IMAGE)
    status, out, err, _ = progress_fd_install(bench, path, ["--progress-fd", value])
    assert status == 1
    assert err == f"drimlet: --progress-fd takes a descriptor number, not '{value}'\n"
    assert out.startswith("Usage: drimlet")
