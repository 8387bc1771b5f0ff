"""Every device request of a normal install, failed in every way mtdsim can
fail it: the install either copes (and the flash is exactly right, the
blocks it passed over after a failure marked bad) or ends with status 1,
the right message and exactly the flash the model predicts;
never status 0 over wrong bytes, never a write where none belongs (mtdsim's
NAND rules make any such run exit 99).

The requests come from a model of the install on this geometry, not from the
program's own log, so a request that goes missing fails the baseline case
instead of quietly taking its rows with it."""
from conftest import Geometry, device_report
from mkbin import bin_image
import model
from test_install import START

G = Geometry(8 << 20, 128 << 10, 2048)
E = G.erase
TOP = (7 << 20) // E  # -n 7
TABLE_SEARCH = model.TABLE_SEARCH_START // E
BAD = {55, TABLE_SEARCH}
RECORDS = [(START + k * E + 300 * k, bytes([k + 1, 0x5A]) * 700) for k in range(4)]
BLOCKS = model.lay_out(START, RECORDS, E)
HEADER = f"Image base address {START:08x}, size {max(a + len(d) for a, d in RECORDS) - START}\n"
KINDS = ["eio", "eintr", "short", "zero"]
# An old chip's contents, different in every block and never the partition
# table magic, so a stray erase or a block erased but not written shows.
INITIAL = b"".join(bytes([0x40 + block % 64]) * E for block in range(G.size // E))


def expected_requests():
    """(request as mtdsim logs it, phase) for the fault-free install: the
    geometry, the bad blocks, then for each image block its bad-block query,
    unlock, erase, seek and write and the read-back (ECCGETSTATS, seek, a read
    of the erase block, ECCGETSTATS), with the old partition table lookup
    (the search from 3.5 MiB up, then a 16-byte read between ECCGETSTATS)
    before the first erase, and last the table search, the table page and
    its read-back."""
    def query(block):
        return f"MEMGETBADBLOCK 0x{block * E:08x}"

    def program(block, size, phase):
        return [(line, phase) for line in (
            f"MEMUNLOCK 0x{block * E:08x} 0x{E:08x}", f"MEMERASE 0x{block * E:08x} 0x{E:08x}",
            f"lseek 0x{block * E:08x} 0", f"write 0x{block * E:08x} {size}")] + [
            (line, phase + "-readback") for line in (
                "ECCGETSTATS", f"lseek 0x{block * E:08x} 0", f"read 0x{block * E:08x} {E}", "ECCGETSTATS")]

    def search(phase):
        block = TABLE_SEARCH
        rows = []
        while block in BAD:
            rows.append((query(block), phase))
            block += 1
        return rows + [(query(block), phase)], block

    rows, candidate = [("MEMGETINFO", "info")], TOP
    for k in range(len(BLOCKS)):
        while candidate in BAD:
            rows.append((query(candidate), "image"))
            candidate -= 1
        rows.append((query(candidate), "image"))
        if k == 0:
            lookup, block = search("lookup")
            rows += lookup + [(line, "lookup") for line in (
                "ECCGETSTATS", f"lseek 0x{block * E:08x} 0", f"read 0x{block * E:08x} 16", "ECCGETSTATS")]
        rows += program(candidate, E, "image")
        candidate -= 1
    table, block = search("table")
    return rows + table + program(block, model.table_page_size(G.page), "table")


REQUESTS = expected_requests()
# 1 geometry + 6 lookup + 4 image blocks x 9 + 1 bad image candidate + 2 table
# queries + 8 for the table page and its read-back.
assert len(REQUESTS) == 54


def query_failed(block):
    return f"Bad block query failed at {block * E:08x}\nInput/output error\n"


def expected(bad=BAD, failed=None, stop=None, unanswered=None):
    """(status, stderr, flash, blocks marked bad) of an install on INITIAL
    whose `bad` blocks answer bad, whose `failed` blocks fail once and are
    then marked bad ("Erase": left as they were; "Write": erased, nothing
    programmed; "Verify": holding what was written), and whose bad-block
    query fails once for `unanswered` = (block, "lookup" or "table"), in the
    old table lookup or the partition table phase: the block is marked bad. `stop` = (block, message, what the block is left
    holding: "erased" or "written") for a failure that stops the run; a
    table block is erased again either way."""
    failed = failed or {}
    bad = set(bad)
    flash, err, placed, marked, candidate = bytearray(INITIAL), HEADER, [], [], TOP

    def put(block, data=b""):
        flash[block * E:(block + 1) * E] = data.ljust(E, b"\xff")

    def passed_over(block, data):
        if block in bad:
            return f"Bad block at {block * E:08x}, skipping...\n"
        if failed[block] != "Erase":
            put(block, data if failed[block] == "Verify" else b"")
        marked.append(block)
        return f"{failed[block]} failed at {block * E:08x}, skipping...\nMarked block at {block * E:08x} bad\n"

    def retire_unanswered(block):
        # Its head holds no table: not erased, only marked (a block the
        # chip already has as bad takes the mark and keeps no bit of it).
        if block not in bad:
            marked.append(block)
        bad.add(block)
        return query_failed(block) + f"Marked block at {block * E:08x} bad\n"

    for k, data in enumerate(BLOCKS):
        while candidate in bad or candidate in failed:
            err += passed_over(candidate, data)
            candidate -= 1
        if k == 0 and unanswered and unanswered[1] == "lookup":
            err += retire_unanswered(unanswered[0])
        put(candidate)
        if stop and stop[0] == candidate:
            if stop[2] == "written":
                put(candidate, data)
            return 1, err + stop[1], bytes(flash), sorted(marked)
        put(candidate, data)
        placed.append(candidate)
        candidate -= 1
    err += f"Image written, {len(BLOCKS)} erase blocks...\n"
    table, page = TABLE_SEARCH, model.table_page(placed, G.page)
    late = unanswered[0] if unanswered and unanswered[1] == "table" else None
    while table in bad or table in failed or table == late:
        err += retire_unanswered(table) if table == late else passed_over(table, page)
        table += 1
    put(table)
    if stop and stop[0] == table:
        return 1, err + stop[1], bytes(flash), sorted(marked)
    put(table, page)
    return 0, err + "Partition table written...\n", bytes(flash), sorted(marked)


def requests_made(outcome):
    """The logged requests without index, result and the final close."""
    return [line.split(" ", 1)[1].split(" -> ")[0] for line in outcome.log
            if not line.startswith(("#0 ", "VIOLATION")) and line.split()[1] != "close"]


def test_the_fault_free_install_makes_the_modelled_requests(bench):
    outcome = bench.run(G, ["-n", 7, "/dev/mtd3", "-"], stdin=bin_image(START, RECORDS),
                        sim_args=["--bad", "55,28"], initial=INITIAL)
    assert (outcome.status, outcome.err, outcome.flash, outcome.marked) == expected()
    assert requests_made(outcome) == [line for line, _ in REQUESTS]


REASONS = {"lseek": "Invalid argument\n", "eio": "Input/output error\n", "zero": "No progress\n"}


def test_fault(bench, request_index, kind):
    line, phase = REQUESTS[request_index - 1]
    request, *args = line.split()
    where = int(args[0], 16) // E if args else None
    outcome = bench.run(G, ["-n", 7, "/dev/mtd3", "-"], stdin=bin_image(START, RECORDS),
                        sim_args=["--bad", "55,28", "--fault", f"{request_index}:{kind}"], initial=INITIAL)
    label = f"#{request_index} {line} with {kind}: status {outcome.status}\n{outcome.err}"
    if phase == "info":
        assert (outcome.status, outcome.out, outcome.err) == (
            1, "", "Failed to get info of MTD device /dev/mtd3\n"), label
        assert outcome.flash == INITIAL
        return
    assert outcome.out == device_report(G), label
    # Only the chip's own reports mark a block: an erase or a write failing
    # with EIO, a read-back that differs. A seek (EINVAL whatever the kind),
    # a request that makes no progress and a read that fails stop the run.
    reason = REASONS["lseek" if request == "lseek" else kind] if kind in ("eio", "zero") or request == "lseek" \
        else None
    table_write = "Write of partition table failed\n"
    if phase == "lookup" or request in ("MEMUNLOCK", "ECCGETSTATS"):
        # A lookup that fails (a seek or read) is as good as a table found:
        # the block is erased, and the partition table goes there later all
        # the same. Without ECC statistics the read-back still compares.
        want = expected(unanswered=(where, phase)) if request == "MEMGETBADBLOCK" else expected()
    elif request == "MEMGETBADBLOCK" and phase == "table":
        want = expected(unanswered=(where, phase))
    elif request == "MEMGETBADBLOCK":
        want = expected(bad=BAD | {where})
    elif request == "MEMERASE":
        want = expected(failed={where: "Erase"})
    elif phase.endswith("readback"):
        want = expected() if reason is None else expected(
            stop=(where, f"Read back of block at {where * E:08x} failed\n{reason}", "written"))
    elif request == "write" and kind in ("eintr", "short"):
        want = expected()
    elif request == "write" and kind == "eio":
        # The chip's EIO: the block is passed over and marked bad.
        want = expected(failed={where: "Write"})
    else:  # a failed seek, or a write that makes no progress
        message = table_write if phase == "table" else "Write erase block failed\n"
        want = expected(stop=(where, message + reason, "erased"))
    assert (outcome.status, outcome.err) == want[:2], label
    assert outcome.flash == want[2], label
    assert outcome.marked == want[3], label
    if want[0] != 0:
        # The failing request is the install's last, but for the erase that
        # takes a partition table page nobody could check off the flash, or
        # what a write that made no progress may have left of an image block.
        made = requests_made(outcome)
        again = [f"MEMUNLOCK 0x{where * E:08x} 0x{E:08x}", f"MEMERASE 0x{where * E:08x} 0x{E:08x}"]
        if phase.startswith("table") and not (request == "lseek" and phase == "table") or \
                request == "write" and kind == "zero":
            assert made[-2:] == again, label
            made = made[:-2]
        assert made[-1] == line, label


def pytest_generate_tests(metafunc):
    # One test case per request and kind, so one failure cannot hide others.
    if "request_index" in metafunc.fixturenames:
        metafunc.parametrize("request_index,kind", [(i, kind) for i in range(1, len(REQUESTS) + 1) for kind in KINDS],
                             ids=[f"{i}-{REQUESTS[i - 1][0].split()[0]}-{kind}"
                                  for i in range(1, len(REQUESTS) + 1) for kind in KINDS])
