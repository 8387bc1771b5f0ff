"""Side doors around the main path, each a row installing image B over an
earlier install of image A: an error that is no report of the chip's (EINVAL,
ENOMEM, EFAULT) stops the run and marks nothing; read-back reads a block
again before it marks it for an uncorrectable error; a block of the table's
search window whose bad-block query fails is never passed over while it may
hold a table; a wrong byte anywhere in a block is found; and no "progress
100" line comes before the partition table is on the flash. Every row checks
the exit status, the whole standard error, the blocks marked bad and the
flash byte for byte against the flash before the install."""
import os
import signal
import subprocess

import pytest

import model
from conftest import Geometry, device_report, marked_bad
from mkbin import bin_image
from test_install import START
from test_refusals import child_of, wait_for_log

G = Geometry(8 << 20, 128 << 10, 2048)  # 64 blocks; -n 7: image blocks from 56 down, the table at 28
E = G.erase
TABLE = 28
A_RECORDS = [(START + k * E, bytes([0xA0 + k]) * 3000) for k in range(4)]
B_RECORDS = [(START + k * E + 100, bytes([0xB0 + k, k]) * 2000) for k in range(5)]
C_RECORDS = [(START + k * E + 200, bytes([0xC0 + k]) * 5000) for k in range(2)]
IMAGES = {name: (bin_image(START, records), model.lay_out(START, records, E))
          for name, records in (("A", A_RECORDS), ("B", B_RECORDS), ("C", C_RECORDS))}


def header(name):
    records = {"A": A_RECORDS, "B": B_RECORDS, "C": C_RECORDS}[name]
    return f"Image base address {START:08x}, size {max(a + len(d) for a, d in records) - START}\n"


def at(block):
    return f"{block * E:08x}"


def written(count):
    return f"Image written, {count} erase blocks...\n"


DONE = "Partition table written...\n"


def stopped(what, block, reason):
    return f"{what} of block at {at(block)} failed\n{reason}\n"


def flash_after(before, erased=(), blocks=None, table=None, changes=()):
    """`before` with `erased` blocks erased, `blocks` {device block: bytes}
    written, the partition table page listing `table` = (block, placed) and
    `changes` (byte offset, value) on top."""
    flash = bytearray(before)
    for block in erased:
        flash[block * E:(block + 1) * E] = b"\xff" * E
    for block, data in (blocks or {}).items():
        flash[block * E:(block + 1) * E] = data
    if table is not None:
        block, placed = table
        flash[block * E:(block + 1) * E] = model.table_page(placed, G.page).ljust(E, b"\xff")
    for offset, value in changes:
        flash[offset] = value
    return bytes(flash)


def installed(image, top=56, skip=()):
    """{device block: image block} for `image` placed from `top` down, passing over `skip`."""
    blocks, placed, candidate = {}, [], top
    for data in IMAGES[image][1]:
        while candidate in skip:
            candidate -= 1
        blocks[candidate] = data
        placed.append(candidate)
        candidate -= 1
    return blocks, placed


B_BLOCKS, B_PLACED = installed("B")


def b_complete(before, table=TABLE, skip=(), erased=(), changes=()):
    blocks, placed = installed("B", skip=skip)
    return flash_after(before, erased=erased, blocks=blocks, table=(table, placed), changes=changes)


def request_index(log, prefix, occurrence=1):
    """The index mtdsim's log gives the `occurrence`-th request starting with `prefix`."""
    seen = 0
    for line in log:
        index, request = line.split(" ", 1)
        if request.startswith(prefix) and index.startswith("#"):
            seen += 1
            if seen == occurrence:
                return int(index[1:])
    raise AssertionError(f"no request {prefix!r} in the log")


def install_a(bench):
    first = bench.run(G, ["-n", 7, "/dev/mtd0", "{image}"], image=IMAGES["A"][0])
    assert (first.status, first.marked) == (0, []), first.err
    return first.flash


def faults_at(bench, image, faults, sim_args=()):
    """--fault for (request prefix, occurrence, kind, requests after it)
    entries, indexed from a fault-free run of the same install over A."""
    clean = bench.run(G, ["-n", 7, "/dev/mtd0", "{image}"], image=IMAGES[image][0], sim_args=list(sim_args),
                      fresh=False)
    assert clean.status == 0, clean.err
    indexed = ",".join(f"{request_index(clean.log, prefix, occurrence) + later}:{kind}"
                    for prefix, occurrence, kind, later in faults)
    install_a(bench)
    return ["--fault", indexed]


def row(name, sim_args, status, err, marks, flash, faults=()):
    """`flash(before)` is the flash the run must leave; `faults` as faults_at takes them."""
    return pytest.param(sim_args, faults, status, err, marks, flash, id=name)


