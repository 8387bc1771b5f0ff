"""contrib/swupdate/rehearse, as a person runs it: start it, drop its package
on the page it names, read the flash it shows, press Ctrl-C."""
import os
import re
import signal
import subprocess
import time
from pathlib import Path

from conftest import ROOT, free_port, listening
from swupdate_board import end_process_group, ends_within
from update_page import Page

REHEARSE = ROOT / "contrib" / "swupdate" / "rehearse"


def wait_for_output(log, pattern, child, seconds):
    deadline = time.monotonic() + seconds
    while True:
        found = re.search(pattern, log.read_text(errors="replace"))
        if found:
            return found
        assert child.poll() is None and time.monotonic() < deadline, \
            f"waited for {pattern!r}:\n{log.read_text(errors='replace')}"
        time.sleep(0.1)


def processes_mentioning(text):
    """PIDs of processes whose command line names `text`."""
    found = []
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if text.encode() in (entry / "cmdline").read_bytes():
                    found.append(int(entry.name))
            except OSError:
                pass
    return found


def test_rehearsal_installs_from_the_page_and_ctrl_c_stops_it(tmp_path, browser):
    folder = tmp_path / "rehearsal"
    port = free_port()
    log = tmp_path / "rehearse.out"
    # A terminal's Ctrl-C reaches a command whose SIGINT is not ignored, in
    # a process group of its own: the test's run may have SIGINT ignored.
    with open(log, "w") as out:
        child = subprocess.Popen([str(REHEARSE), "--port", str(port), str(folder)], stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=subprocess.STDOUT, start_new_session=True,
                                 preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        found = wait_for_output(log, r"update page is at +(http://127\.0\.0\.1:\d+/)\n.*\n.*\n +(\S+\.swu)\n",
                                child, 60)
        url, package = found.group(1), found.group(2)
        assert url == f"http://127.0.0.1:{port}/"
        page = Page(browser, url)
        since = page.drop(package)
        assert page.results(since) == ["SUCCESS"], page.frames(since)
        wait_for_output(log, r"== swupdate: the update succeeded\n\$ drimlet-inspect map /dev/mtd0\n", child, 30)
        # The demo image, past the three bad blocks, and a verify that passes.
        shown = wait_for_output(log, r"(\d+) bad, (\d+) image blocks, table at (0x[0-9a-f]+).*\n"
                                r".*\nverify: all (\d+) image blocks and the partition table match\n", child, 30)
        assert shown.group(1) == "3" and shown.group(2) == shown.group(4) == "25", log.read_text()
        assert shown.group(3) == "0x003a0000"  # block 28 is bad: the table goes to block 29
        assert processes_mentioning(str(folder)), "swupdate is not running from the rehearsal's folder"

        os.killpg(child.pid, signal.SIGINT)
        assert ends_within(child, 20), "rehearse did not end after Ctrl-C"
        assert child.wait() == 130
        assert "rehearsal stopped" in log.read_text()
        assert not listening(port)
        assert processes_mentioning(str(folder)) == [], "processes of the rehearsal outlived it"
    finally:
        end_process_group(child)
        for pid in processes_mentioning(str(folder)):
            os.kill(pid, signal.SIGKILL)
