"""The board's update page (swupdate -w with swupdate-www) in headless
Chromium: a technician drops a package on it and reads the result."""
import pytest

from conftest import free_port
from swupdate_board import DEVICE, expected_bar, image, with_bad_checksum
from update_page import DOCUMENT_ROOT, Page

NEW = image(seed=2)
NONFS = 64

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


def drop_refused(board, open_page, request, make_package):
    """Drops a package that must be refused onto a board holding an earlier
    install: the page says the update failed and the flash saw no request.
    Returns the page, the post-update marker and where the drop began."""
    board.install_directly(image(seed=1), NONFS)
    before = board.flash.read_bytes()
    board.requests.unlink()
    page, marker = open_page()
    since = page.drop(make_package(board))
    page.screenshot(request.node.name)
    assert set(page.results(since)) == {"FAILURE"}, page.frames(since)
    assert "swu-failure" in page.recorded("alerts")
    assert board.flash_requests() == []
    assert board.flash.read_bytes() == before
    return page, marker, since


@pytest.mark.parametrize("make_package, in_red", DRIMLET_REFUSALS)
def test_refusal_reads_well_and_leaves_the_flash(board, open_page, request, make_package, in_red):
    page, marker, _ = drop_refused(board, open_page, request, make_package)
    assert page.alert("swu-failure") == "Update failed."
    # The reason in a few red lines; the rest of drimlet's output is not red.
    assert red(page.messages()) == in_red, page.messages()
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
    page, _, _ = drop_refused(board, open_page, request, make_package)
    assert reason in red(page.messages()), page.messages()
    assert not [text for text, _ in page.messages() if "drimlet:" in text], "the handler ran"

    since = page.drop(board.package(NEW, NONFS))
    assert page.results(since) == ["SUCCESS"], page.frames(since)
    assert board.verify(NEW)
