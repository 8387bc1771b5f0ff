"""The board's update page (swupdate -w with swupdate-www) in headless
Chromium: a technician drops a package on it and reads the result."""
import json
import re
import shutil
import tempfile
import time

import pytest

from conftest import OUTPUT, free_port
from swupdate_board import DEVICE, expected_bar, image, with_bad_checksum

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.chrome.service import Service  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402

DOCUMENT_ROOT = "/usr/share/swupdate/www"
NEW = image(seed=2)
NONFS = 64
# How long an upload and install may take here before the test gives up:
# a few seconds are usual, only a hang gets there.
RESULT_TIMEOUT = 90

# Runs in the page before its own scripts: keeps every websocket frame, every
# text the progress value showed, and every alert that was shown, even one a
# later frame hides again.
RECORDER = r"""
window.recorded = {frames: [], shown: [], alerts: []};
const NativeWebSocket = window.WebSocket;
window.WebSocket = function (url, protocols) {
  const socket = protocols === undefined ? new NativeWebSocket(url) : new NativeWebSocket(url, protocols);
  socket.addEventListener('message', event => window.recorded.frames.push(event.data));
  return socket;
};
window.WebSocket.prototype = NativeWebSocket.prototype;
document.addEventListener('DOMContentLoaded', () => {
  const value = document.getElementById('swu-progress-value');
  new MutationObserver(() => window.recorded.shown.push(value.textContent))
    .observe(value, {childList: true, characterData: true, subtree: true});
  for (const id of ['swu-success', 'swu-failure', 'swu-done']) {
    const alert = document.getElementById(id);
    new MutationObserver(() => {
      if (alert.style.display !== 'none') window.recorded.alerts.push(id);
    }).observe(alert, {attributes: true, attributeFilter: ['style']});
  }
});
"""


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    profile = tempfile.mkdtemp(prefix="chromium.")
    for argument in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     f"--user-data-dir={profile}", "--window-size=1200,1900"]:
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                              options=options)
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": RECORDER})
    yield driver
    driver.quit()
    shutil.rmtree(profile, ignore_errors=True)


class Page:
    """The update page of one board, open in the browser."""

    def __init__(self, driver, url):
        self.driver = driver
        driver.get(url)
        # The page says "Update not started." once its websocket is open.
        self.wait(lambda: driver.find_element(By.ID, "swu-idle").is_displayed(), 20, "the page's websocket to open")

    def wait(self, condition, seconds, what):
        deadline = time.monotonic() + seconds
        while not condition():
            if time.monotonic() > deadline:
                pytest.fail(f"waited {seconds} s for {what}; frames so far: {self.frames()}")
            time.sleep(0.1)

    def recorded(self, name):
        return self.driver.execute_script(f"return window.recorded.{name}")

    def frames(self, since=0):
        return [json.loads(frame) for frame in self.recorded("frames")[since:]]

    def results(self, since=0):
        return [f["status"] for f in self.frames(since) if f["type"] == "status" and f["status"] in ("SUCCESS", "FAILURE")]

    def drop(self, package):
        """Drops the package on the page, as a technician would (the drop
        area's file input), and waits for the install's result: the status
        frames, not the upload's HTTP answer, say how it ended. Chromium sends
        an upload again when swupdate hangs up on a package it refuses, so
        the page then waits until swupdate has been quiet for a while."""
        since = len(self.recorded("frames"))
        self.driver.find_element(By.CSS_SELECTOR, "input.dz-hidden-input").send_keys(str(package))
        self.wait(lambda: self.results(since), RESULT_TIMEOUT, "the install's result")
        self.wait_until_quiet()
        return since

    def wait_until_quiet(self, seconds=1.5):
        count, quiet_since = -1, time.monotonic()
        while time.monotonic() - quiet_since < seconds:
            now = len(self.recorded("frames"))
            if now != count:
                count, quiet_since = now, time.monotonic()
            time.sleep(0.1)

    def messages(self):
        """The Messages panel: (text, shown in red) for each line."""
        return [tuple(m) for m in self.driver.execute_script(
            "return Array.from(document.querySelectorAll('#messages p'))"
            ".map(p => [p.textContent, p.classList.contains('text-danger')])")]

    def alert(self, element_id):
        """The text of one of the page's alerts, shown or not."""
        return self.driver.find_element(By.ID, element_id).get_attribute("textContent").strip()

    def bar_values(self):
        """The percentages the progress value showed for the image, in order."""
        values = []
        for text in self.recorded("shown"):
            found = re.match(r"^(\d+)% \(1 of 1\)$", text)
            if found:
                values.append(int(found.group(1)))
        return values

    def screenshot(self, name):
        """The page with its Messages panel open, into the tier's output folder."""
        self.driver.find_element(By.CSS_SELECTOR, "#headingMessages a").click()
        self.wait(lambda: self.driver.find_element(By.ID, "collapseMessages").get_attribute("class")
                  .split().count("show") == 1, 5, "the Messages panel to open")
        time.sleep(0.5)
        folder = OUTPUT / "screenshots"
        folder.mkdir(parents=True, exist_ok=True)
        self.driver.save_screenshot(str(folder / f"{name}.png"))


# swupdate's configuration for the web page: the post-update command (-p) is
# a board's reboot; after a web upload swupdate runs it at once unless told not to.
NO_POSTUPDATE = 'globals :\n{\n};\nwebserver :\n{\n\trun-postupdate = false;\n};\n'
DEFAULT = 'globals :\n{\n};\n'


