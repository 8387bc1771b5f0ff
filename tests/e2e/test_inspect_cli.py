"""drimlet-inspect's command line works like drimlet's: --help and --version
on standard output with status 0; a command line that cannot run says what
is wrong, then the usage, with status 1; "-" as dump's output is standard
output, but never a terminal. A dump read with the wrong geometry says so."""
import json
import os
import pty
import re
import subprocess
from pathlib import Path

import pytest

from conftest import INSPECT, QEMU, Geometry
from mkbin import bin_image
from test_inspect import run_inspect
from test_install import START, records_for

pytestmark = pytest.mark.skipif(not os.path.exists(INSPECT), reason="drimlet-inspect not built")

VERSION = re.search(r"project\(drimlet VERSION (\S+)", (Path(__file__).parents[2] / "CMakeLists.txt").read_text())[1]
USAGE = run_inspect("--help").stdout


def test_help_and_version_go_to_standard_output():
    assert USAGE.startswith("Usage: drimlet-inspect ") and " map " in USAGE
    assert run_inspect("--help").returncode == 0
    version = run_inspect("--version")
    assert (version.returncode, version.stdout, version.stderr) == (0, f"drimlet-inspect {VERSION}\n", "")


@pytest.mark.parametrize("args,problem", [
    (["plan", "/dev/mtd3", "nk.bin"], "drimlet-inspect: plan needs -n"),
    ([], "drimlet-inspect: no command: check, plan, show, verify, map or dump"),
    (["frob", "x"], 'drimlet-inspect: unknown command "frob"'),
    (["show"], "drimlet-inspect: show needs MTD|DUMP"),
    (["map", "a", "b"], "drimlet-inspect: map needs MTD|DUMP"),
    (["verify", "/dev/mtd3"], "drimlet-inspect: verify needs MTD|DUMP NKFILE"),
    (["dump", "/dev/mtd3", "out.bin"], "drimlet-inspect: dump needs --start"),
    (["--json", "--start", "0x80200000", "dump", "/dev/mtd3", "out.bin"],
     "drimlet-inspect: dump has no --json: its output is the image"),
    (["--bad", "3,x", "show", "flash.bin"], "drimlet-inspect: --bad needs erase block numbers and ranges, like 28,100-120"),
    (["--start", "0x100000000", "dump", "/dev/mtd3", "out.bin"],
     "drimlet-inspect: --start needs an address below 4 GiB, like 0x80200000"),
    (["--erase", "12Q", "check", "nk.bin"], "drimlet-inspect: --erase needs a size, like 128K"),
    (["--page", "0", "show", "flash.bin"], "drimlet-inspect: --page needs a size, like 2K"),
    (["--bogus", "show", "flash.bin"], "unrecognized option '--bogus'"),
])
def test_a_usage_error_names_the_problem_then_the_usage(tmp_path, args, problem):
    done = subprocess.run(QEMU + [INSPECT] + args, capture_output=True, text=True, cwd=tmp_path)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr.endswith(USAGE)
    assert done.stderr[:-len(USAGE)].rstrip("\n").endswith(problem), done.stderr
    assert not list(tmp_path.iterdir())  # nothing was run


G = Geometry(16 << 20, 128 << 10, 2048)
DUMP_GEOMETRY = ["--erase", "128K", "--page", "2K", "--bad", "110,28"]


@pytest.fixture
def flash(bench):
    image = bin_image(START, records_for(9, 1 << 20, G.erase))
    installed = bench.run(G, ["-n", 14, "/dev/mtd3", "{image}"], image=image, sim_args=["--bad", "110,28"])
    assert installed.status == 0, installed.err
    return bench.flash


def test_dump_to_standard_output_is_the_dump_to_a_file(flash, tmp_path):
    to_file = run_inspect(*DUMP_GEOMETRY, "--start", hex(START), "dump", flash, tmp_path / "d.bin")
    assert to_file.returncode == 0, to_file.stderr
    piped = subprocess.run(QEMU + [INSPECT, *DUMP_GEOMETRY, "--start", hex(START), "dump", str(flash), "-"],
                           capture_output=True)
    assert piped.returncode == 0, piped.stderr
    assert piped.stdout == (tmp_path / "d.bin").read_bytes()
    # The report goes to standard error, saying where the image went.
    report = piped.stderr.decode().splitlines()
    assert set(to_file.stdout.replace(str(tmp_path / "d.bin"), "standard output").splitlines()) <= set(report)
    assert not (Path.cwd() / "-").exists()


def test_dump_to_standard_output_refuses_a_terminal(flash):
    controller, tty = pty.openpty()
    done = subprocess.run(QEMU + [INSPECT, *DUMP_GEOMETRY, "--start", hex(START), "dump", str(flash), "-"],
                          stdout=tty, stderr=subprocess.PIPE, text=True)
    os.close(tty)
    os.set_blocking(controller, False)
    try:
        written = os.read(controller, 65536)
    except OSError:  # EAGAIN or EIO: nothing was written
        written = b""
    os.close(controller)
    assert done.returncode == 1 and written == b""
    assert done.stderr == 'drimlet-inspect: standard output is a terminal: redirect it to a file or a pipe to dump to "-"\n'


WARNING = ("warning: the partition table at 0x00380000 lists 9 blocks, {}: the dump's geometry "
           "(--erase 16384 --page 512) may be wrong")


@pytest.mark.parametrize("geometry,warned", [
    (["--erase", "128K", "--page", "2K"], False),
    (["--erase", "16K", "--page", "512"], True),  # a 128 KiB dump read as 16 KiB blocks
])
def test_a_dump_read_with_the_wrong_geometry_says_so(bench, geometry, warned):
    image = bin_image(START, records_for(9, 1 << 20, G.erase))
    installed = bench.run(G, ["-n", 14, "/dev/mtd3", "{image}"], image=image)  # no bad block: table at 3.5 MiB
    assert installed.status == 0, installed.err
    show = run_inspect(*geometry, "show", bench.flash)
    assert show.returncode == 0  # a table is there
    assert (show.stdout.splitlines()[-1] == "show: " + WARNING.format("9 erased")) == warned, show.stdout
    doc = json.loads(run_inspect("--json", *geometry, "show", bench.flash).stdout)
    assert (doc["geometry_warning"] is not None) == warned
    verify = run_inspect(*geometry, "verify", bench.flash, bench.tmp / "nk.bin")
    assert verify.returncode == (1 if warned else 0), verify.stdout
    assert any(line.startswith("verify: " + WARNING.split("{}")[0]) for line in verify.stdout.splitlines()) == warned
    doc = json.loads(run_inspect("--json", *geometry, "verify", bench.flash, bench.tmp / "nk.bin").stdout)
    assert any("may be wrong" in w for w in doc["warnings"]) == warned and doc["ok"] is not warned
    mapped = run_inspect(*geometry, "map", bench.flash)
    assert any(line.startswith("map: warning: ") for line in mapped.stdout.splitlines()) == warned


@pytest.mark.parametrize("size", [G.size - 2048, G.size + 1])
def test_a_dump_that_is_no_whole_number_of_erase_blocks_is_refused(tmp_path, size):
    dump = tmp_path / "dump.bin"
    dump.write_bytes(b"\xff" * size)
    for command in (["show", dump], ["map", dump], ["verify", dump, dump]):
        done = run_inspect("--erase", "128K", "--page", "2K", *command)
        assert done.returncode == 1
        assert done.stderr == (f"drimlet-inspect: {dump} is {size} bytes, not a whole number of 131072-byte "
                               "erase blocks: is --erase right?\n")
