"""swupdate packages built by mkswu, installed by the drimlet handler on simulated NAND."""
import os
import socket
import struct
import subprocess
import time

import pytest

from swupdate_board import (DEVICE, ERASE, Result, cpio_members, end_process_group, ends_within, expected_bar, image,
                            run_with_one_retry, with_bad_checksum)

OLD = image(seed=1)
NEW = image(seed=2)
# With -n 64 and 128 KiB erase blocks, image block k goes to device block
# 512 - k, and the partition table to block 28 (0x380000).
NONFS = 64
TABLE_BLOCK = 0x380000 // ERASE


def flash_state(board, old):
    """Which install the flash holds. Only the first three let the board's loader
    either boot a whole image or know there is none."""
    if not board.has_partition_table():
        return "no partition table"
    if board.verify(NEW):
        return "new install"
    if old is not None and board.verify(old):
        return "old install"
    return "partition table over blocks of neither image"


SAFE_STATES = {"no partition table", "new install", "old install"}
EARLIER = pytest.mark.parametrize("old", [None, OLD], ids=["erased-flash", "over-earlier-install"])


@EARLIER
def test_signed_package_installs_and_verifies(board, old):
    if old is not None:
        board.install_directly(old, NONFS)
    # erase-size goes to check's --erase; the other tests leave it out.
    done = board.swupdate(board.package(NEW, NONFS, extra=["--erase-size", "128K"]))
    assert done.status == 0, done.log
    assert "check --erase 128K -n 64" in done.log
    assert "SWUPDATE successful" in done.log
    # drimlet's own standard error reaches swupdate's log.
    assert "Partition table written..." in done.log
    assert "drimlet: nk.bin installed on /dev/mtd3 and verified" in done.log
    assert board.verify(NEW)
    assert board.has_partition_table()


