"""swupdate's update page (swupdate-www) driven in headless Chromium."""
import json
import re
import shutil
import time

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from conftest import OUTPUT

DOCUMENT_ROOT = "/usr/share/swupdate/www"
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
        """The install results the page was told of since frame `since`."""
        return [frame["status"] for frame in self.frames(since)
                if frame["type"] == "status" and frame["status"] in ("SUCCESS", "FAILURE")]

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


def start_browser(profile):
    """Headless Chromium for a closed network, with a fresh profile in
    `profile`, recording every page it opens."""
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    # --disable-dev-shm-usage: a container's /dev/shm is often too small for Chromium.
    for argument in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", f"--user-data-dir={profile}", "--window-size=1200,1900"]:
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                              options=options)
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": RECORDER})
    return driver
