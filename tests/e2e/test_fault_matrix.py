"""Every device request of a normal install, failed in every way mtdsim can
fail it: the install either copes (and the flash is exactly right, the
blocks it passed over after a failure marked bad) or ends with status 1 and
the right message; never status 0 over wrong bytes, never a write where none
belongs (mtdsim's NAND rules make any such run exit 99)."""
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


def expected_success(bad, failed=None):
    """stderr and flash of an install that copes with these unusable blocks;
    `failed` maps a block that fails once, and is then marked bad, to what
    failed: "Erase", "Write" or "Verify" (a block that fails its read-back
    keeps what was written)."""
    failed = failed or {}
    err, placed, candidate, kept = HEADER, [], 56, {}

    def passed_over(block):
        return (f"{failed[block]} failed at {block * E:08x}, skipping...\n"
                f"Marked block at {block * E:08x} bad\n")

    while len(placed) < len(BLOCKS):
        if candidate in bad:
            err += f"Bad block at {candidate * E:08x}, skipping...\n"
        elif candidate in failed:
            err += passed_over(candidate)
            if failed[candidate] == "Verify":
                kept[candidate] = BLOCKS[len(placed)]
        else:
            placed.append(candidate)
        candidate -= 1
    err += f"Image written, {len(BLOCKS)} erase blocks...\n"
    table_block, page = 28, model.table_page(placed, 2048)
    while table_block in bad or table_block in failed:
        if table_block in bad:
            err += f"Bad block at {table_block * E:08x}, skipping...\n"
        else:
            err += passed_over(table_block)
            if failed[table_block] == "Verify":
                kept[table_block] = page + b"\xff" * (E - len(page))
        table_block += 1
    err += "Partition table written...\n"
    flash = bytearray(model.expected_flash(G.size, E, BLOCKS, placed, table_block, page))
    for block, data in kept.items():
        flash[block * E:(block + 1) * E] = data
    return err, bytes(flash)


def baseline_requests():
    """The device requests of the fault-free install, each with its index."""
    import tempfile
    from pathlib import Path
    from conftest import Bench
    with tempfile.TemporaryDirectory() as tmp:
        outcome = Bench(Path(tmp)).run(
            G, ["-n", 7, "/dev/mtd3", "-"], stdin=bin_image(START, RECORDS), sim_args=["--bad", "55,28"])
    assert outcome.status == 0, outcome.err
    assert (outcome.err, outcome.flash) == expected_success(BAD)
    return [line for line in outcome.log
            if not line.startswith(("#0 ", "VIOLATION")) and line.split()[1] != "close"]


def pytest_generate_tests(metafunc):
    # One test case per request and kind, so one failure cannot hide others.
    if "request_line" in metafunc.fixturenames:
        lines = baseline_requests()
        # Requests before the first erase that look at the partition table
        # block belong to the lookup of an old partition table; those
        # between a write and the next block's query read the block back.
        first_unlock = next(i for i, line in enumerate(lines) if line.split()[1] == "MEMUNLOCK")
        roles, reading_back = [], False
        for i, line in enumerate(lines):
            request = line.split()[1]
            reading_back = (reading_back or request == "write") and request != "MEMGETBADBLOCK"
            roles.append(" lookup" if i < first_unlock and " 0x003" in line
                         else " readback" if reading_back and request != "write" else "")
        lines = [line + role for line, role in zip(lines, roles)]
        assert len(lines) >= 25
        metafunc.parametrize("request_line,kind", [(line, kind) for line in lines for kind in KINDS],
                             ids=[f"{line.split()[0]}-{line.split()[1]}-{kind}" for line in lines for kind in KINDS])


def test_fault(bench, request_line, kind):
    image = bin_image(START, RECORDS)
    index, request, *args = request_line.split()
    role = args[-1] if args and args[-1] in ("lookup", "readback") else ""
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
    failed_read = kind in ("eio", "zero")
    unusable, failed = BAD, {}
    if role == "lookup" or request in ("MEMUNLOCK", "ECCGETSTATS"):
        # A lookup that fails is as good as a table found: the block is
        # erased, and on this fresh chip it was erased already. Without ECC
        # statistics the read-back still compares the data.
        pass
    elif request == "MEMGETBADBLOCK":
        unusable = BAD | {where}
    elif request == "MEMERASE":
        failed = {where: "Erase"}
    elif role == "readback":  # a seek fails whatever the kind
        failed = {where: "Verify"} if request == "lseek" or failed_read else {}
    elif request == "write" and kind in ("eintr", "short"):
        pass
    elif request == "write" and (kind == "eio" or table_phase):
        failed = {where: "Write"}
    else:  # the seek before a write, or an image block's write that makes no progress
        message = "Write of partition table failed\n" if table_phase else "Write erase block failed\n"
        assert outcome.status == 1 and outcome.err.endswith(message), label
        return
    assert outcome.status == 0, label
    assert (outcome.err, outcome.flash) == expected_success(unusable, failed), label
    assert outcome.marked == sorted(failed), label