def changed_after_signing(board):
    """The package with one byte of its image flipped; sw-description and its signature stay."""
    package = board.package(NEW, NONFS)
    (_, start, size), = [m for m in cpio_members(package) if m[0] == "nk.bin"]
    data = bytearray(package.read_bytes())
    data[start + size // 2] ^= 0x01
    package.write_bytes(bytes(data))
    return package


def with_description_edit(board, before, after):
    """A correctly signed package whose sw-description says `after` where mkswu wrote `before`."""
    package = board.package(NEW, NONFS)
    (_, start, size), = [m for m in cpio_members(package) if m[0] == "sw-description"]
    description = package.read_bytes()[start:start + size].decode()
    assert before in description
    return board.custom_package(description.replace(before, after), NEW)


def too_few_good_blocks(board):
    # -n 8 leaves blocks 29..64 above the partition table for 23 image blocks;
    # 14 bad blocks there make it too small. Only the device knows its bad
    # blocks: check cannot see this, plan can.
    board.faults(["--bad", ",".join(str(b) for b in range(40, 54))])
    return board.package(NEW, 8)


# Each row: how the package is wrong, and the log line that proves the refusal
# came from the step meant to catch it.
REFUSALS = [
    pytest.param(lambda board: board.package(NEW, NONFS, signer="other"),
                 "Authentication of all signatures failed", id="signed-with-another-key"),
    pytest.param(lambda board: board.package(NEW, NONFS, signer=None),
                 "description file name not the first of the list", id="unsigned"),
    pytest.param(changed_after_signing, "HASH mismatch", id="image-changed-after-signing"),
    # drimlet would read "64M" as 64 and "0x40" as 0: the handler takes plain MiB only.
    pytest.param(lambda board: with_description_edit(board, 'nonfs-mib = "64"', 'nonfs-mib = "0x40"'),
                 "nonfs-mib must be a whole number of MiB from 1 to 4095, not 0x40", id="nonfs-mib-in-hex"),
    pytest.param(too_few_good_blocks, "drimlet: plan failed", id="too-few-good-blocks"),
]


@pytest.mark.parametrize("make_package, reason", REFUSALS)
def test_refused_before_the_flash_is_touched(board, make_package, reason):
    assert_refused_before_the_flash_is_touched(board, make_package, reason)


def assert_refused_before_the_flash_is_touched(board, make_package, reason):
    board.install_directly(OLD, NONFS)
    before = board.flash.read_bytes()
    board.requests.unlink()
    done = board.swupdate(make_package(board))
    assert done.status != 0, done.log
    assert "SWUPDATE successful" not in done.log
    assert reason in done.log, done.log
    assert board.flash_requests() == []
    assert board.flash.read_bytes() == before
    assert board.has_partition_table()
    assert board.verify(OLD)


# Packages every board refuses for a reason known when the package is built.
# Each row: the image, -n, --device, what mkswu says, and the handler's step
# that refuses the package when --force has it built all the same.
BUILD_TIME_REFUSALS = [
    pytest.param(with_bad_checksum(NEW), NONFS, DEVICE,
                 "a board would refuse the image: drimlet-inspect check -n 64 ", "drimlet: check failed",
                 id="bad-record-checksum"),
    pytest.param(NEW[:len(NEW) // 2], NONFS, DEVICE,
                 "check: the image would not install: the image ends inside a record's data",
                 "drimlet: check failed", id="truncated-image"),
    # -n 1: blocks 2..8 hold 7 of the 23 image blocks.
    pytest.param(NEW, 1, DEVICE, "the non-Filesystem partition has room for 7", "drimlet: check failed",
                 id="nonfs-1"),
    pytest.param(NEW, NONFS, "mtd3", "a board would refuse --device mtd3: the handler installs onto an MTD "
                 "character device, /dev/mtdN", "drimlet: plan failed", id="device-without-dev"),
]


@pytest.mark.parametrize("data, nonfs, device, said, refused_by", BUILD_TIME_REFUSALS)
def test_mkswu_refuses_what_a_board_refuses(board, data, nonfs, device, said, refused_by):
    done, out = board.mkswu(data, nonfs, device=device)
    assert done.returncode == 1
    *reasons, last = done.stderr.splitlines()
    assert last == "mkswu: no package written (--force writes it all the same)"
    assert len(reasons) == 1 and reasons[0].startswith("mkswu: a board would refuse ") and said in reasons[0]
    assert not out.exists()

    forced = {}

    def forced_package(board):
        done, out = board.mkswu(data, nonfs, device=device, extra=["--force"])
        forced["stderr"] = done.stderr
        assert done.returncode == 0, done.stderr
        return out

    # Built all the same, the package is refused on the board, as mkswu said.
    assert_refused_before_the_flash_is_touched(board, forced_package, refused_by)
    assert forced["stderr"].splitlines() == [reasons[0].replace("mkswu: ", "mkswu: --force: writing the package all "
                                                                "the same: ", 1)]


# Faults plan cannot foresee, so the install starts and fails part way.
# Each row: mtdsim options, -n, and the line drimlet prints for it.
PART_WAY = [
    # A block whose program fails is marked bad and replaced; a fifth one in
    # a run is one too many.
    pytest.param(["--fail-write", f"0-{512 - 7}"], NONFS, "Too many failing blocks: is the chip write-protected?",
                 id="image-block-writes-fail-past-the-cap"),
    # -n 3: blocks 2..24 hold exactly the 23 image blocks, so one block that
    # cannot be erased leaves the last image block without a home.
    pytest.param(["--fail-erase", 20], 3, "Erase failed at 00280000, skipping...",
                 id="erase-failure-leaves-too-few-blocks"),
    # The partition table's block fails and cannot be marked bad, so the
    # loader would still read it.
    pytest.param(["--fail-write", TABLE_BLOCK, "--fail-markbad", TABLE_BLOCK], NONFS,
                 f"Failed to mark block at {TABLE_BLOCK * ERASE:08x} bad", id="partition-table-block-cannot-be-marked"),
]


@EARLIER
@pytest.mark.parametrize("sim_args, nonfs, message", PART_WAY)
def test_install_failing_part_way_leaves_a_safe_flash(board, old, sim_args, nonfs, message):
    if old is not None:
        board.install_directly(old, NONFS)
        board.requests.unlink()
    board.faults(sim_args)
    done = board.swupdate(board.package(NEW, nonfs))
    assert done.status != 0, done.log
    assert "SWUPDATE successful" not in done.log
    assert "drimlet: install failed with status 1 on /dev/mtd3" in done.log, done.log
    assert message in done.log
    assert board.flash_requests(), "the install never reached the flash"
    assert flash_state(board, old) in SAFE_STATES


# struct progress_msg of swupdate's progress socket (include/progress_ipc.h).
PROGRESS = struct.Struct("@IIIQIII256s64sII2048s")
PROGRESS_SIZE = PROGRESS.size + (-PROGRESS.size % 8)
SUCCESS, FAILURE = 3, 4


def wait_for(path, seconds=20):
    deadline = time.monotonic() + seconds
    while not path.exists():
        if time.monotonic() > deadline:
            raise TimeoutError(path)
        time.sleep(0.05)


def test_progress_reaches_the_progress_interface(board):
    """The daemon path a fleet client uses: swupdate waiting for packages, one sent
    through its control socket, progress read from its progress socket."""
    package = board.package(NEW, NONFS)
    client = None
    # Output to files and process groups of their own: a child swupdate
    # leaves behind must neither hold a pipe of ours open nor outlive the test.
    with open(board.dir / "daemon.log", "w") as log:
        daemon = subprocess.Popen(board.swupdate_command(), env=board.environment(), stdin=subprocess.DEVNULL,
                                  stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
    try:
        wait_for(board.tmpdir / "swupdateprog")
        wait_for(board.tmpdir / "sockinstctrl")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.connect(str(board.tmpdir / "swupdateprog"))
        listener.settimeout(60)
        # swupdate blocks on a progress listener that does not read: read
        # while the client sends.
        with open(board.dir / "client.log", "w") as client_log:
            client = subprocess.Popen(["swupdate-client", str(package)], env=board.environment(),
                                      stdin=subprocess.DEVNULL, stdout=client_log, stderr=subprocess.STDOUT,
                                      start_new_session=True)
        messages, data = [], b""
        while not messages or messages[-1][0] not in (SUCCESS, FAILURE):
            chunk = listener.recv(65536)
            assert chunk, "progress socket closed before the update ended"
            data += chunk
            while len(data) >= PROGRESS_SIZE:
                fields = PROGRESS.unpack_from(data)
                data = data[PROGRESS_SIZE:]
                messages.append((fields[1], fields[6], fields[8].split(b"\0")[0].decode()))
        listener.close()
        assert ends_within(client, 120), "swupdate-client did not end"
        # The client fails when swupdate hangs up before it has sent the
        # archive's last bytes (padding swupdate reads in one go): mkswu's
        # packages end with the trailer.
        assert end_process_group(client) == 0, (board.dir / "client.log").read_text()
    finally:
        if client is not None:
            end_process_group(client)
        daemon.terminate()
        ends_within(daemon, 30)
        end_process_group(daemon)
    assert messages[-1][0] == SUCCESS, (board.dir / "daemon.log").read_text()
    ours = [percent for status, percent, handler in messages if handler == "drimlet"]
    # Extracting the image counts up to 100 on its own; then the bar starts
    # over for the four steps, and moves with every percent drimlet reports
    # while it writes.
    steps = []
    for percent in ours[ours.index(100) + 1:] if 100 in ours else []:
        if not steps or steps[-1] != percent:
            steps.append(percent)
    assert steps == expected_bar(NEW), ours


def test_a_hang_is_retried_once_and_strays_are_ended(tmp_path):
    """The tier's own guard against swupdate's stray child and hangs, on
    stand-ins: a child left behind holding the output is ended, a first hang
    is retried with a warning, a second one fails."""
    log = tmp_path / "out.log"
    # A stray that would hold a pipe open for 300 s; the command itself ends at once.
    done = run_with_one_retry(["sh", "-c", "sleep 300 & echo $!"], dict(os.environ), log, timeout=60)
    assert done.status == 0
    stray = int(done.log.split()[0])
    deadline = time.monotonic() + 10
    while process_alive(stray):
        assert time.monotonic() < deadline, "the stray child outlived the run"
        time.sleep(0.05)

    flag = tmp_path / "hung-once"
    hangs_once = ["sh", "-c", f'if [ -e "{flag}" ]; then echo second; else : > "{flag}"; exec sleep 300; fi']
    retried = []
    with pytest.warns(UserWarning, match="hung for 1 s and was killed with its process group; running it once more"):
        done = run_with_one_retry(hangs_once, dict(os.environ), log, timeout=1,
                                  before_retry=lambda: retried.append(True))
    assert done == Result(0, "second\n") and retried == [True]

    with pytest.warns(UserWarning), pytest.raises(pytest.fail.Exception, match="hung twice"):
        run_with_one_retry(["sleep", "300"], dict(os.environ), log, timeout=1)


def process_alive(pid):
    """Whether `pid` is still running (a zombie waiting for its parent is not)."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False
