"""Every device request of a normal install, failed in every way mtdsim can
fail it: the install either copes (and the flash is exactly right) or ends
with status 1, the right message and exactly the flash the model predicts;
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
    unlock, erase, seek and write, with the old partition table lookup (the
    search from 3.5 MiB up, a seek and a 16-byte read) before the first
    erase, and last the table search and the table page."""
    def query(block):
        return f"MEMGETBADBLOCK 0x{block * E:08x}"

    def program(block, size):
        return [f"MEMUNLOCK 0x{block * E:08x} 0x{E:08x}", f"MEMERASE 0x{block * E:08x} 0x{E:08x}",
                f"lseek 0x{block * E:08x} 0", f"write 0x{block * E:08x} {size}"]

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
            rows += lookup + [(f"lseek 0x{block * E:08x} 0", "lookup"), (f"read 0x{block * E:08x} 16", "lookup")]
        rows += [(line, "image") for line in program(candidate, E)]
        candidate -= 1
    table, block = search("table")
    return rows + table + [(line, "table") for line in program(block, model.table_page_size(G.page))]


REQUESTS = expected_requests()
# 1 geometry + 4 lookup + 4 image blocks x 5 + 1 bad image candidate + 2 table
# queries + 4 for the table page.
assert len(REQUESTS) == 32


def expected(bad=BAD, erase_failed=(), stop=None):
    """(status, stderr, flash) of an install on INITIAL whose `bad` blocks
    answer bad, whose `erase_failed` blocks refuse to be erased, and whose
    seek or write into block `stop` fails."""
    flash, err, placed, candidate = bytearray(INITIAL), HEADER, [], TOP

    def erase(block):
        flash[block * E:(block + 1) * E] = b"\xff" * E

    for data in BLOCKS:
        while candidate in bad or candidate in erase_failed:
            word = "Bad block" if candidate in bad else "Erase failed"
            err += f"{word} at {candidate * E:08x}, skipping...\n"
            candidate -= 1
        erase(candidate)
        if candidate == stop:
            return 1, err + "Write erase block failed\n", bytes(flash)
        flash[candidate * E:(candidate + 1) * E] = data
        placed.append(candidate)
        candidate -= 1
    err += f"Image written, {len(BLOCKS)} erase blocks...\n"
    table = TABLE_SEARCH
    while table in bad:
        err += f"Bad block at {table * E:08x}, skipping...\n"
        table += 1
    if table in erase_failed:
        return 1, err + f"Erase of partition table block at {table * E:08x} failed\n", bytes(flash)
    erase(table)
    if table == stop:
        return 1, err + "Write of partition table failed\n", bytes(flash)
    page = model.table_page(placed, G.page)
    flash[table * E:table * E + len(page)] = page
    return 0, err + "Partition table written...\n", bytes(flash)


def requests_made(outcome):
    """The logged requests without index, result and the final close."""
    return [line.split(" ", 1)[1].split(" -> ")[0] for line in outcome.log
            if not line.startswith(("#0 ", "VIOLATION")) and line.split()[1] != "close"]


def test_the_fault_free_install_makes_the_modelled_requests(bench):
    outcome = bench.run(G, ["-n", 7, "/dev/mtd3", "-"], stdin=bin_image(START, RECORDS),
                        sim_args=["--bad", "55,28"], initial=INITIAL)
    assert (outcome.status, outcome.err, outcome.flash) == expected()
    assert requests_made(outcome) == [line for line, _ in REQUESTS]


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
    if phase == "lookup":
        # A lookup that fails (a query, seek or read) leaves the block alone:
        # there is no old partition table on this chip anyway.
        want = expected()
    elif request == "MEMGETBADBLOCK":
        want = expected(bad=BAD | {where})
    elif request == "MEMERASE":
        want = expected(erase_failed={where})
    elif request == "MEMUNLOCK" or (request == "write" and kind in ("eintr", "short")):
        want = expected()
    else:  # a failed seek, or a write that fails or makes no progress
        want = expected(stop=where)
    assert (outcome.status, outcome.err) == want[:2], label
    assert outcome.flash == want[2], label
    if want[0] != 0:
        # The failing request is the install's last.
        assert requests_made(outcome)[-1] == line, label


def pytest_generate_tests(metafunc):
    # One test case per request and kind, so one failure cannot hide others.
    if "request_index" in metafunc.fixturenames:
        metafunc.parametrize("request_index,kind", [(i, kind) for i in range(1, len(REQUESTS) + 1) for kind in KINDS],
                             ids=[f"{i}-{REQUESTS[i - 1][0].split()[0]}-{kind}"
                                  for i in range(1, len(REQUESTS) + 1) for kind in KINDS])