def stops(what, block, reason, erased=(TABLE,), blocks=None):
    return dict(status=1, err=header("B") + stopped(what, block, reason), marks=[],
                flash=lambda before: flash_after(before, erased=erased, blocks=blocks))


IMAGE_BLOCK_0 = 56
READ_BACK_0 = f"read 0x{at(IMAGE_BLOCK_0)} {E}"
ROWS = [
    # Errors that are no report of the chip's: no mark, status 1, the errno named.
    row("image block erase EINVAL", [], faults=[(f"MEMERASE 0x{at(56)}", 1, "einval", 0)],
        **stops("Erase", 56, "Invalid argument")),
    row("image block erase ENOMEM", [], faults=[(f"MEMERASE 0x{at(56)}", 1, "enomem", 0)],
        **stops("Erase", 56, "Cannot allocate memory")),
    row("image block write EINVAL", [], 1, header("B") + "Write erase block failed\nInvalid argument\n", [],
        lambda before: flash_after(before, erased=(TABLE, 56)), faults=[(f"write 0x{at(56)}", 1, "einval", 0)]),
    row("image block write ENOMEM", [], 1, header("B") + "Write erase block failed\nCannot allocate memory\n", [],
        lambda before: flash_after(before, erased=(TABLE, 56)), faults=[(f"write 0x{at(56)}", 1, "enomem", 0)]),
    # Writes of 4096 bytes: the block is part programmed when one fails.
    row("image block write EINVAL part way: erased again", ["--short-write", 4096], 1,
        header("B") + "Write erase block failed\nInvalid argument\n", [],
        lambda before: flash_after(before, erased=(TABLE, 56)),
        faults=[(f"write 0x{56 * E + 4096:08x}", 1, "einval", 0)]),
    row("image block read-back EINVAL", [], faults=[(READ_BACK_0, 1, "einval", 0)],
        **stops("Read back", 56, "Invalid argument", blocks={56: B_BLOCKS[56]})),
    row("image block read-back ENOMEM", [], faults=[(READ_BACK_0, 1, "enomem", 0)],
        **stops("Read back", 56, "Cannot allocate memory", blocks={56: B_BLOCKS[56]})),
    row("old table's erase EINVAL: nothing changed", [], faults=[(f"MEMERASE 0x{at(TABLE)}", 1, "einval", 0)],
        **stops("Erase", TABLE, "Invalid argument", erased=())),
    row("partition table write EFAULT: erased again, no mark", [], 1,
        header("B") + written(5) + "Write of partition table failed\nBad address\n", [],
        lambda before: flash_after(before, erased=(TABLE,), blocks=B_BLOCKS),
        faults=[(f"write 0x{at(TABLE)}", 1, "efault", 0)]),
    # The loader's block answers no bad-block query: erased (it holds A's
    # table) and marked, so the loader reads the new table from block 29.
    row("loader's block query fails over an earlier install", ["--fail-query", TABLE], 0,
        header("B") + f"Bad block query failed at {at(TABLE)}\nInput/output error\nMarked block at {at(TABLE)} bad\n"
        + written(5) + f"Bad block at {at(TABLE)}, skipping...\n" + DONE, [TABLE],
        lambda before: b_complete(before, table=TABLE + 1, erased=(TABLE,))),
    row("loader's block query fails and its mark too: stopped before any image block",
        ["--fail-query", TABLE, "--fail-markbad", TABLE], 1,
        header("B") + f"Bad block query failed at {at(TABLE)}\nInput/output error\n"
        f"Failed to mark block at {at(TABLE)} bad\n", [], lambda before: flash_after(before, erased=(TABLE,))),
    # ECC counters are the whole chip's: one uncorrectable read is read again.
    row("read-back ECC failure that does not repeat: kept", [], 0,
        header("B") + f"Uncorrectable ECC error at {at(56)} did not repeat\n" + written(5) + DONE, [],
        b_complete, faults=[(READ_BACK_0, 1, "ecc", 0)]),
    # The second read: ECCGETSTATS after the first, then ECCGETSTATS, lseek, read.
    row("read-back ECC failure that repeats: marked, replayed", [], 0,
        header("B") + f"Verify failed at {at(56)}, skipping...\nMarked block at {at(56)} bad\n" + written(5) + DONE,
        [56], lambda before: flash_after(b_complete(before, skip={56}), blocks={56: B_BLOCKS[56]}),
        faults=[(READ_BACK_0, 1, "ecc", 0), (READ_BACK_0, 1, "ecc", 4)]),
    # A wrong byte anywhere in the block is found, not only near its start.
    row("corrupt byte in an image block's last page", ["--corrupt-write", f"56:{E - 1:#x}"], 0,
        header("B") + f"Verify failed at {at(56)}, skipping...\nMarked block at {at(56)} bad\n" + written(5) + DONE,
        [56], lambda before: flash_after(b_complete(before, skip={56}), blocks={56: B_BLOCKS[56]},
                                         changes=[(56 * E + E - 1, B_BLOCKS[56][-1] ^ 1)])),
    row("stray bytes in the table's block after its page", ["--stray-write", f"{TABLE}:0x10000"], 0,
        header("B") + written(5) + f"Verify failed at {at(TABLE)}, skipping...\nMarked block at {at(TABLE)} bad\n"
        + DONE, [TABLE],
        lambda before: flash_after(b_complete(before, table=TABLE + 1), table=(TABLE, B_PLACED),
                                   changes=[(TABLE * E + 0x10000, 0)])),
]


