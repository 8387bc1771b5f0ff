"""Every device request of a normal install, failed in every way mtdsim can
fail it: the install either copes (and the flash is exactly right) or ends
with status 1 and the right message; never status 0 over wrong bytes, never a
write where none belongs (mtdsim's NAND rules make any such run exit 99)."""
import pytest

from conftest import Geometry, device_report
from mkbin import bin_image
import model
from test_install import START

G = Geometry(8 << 20, 128 << 10, 2048)
E = G.erase
BAD = {55, 28}
RECORDS = [(START + k * E + 300 * k, bytes([k + 1, 0x5A]) * 700) for k in range(4)]
BLOCKS = model.lay_out(START, RECORDS, E)
HEADER = f"Image base address {START:08x}, size {max(a + len(d) for a, d in RECORDS) - START}\n"
KINDS = ["eio", "eintr", "short", "zero"]


def expected_success(bad, erase_failed):
    """stderr and flash of an install that copes with these unusable blocks."""
    err, placed, candidate = HEADER, [], 56
    while len(placed) < len(BLOCKS):
        if candidate in bad:
            err += f"Bad block at {candidate * E:08x}, skipping...\n"
        elif candidate in erase_failed:
            err += f"Erase failed at {candidate * E:08x}, skipping...\n"
        else:
            placed.append(candidate)
        candidate -= 1
    err += f"Image written, {len(BLOCKS)} erase blocks...\n"
    table_block = 28
    while table_block in bad or table_block in erase_failed:
        word = "Bad block" if table_block in bad else "Erase failed"
        err += f"{word} at {table_block * E:08x}, skipping...\n"
        table_block += 1
    err += "Partition table written...\n"
    flash = model.expected_flash(G.size, E, BLOCKS, placed, table_block, model.table_page(placed, 2048))
    return err, flash


def baseline_requests():
    """The device requests of the fault-free install, each with its index."""
    import tempfile
    from pathlib import Path
    from conftest import Bench
    with tempfile.TemporaryDirectory() as tmp:
        outcome = Bench(Path(tmp)).run(
            G, ["-n", 7, "/dev/mtd3", "-"], stdin=bin_image(START, RECORDS), sim_args=["--bad", "55,28"])
    assert outcome.status == 0, outcome.err
    assert (outcome.err, outcome.flash) == expected_success(BAD, set())
    return [line for line in outcome.log
            if not line.startswith(("#0 ", "VIOLATION")) and line.split()[1] != "close"]


def pytest_generate_tests(metafunc):
    # One test case per request and kind, so one failure cannot hide others.
    if "request_line" in metafunc.fixturenames:
        lines = baseline_requests()
        # Requests before the first erase that look at the partition table
        # block belong to the lookup of an old partition table.
        first_unlock = next(i for i, line in enumerate(lines) if line.split()[1] == "MEMUNLOCK")
        lines = [line + (" lookup" if i < first_unlock and " 0x003" in line else "")
                 for i, line in enumerate(lines)]
        assert len(lines) >= 25
        metafunc.parametrize("request_line,kind", [(line, kind) for line in lines for kind in KINDS],
                             ids=[f"{line.split()[0]}-{line.split()[1]}-{kind}" for line in lines for kind in KINDS])


def test_fault(bench, request_line, kind):
    image = bin_image(START, RECORDS)
    index, request, *args = request_line.split()
    lookup = args[-1] == "lookup"
    where = int(args[0], 16) // E if args and args[0].startswith("0x") else None
    outcome = bench.run(G, ["-n", 7, "/dev/mtd3", "-"], stdin=image,
                        sim_args=["--bad", "55,28", "--fault", f"{index[1:]}:{kind}"])
    label = f"{request_line} with {kind}: status {outcome.status}\n{outcome.err}"
    if request == "MEMGETINFO":
        assert (outcome.status, outcome.out, outcome.err) == (
            1, "", "Failed to get info of MTD device /dev/mtd3\n"), label
        return
    assert outcome.out == device_report(G), label
    table_phase = where is not None and where < 50  # image blocks are 56..51, the table 29
    if lookup:
        # A lookup that fails (a query, seek or read) leaves the block alone:
        # on this fresh chip there is no old partition table anyway.
        expected = expected_success(BAD, set())
    elif request == "MEMGETBADBLOCK":
        expected = expected_success(BAD | {where}, set())
    elif request == "MEMERASE":
        expected = expected_success(BAD, {where})
    elif request == "MEMUNLOCK" or (request == "write" and kind in ("eintr", "short")):
        expected = expected_success(BAD, set())
    else:  # a failed seek, or a write that fails or makes no progress
        message = "Write of partition table failed\n" if table_phase else "Write erase block failed\n"
        assert outcome.status == 1 and outcome.err.endswith(message), label
        return
    assert outcome.status == 0, label
    assert (outcome.err, outcome.flash) == expected, label