@pytest.fixture
def open_page(board, browser, servers):
    """Starts the board's swupdate with its web server (-l 3: errors,
    warnings and information on the page, no debug lines) and opens its page."""

    def start(configuration=NO_POSTUPDATE):
        board.config.write_text(configuration)
        port = free_port()
        marker = board.dir / "post-update-ran"
        command = board.swupdate_command(logging=("-l", "3")) + [
            "-p", f"touch {marker}", "-w", f"-r {DOCUMENT_ROOT} -p 127.0.0.1:{port}"]
        server = servers(command, board.dir / "swupdate-web.log", board.environment())
        server.wait_until_listening(port)
        return Page(browser, f"http://127.0.0.1:{port}/"), marker

    return start


def red(messages):
    return {text for text, in_red in messages if in_red}


@pytest.mark.parametrize("configuration, postupdate_runs", [
    pytest.param(NO_POSTUPDATE, False, id="run-postupdate-false"),
    # What the README warns about: the same upload with swupdate's default
    # configuration runs the post-update command at once.
    pytest.param(DEFAULT, True, id="default-configuration"),
])
def test_good_package_installs_from_the_page(board, open_page, request, configuration, postupdate_runs):
    page, marker = open_page(configuration)
    since = page.drop(board.package(NEW, NONFS))
    page.screenshot(request.node.name)
    assert page.results(since) == ["SUCCESS"], page.frames(since)
    assert "swu-success" in page.recorded("alerts")
    assert page.alert("swu-success") == "Updated successfully."
    assert board.verify(NEW), "the flash does not verify against the image"
    # swupdate's own copy of the image counts 0 to 100 first; then the
    # handler's bar: check, plan, drimlet's writing block by block, verify.
    values = page.bar_values()
    assert 100 in values, values
    assert values[values.index(100) + 1:] == expected_bar(NEW), values
    assert (f"drimlet: nk.bin installed on {DEVICE} and verified", False) in [
        (text.removeprefix("[notify_helper] : "), in_red) for text, in_red in page.messages()]
    assert not red(page.messages())
    assert marker.exists() == postupdate_runs
    # After the post-update command the page says "Restarting system.".
    assert ("swu-done" in page.recorded("alerts")) == postupdate_runs
    assert page.alert("swu-done") == "Restarting system."


def refused_by_check(data, nonfs):
    """A package mkswu would refuse, built with --force."""
    def make(board):
        done, out = board.mkswu(data, nonfs, extra=["--force"])
        assert done.returncode == 0, done.stderr
        # The name the technician sees on the page.
        return out.rename(out.with_name("refused-by-check.swu"))
    return make


# Each row: the package drimlet refuses, and every line the page shows in red.
DRIMLET_REFUSALS = [
    pytest.param(refused_by_check(NEW, 1), {
        "ERROR : drimlet: check: non-Filesystem partition of 1048576 bytes (blocks 2..8), no bad blocks: "
        "room for 7 image blocks: does not fit",
        "ERROR : drimlet: check: the image would not install: 23 image blocks, the non-Filesystem partition "
        "has room for 7",
        "ERROR : drimlet: check failed with status 1; update refused, flash untouched",
        "Installation failed !"}, id="nonfs-too-small"),
    pytest.param(refused_by_check(with_bad_checksum(NEW), NONFS), {
        "ERROR : drimlet: check: record 5 at 0x803312d0, 250000 bytes, checksum 0x01e59983: does not match "
        "(the data sums to 0x01e59984)",
        "ERROR : drimlet: check: the image would not install: 1 of 12 record checksums do not match",
        "ERROR : drimlet: check failed with status 1; update refused, flash untouched",
        "Installation failed !"}, id="bad-record-checksum"),
]


@pytest.mark.parametrize("make_package, in_red", DRIMLET_REFUSALS)
def test_refusal_reads_well_and_leaves_the_flash(board, open_page, request, make_package, in_red):
    board.install_directly(image(seed=1), NONFS)
    before = board.flash.read_bytes()
    board.requests.unlink()
    page, marker = open_page()
    since = page.drop(make_package(board))
    page.screenshot(request.node.name)
    assert set(page.results(since)) == {"FAILURE"}, page.frames(since)
    assert "swu-failure" in page.recorded("alerts")
    assert page.alert("swu-failure") == "Update failed."
    # The reason in a few red lines; the rest of drimlet's output is not red.
    assert red(page.messages()) == in_red, page.messages()
    assert board.flash_requests() == []
    assert board.flash.read_bytes() == before
    assert not marker.exists()


# Each row: a package swupdate refuses before the handler runs, and the red
# line that says why.
SWUPDATE_REFUSALS = [
    pytest.param(lambda board: board.package(NEW, NONFS, signer="other"),
                 "ERROR : Authentication of all signatures failed", id="signed-with-another-key"),
    pytest.param(lambda board: board.package(NEW, NONFS, hardware="2.0"),
                 "ERROR : SW not compatible with hardware", id="another-hardware-revision"),
]


@pytest.mark.parametrize("make_package, reason", SWUPDATE_REFUSALS)
def test_refused_package_then_the_right_one(board, open_page, request, make_package, reason):
    """A technician drops the wrong package, sees why, then drops the right one."""
    board.install_directly(image(seed=1), NONFS)
    before = board.flash.read_bytes()
    board.requests.unlink()
    page, marker = open_page()
    since = page.drop(make_package(board))
    page.screenshot(request.node.name)
    assert set(page.results(since)) == {"FAILURE"}, page.frames(since)
    assert "swu-failure" in page.recorded("alerts")
    assert reason in red(page.messages()), page.messages()
    assert not [text for text, _ in page.messages() if "drimlet:" in text], "the handler ran"
    assert board.flash_requests() == []
    assert board.flash.read_bytes() == before

    since = page.drop(board.package(NEW, NONFS))
    assert page.results(since) == ["SUCCESS"], page.frames(since)
    assert board.verify(NEW)