@pytest.mark.parametrize("sim_args,faults,status,err,marks,flash", ROWS)
def test_side_door(bench, sim_args, faults, status, err, marks, flash):
    before = install_a(bench)
    if faults:
        sim_args = [*sim_args, *faults_at(bench, "B", faults, sim_args)]
    outcome = bench.run(G, ["-n", 7, "/dev/mtd0", "{image}"], image=IMAGES["B"][0], sim_args=sim_args,
                        fresh=False)
    assert outcome.out == device_report(G)
    assert outcome.err == err
    assert outcome.status == status, outcome.err
    assert outcome.marked == marks
    assert outcome.flash == flash(before)


def progress_run(bench, image, sim_args, moment=None):
    """Installs `image` over A with --progress-fd; with `moment` (a log
    predicate), SIGINT goes to drimlet once the log satisfies it. Returns
    the status, standard error and the progress lines."""
    path = bench.tmp / "nk.bin"
    path.write_bytes(IMAGES[image][0])
    if bench.log.exists():
        bench.log.unlink()
    read_end, write_end = os.pipe()
    command = bench.command(G, ["--progress-fd", write_end, "-n", 7, "/dev/mtd0", path], sim_args, fresh=False)
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, pass_fds=(write_end,))
    os.close(write_end)
    if moment is not None:
        wait_for_log(bench.log, moment, process)
        os.kill(child_of(process.pid), signal.SIGINT)
    with os.fdopen(read_end, "rb") as lines:
        progress = lines.read().decode()
    out, err = process.communicate(timeout=120)
    assert out.decode() == device_report(G)
    return process.returncode, err.decode(), progress


def last_block_written(requests):
    return "write" in requests and requests.count("write") >= 2


PROGRESS_ROWS = [
    pytest.param("B", ["--fail-write", TABLE, "--fail-markbad", TABLE], None, 1,
                 header("B") + written(5) + f"Write failed at {at(TABLE)}, skipping...\n"
                 f"Failed to mark block at {at(TABLE)} bad\n", id="the partition table phase fails"),
    # 20 ms a page read: the read-back of the last image block takes 1.3 s,
    # and SIGINT comes while it runs.
    pytest.param("C", ["--t-read", 20000], last_block_written, 128 + signal.SIGINT,
                 header("C") + written(2) + "Interrupted after 2 image blocks: the flash holds no partition table\n",
                 id="interrupted before the partition table phase"),
    pytest.param("C", [], None, 0, header("C") + written(2) + DONE, id="complete"),
]


@pytest.mark.parametrize("image,sim_args,moment,status,err", PROGRESS_ROWS)
def test_progress_100_only_after_the_partition_table(bench, image, sim_args, moment, status, err):
    """"progress 100" means installed: after a failure in the partition
    table phase, or an interrupt before it, it never comes, and the flash
    holds no partition table."""
    before = install_a(bench)
    got = progress_run(bench, image, sim_args, moment)
    assert got[:2] == (status, err)
    blocks, placed = installed(image)
    if status == 0:
        assert got[2].endswith("progress 99\nprogress 100\n")
        assert bench.flash.read_bytes() == flash_after(before, blocks=blocks, table=(TABLE, placed))
    else:
        assert got[2].endswith("progress 99\n") and "progress 100" not in got[2]
        assert bench.flash.read_bytes() == flash_after(before, erased=(TABLE,), blocks=blocks)


