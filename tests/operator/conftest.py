"""The operator tier: a board's swupdate reached the ways people in the field
reach it, through its web page in a browser, and pulling a package from a web
server. The simulated board (drimlet and drimlet-inspect under mtdsim behind
the handler) is the swupdate tier's, from tests/swupdate/swupdate_board.py.

Everything listens on 127.0.0.1 only. OPERATOR_OUTPUT names the folder for
screenshots (default: build/operator-results).
"""
import os
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "swupdate"))

from swupdate_board import board, end_process_group, ends_within, keys  # noqa: E402,F401  (fixtures)

OUTPUT = Path(os.environ.get("OPERATOR_OUTPUT", ROOT / "build" / "operator-results"))


def free_port():
    """A TCP port on 127.0.0.1 nobody listens on just now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=1).close()
        return True
    except OSError:
        return False


class Server:
    """A server process in a process group of its own, its output in a file
    (swupdate can leave a child behind that holds its output). Stopped by its
    PID, then whatever is left of its group."""

    def __init__(self, command, log_path, env=None):
        self.command = command
        self.log_path = Path(log_path)
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, start_new_session=True)

    def wait_until_listening(self, port, seconds=20):
        deadline = time.monotonic() + seconds
        while not listening(port):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                pytest.fail(f"{self.command[0]} does not listen on 127.0.0.1:{port}:\n{self.log()}")
            time.sleep(0.05)

    def log(self):
        return self.log_path.read_text(errors="replace")

    def stop(self):
        if self.process.returncode is None:
            self.process.terminate()
            ends_within(self.process, 10)
        end_process_group(self.process)


@pytest.fixture
def servers():
    """Starts servers for one test and stops them all after it."""
    started = []

    def start(command, log_path, env=None):
        server = Server(command, log_path, env)
        started.append(server)
        return server

    yield start
    for server in reversed(started):
        server.stop()


@pytest.fixture(scope="session")
def browser(tmp_path_factory):
    """One headless Chromium for the tier, its profile fresh."""
    from update_page import start_browser
    driver = start_browser(tmp_path_factory.mktemp("chromium-profile"))
    yield driver
    driver.quit()
