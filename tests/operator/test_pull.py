"""A board pulling its package from a web server: swupdate -d "-u URL" from
nginx, which honours Range requests, so a download cut half way resumes."""
import shutil
import socket
import threading

import pytest

from conftest import free_port, listening
from swupdate_board import image, run_with_one_retry

NEW = image(seed=2)
OLD = image(seed=1)
NONFS = 64

NGINX_CONFIGURATION = """\
daemon off;
master_process off;
pid {folder}/nginx.pid;
error_log {folder}/error.log;
events {{ worker_connections 16; }}
http {{
  log_format ranges '$request $status "$http_range" $body_bytes_sent';
  access_log {folder}/access.log ranges;
  client_body_temp_path {folder}/body;
  proxy_temp_path {folder}/proxy;
  fastcgi_temp_path {folder}/fastcgi;
  uwsgi_temp_path {folder}/uwsgi;
  scgi_temp_path {folder}/scgi;
  server {{
    listen 127.0.0.1:{port};
    root {root};
  }}
}}
"""


class Nginx:
    """nginx serving `root` on a port of its own, with its own configuration
    file; one process (master_process off), so stopping its PID stops the server."""

    def __init__(self, folder, root, servers):
        self.folder, self.root, self.servers = folder, root, servers
        folder.mkdir()
        root.mkdir()
        self.port = free_port()
        self.configuration = folder / "nginx.conf"
        self.configuration.write_text(NGINX_CONFIGURATION.format(folder=folder, port=self.port, root=root))
        self.access_log = folder / "access.log"
        self.server = None

    def start(self):
        self.server = self.servers(["nginx", "-c", str(self.configuration), "-p", str(self.folder),
                                    "-e", str(self.folder / "error.log")], self.folder / "nginx.out")
        self.server.wait_until_listening(self.port)

    def stop(self):
        self.server.stop()


@pytest.fixture
def nginx(tmp_path, servers):
    if not shutil.which("nginx"):
        pytest.fail("nginx is not installed (apt-get install nginx-light)")
    made = Nginx(tmp_path / "nginx", tmp_path / "www", servers)
    made.start()
    return made


def pull(board, url):
    """swupdate -d as a board runs it: download, install, exit."""
    return run_with_one_retry(board.swupdate_command() + ["-d", f"-u {url}"], board.environment(),
                              board.dir / "swupdate-pull.log")


def publish(board, nginx, name, data=None):
    """Puts the board's package (or `data`) on the server; its URL."""
    path = nginx.root / name
    path.write_bytes(data if data is not None else board.package(NEW, NONFS).read_bytes())
    return f"http://127.0.0.1:{nginx.port}/{name}"


def test_good_package_pulled_installs_and_verifies(board, nginx):
    done = pull(board, publish(board, nginx, "nk-2.4.swu"))
    assert done.status == 0, done.log
    assert "SWUPDATE successful" in done.log
    assert board.verify(NEW)


class CuttingRelay:
    """Between swupdate and nginx: passes bytes both ways, and closes the
    first connection that has carried `cut` bytes from the server, right
    there, as a link that drops. Later connections pass whole."""

    def __init__(self, upstream_port, cut):
        self.upstream_port, self.cut = upstream_port, cut
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.done = False
        threading.Thread(target=self.serve, daemon=True).start()

    def serve(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.upstream_port))
            threading.Thread(target=self.pump, args=(client, server, False), daemon=True).start()
            threading.Thread(target=self.pump, args=(server, client, True), daemon=True).start()

    def pump(self, source, sink, from_server):
        sent = 0
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                with self.lock:
                    cut_here = from_server and not self.done and sent + len(data) >= self.cut
                    if cut_here:
                        self.done = True
                if cut_here:
                    sink.sendall(data[:self.cut - sent])
                    break
                sink.sendall(data)
                sent += len(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            end.close()

    def close(self):
        self.listener.close()


def test_download_cut_half_way_resumes_and_verifies(board, nginx):
    url = publish(board, nginx, "nk-2.4.swu")
    size = (nginx.root / "nk-2.4.swu").stat().st_size
    relay = CuttingRelay(nginx.port, size // 2)
    try:
        done = pull(board, url.replace(f":{nginx.port}/", f":{relay.port}/"))
    finally:
        relay.close()
    assert relay.done, "no connection was cut"
    assert done.status == 0, done.log
    assert board.verify(NEW)
    # The second request asked for the rest, and nginx sent only that.
    resumed = [line for line in nginx.access_log.read_text().splitlines() if " 206 " in line]
    assert len(resumed) == 1, nginx.access_log.read_text()
    start = int(resumed[0].split('"bytes=')[1].split("-")[0])
    assert 0 < start <= size // 2
    assert resumed[0].endswith(f" {size - start}")


def truncated(board, nginx):
    package = board.package(NEW, NONFS).read_bytes()
    return publish(board, nginx, "nk-2.4.swu", package[:len(package) // 2])


def missing(board, nginx):
    publish(board, nginx, "nk-2.4.swu")
    return f"http://127.0.0.1:{nginx.port}/nk-2.5.swu"


def server_down(board, nginx):
    url = publish(board, nginx, "nk-2.4.swu")
    nginx.stop()
    assert not listening(nginx.port)
    return url


# Each row: how the download goes wrong, and swupdate's line for it.
FAILED_DOWNLOADS = [
    pytest.param(truncated, "HASH mismatch", id="truncated-package"),
    pytest.param(missing, "Channel operation returned HTTP error code 404.", id="404"),
    pytest.param(server_down, "Channel get operation aborted because of too many failed download attempts",
                 id="server-down"),
]


@pytest.mark.parametrize("make_url, said", FAILED_DOWNLOADS)
def test_failed_download_leaves_the_flash_then_a_good_pull_installs(board, nginx, make_url, said):
    board.install_directly(OLD, NONFS)
    before = board.flash.read_bytes()
    board.requests.unlink()
    done = pull(board, make_url(board, nginx))
    assert done.status == 1, done.log
    assert said in done.log
    assert "SWUPDATE successful" not in done.log
    assert board.flash_requests() == []
    assert board.flash.read_bytes() == before
    assert board.verify(OLD)

    # The board takes the next good package as usual.
    if not listening(nginx.port):
        nginx.start()
    done = pull(board, publish(board, nginx, "nk-2.6.swu"))
    assert done.status == 0, done.log
    assert board.verify(NEW)