def test_image_file_changed_after_the_check(bench):
    """A file rewritten between the check before writing and the install is
    refused before the block that changed is written: here image block 0,
    so the old install stays whole."""
    before = install_a(bench)
    path = bench.tmp / "nk.bin"
    path.write_bytes(IMAGES["B"][0])
    bench.log.unlink()
    # The check's lookup of the old table reads one page, for 0.5 s here;
    # image block 0 was assembled before it.
    process = subprocess.Popen(bench.command(G, ["-n", 7, "/dev/mtd0", path], ["--t-read", 500000], fresh=False),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        wait_for_log(bench.log, lambda requests: "lseek" in requests, process)
        # Two bytes of the first record swapped: its checksum still holds.
        first_data = 7 + 8 + 12
        with open(path, "r+b") as image:
            image.seek(first_data)
            image.write(bytes([0x00, 0xB0]))
        out, err = process.communicate(timeout=30)
    finally:
        if process.poll() is None:  # an install that went on: its read-backs take minutes here
            os.kill(child_of(process.pid), signal.SIGKILL)
            process.communicate()
    assert out.decode() == device_report(G)
    assert err.decode() == header("B") + \
        "Image file changed since the check before writing: image block 0 differs\n"
    assert process.returncode == 1
    assert bench.flash.read_bytes() == before
    assert marked_bad(bench.flash) == []


def test_pipe_without_a_block_for_the_table_is_refused_before_the_first_erase(bench):
    """From a pipe too, a device with no good block for the partition table
    is refused before anything is erased, not after every image block."""
    before = install_a(bench)
    outcome = bench.run(G, ["-n", 3, "/dev/mtd0", "-"], stdin=IMAGES["B"][0], sim_args=["--bad", "28-63"],
                        fresh=False)
    assert (outcome.status, outcome.err) == (1, header("B") + "Not enough space/too many bad blocks\n")
    assert outcome.marked == []
    assert outcome.flash == before


def test_unreadable_old_table_with_garbled_magic_is_erased(bench):
    """An old table page that reads with an uncorrectable ECC error is taken
    as unreadable, whatever its bytes: it is erased before the first image
    block, so a run that then fails leaves no table the loader might decode."""
    install_a(bench)
    faults = faults_at(bench, "B", [(f"read 0x{at(TABLE)}", 2, "ecc", 0), (f"write 0x{at(56)}", 1, "einval", 0)])
    garbled = bytearray(bench.flash.read_bytes())
    garbled[TABLE * E] ^= 0x01  # a worn bit in the magic
    outcome = bench.run(G, ["-n", 7, "/dev/mtd0", "{image}"], image=IMAGES["B"][0], sim_args=faults,
                        initial=bytes(garbled))
    assert outcome.err == header("B") + "Write erase block failed\nInvalid argument\n"
    assert (outcome.status, outcome.marked) == (1, [])
    assert outcome.flash == flash_after(garbled, erased=(TABLE, 56))


def test_failed_erase_after_a_failed_table_mark_stops_the_run(bench):
    """The partition table page fails to program and its block cannot be
    marked: the block is erased again so the loader finds no table. When
    that erase fails too, the run says so."""
    before = install_a(bench)
    failing = ["--fail-write", TABLE, "--fail-markbad", TABLE]
    probe = bench.run(G, ["-n", 7, "/dev/mtd0", "{image}"], image=IMAGES["B"][0], sim_args=failing, fresh=False)
    assert probe.status == 1, probe.err
    again = request_index(probe.log, f"MEMERASE 0x{at(TABLE)}", 3)
    install_a(bench)
    outcome = bench.run(G, ["-n", 7, "/dev/mtd0", "{image}"], image=IMAGES["B"][0],
                        sim_args=[*failing, "--fault", f"{again}:eio"], fresh=False)
    assert outcome.err == (header("B") + written(5) + f"Write failed at {at(TABLE)}, skipping...\n"
                           f"Failed to mark block at {at(TABLE)} bad\n" + stopped("Erase", TABLE, "Input/output error"))
    assert (outcome.status, outcome.marked) == (1, [])
    assert outcome.flash == flash_after(before, erased=(TABLE,), blocks=B_BLOCKS)


def test_block_marked_by_the_invalidation_is_never_programmed(bench):
    """With -n reaching into the partition table's search window, the old
    table may sit in the very block chosen for image block 0 (a pipe has no
    check before writing to refuse the overlap). Its erase fails, the
    invalidation marks it, and image block 0 goes to the next good block."""
    bad = ["--bad", "28-31"]
    first = bench.run(G, ["-n", 7, "/dev/mtd0", "{image}"], image=IMAGES["A"][0], sim_args=bad)
    assert first.status == 0, first.err
    outcome = bench.run(G, ["-n", 4, "/dev/mtd0", "-"], stdin=IMAGES["B"][0],
                        sim_args=[*bad, "--fail-erase", 32], fresh=False)
    skipped = "".join(f"Bad block at {at(block)}, skipping...\n" for block in (32, 31, 30, 29, 28))
    assert outcome.err == (header("B") + f"Erase failed at {at(32)}, skipping...\nMarked block at {at(32)} bad\n"
                           + skipped + written(5) + "".join(reversed(skipped.splitlines(True))) + DONE)
    assert (outcome.status, outcome.marked) == (0, [32])
    blocks, placed = installed("B", top=27)
    assert outcome.flash == flash_after(first.flash, blocks=blocks, table=(33, placed))
