"""Worn NAND over an earlier install: a block whose erase, program or
read-back fails is marked bad and passed over, the loader's block is never
passed over unmarked, and a chip that refuses everything stops the run after
four marks. After every row the loader finds the new table, the old install
intact (only when nothing of it was touched), or no table: never a stale one."""
import os

import pytest

from conftest import Geometry
from mkbin import bin_image
from test_inspect import INSPECT
from test_install import START

pytestmark = pytest.mark.skipif(not os.path.exists(INSPECT), reason="drimlet-inspect not built")

G = Geometry(8 << 20, 128 << 10, 2048)  # 64 blocks; -n 7: image blocks from 56 down, the table at 28
E = G.erase
IMAGE_A = bin_image(START, [(START + k * E, bytes([0xA0 + k]) * 3000) for k in range(4)])
IMAGE_B = bin_image(START, [(START + k * E + 100, bytes([0xB0 + k, k]) * 2000) for k in range(5)])
HEADER_B = f"Image base address {START:08x}, size {4 * E + 100 + 4000}\n"
WRITTEN = "Image written, 5 erase blocks...\n"
DONE = "Partition table written...\n"
CAP = "Too many failing blocks: is the chip write-protected?\n"


def line(text, block):
    return text.format(f"{block * E:08x}")


def erase_failed(b): return line("Erase failed at {}, skipping...\n", b)
def write_failed(b): return line("Write failed at {}, skipping...\n", b)
def verify_failed(b): return line("Verify failed at {}, skipping...\n", b)
def marked(b): return line("Marked block at {} bad\n", b)
def mark_failed(b): return line("Failed to mark block at {} bad\n", b)
def bad(b): return line("Bad block at {}, skipping...\n", b)


def inspect(bench, *args, image=None, sim_args=()):
    """drimlet-inspect on the chip as the run left it (its marks included), without the run's faults."""
    chip = ["--type", sim_args[sim_args.index("--type") + 1]] if "--type" in sim_args else []
    return bench.run(G, list(args), image=image, sim_args=chip, fresh=False, program=INSPECT)


def state(bench, sim_args=()):
    """'none', 'A', 'B', or 'neither' for a table that verifies against neither image."""
    show = inspect(bench, "show", "/dev/mtd3", sim_args=sim_args)
    if show.status != 0:
        assert "no valid partition table" in show.err, show.err
        return "none"
    for name, image in (("A", IMAGE_A), ("B", IMAGE_B)):
        if inspect(bench, "verify", "/dev/mtd3", "{image}", image=image, sim_args=sim_args).status == 0:
            return name
    return "neither"


@pytest.fixture
def over_a(bench):
    first = bench.run(G, ["-n", 7, "/dev/mtd3", "{image}"], image=IMAGE_A)
    assert first.status == 0, first.err
    assert state(bench) == "A"
    return bench


def row(name, sim_args, status, err, marks, after, extra=(), image=IMAGE_B, logged=(), pipe=False):
    """`pipe`: the image comes through standard input, streamed without the
    check before writing, so an image failure can come after the first erase."""
    return pytest.param(sim_args, extra, image, pipe, status, err, marks, after, logged, id=name)


ROWS = [
    # Worn blocks.
    row("loader's block erase fails in the invalidation", ["--fail-erase", 28], 0,
        erase_failed(28) + marked(28) + WRITTEN + bad(28) + DONE, [28], "B"),
    row("loader's block erase fails in the table phase", ["--weak", "28:1"], 0,
        WRITTEN + erase_failed(28) + marked(28) + DONE, [28], "B"),
    row("partition table page write fails", ["--fail-write", 28], 0,
        WRITTEN + write_failed(28) + marked(28) + DONE, [28], "B"),
    row("old table unreadable: erased all the same, so a failed install leaves none", ["--fault", "6:eio"], 1,
        "Incomplete data section!\n", [], "none", image=IMAGE_B[:-1000], pipe=True,
        logged=["read 0x00380000 16 -> -1 EIO", "MEMERASE 0x00380000 0x00020000 -> 0"]),
    row("image block erase fails", ["--fail-erase", 55], 0,
        erase_failed(55) + marked(55) + WRITTEN + DONE, [55], "B"),
    row("image block write EIO", ["--fail-write", 55], 0,
        write_failed(55) + marked(55) + WRITTEN + DONE, [55], "B"),
    row("image block program fails part way (a worn page)", ["--weak-page", f"{55 * 64 + 5}:0"], 0,
        write_failed(55) + marked(55) + WRITTEN + DONE, [55], "B"),
    row("image block write EIO on three blocks in a row", ["--fail-write", "54-56"], 0,
        write_failed(56) + marked(56) + write_failed(55) + marked(55) + write_failed(54) + marked(54) + WRITTEN
        + DONE, [54, 55, 56], "B"),
    row("marking an image block fails: the install goes on", ["--fail-write", 55, "--fail-markbad", 55], 0,
        write_failed(55) + mark_failed(55) + WRITTEN + DONE, [], "B"),
    row("marking the loader's block fails in the invalidation: the old install stays whole",
        ["--fail-erase", 28, "--fail-markbad", 28], 1, erase_failed(28) + mark_failed(28), [], "A"),
    row("marking the loader's block fails in the table phase", ["--weak", "28:1", "--fail-markbad", 28], 1,
        WRITTEN + erase_failed(28) + mark_failed(28), [], "none"),
    row("the table page does not read back and its mark fails: the block is erased, no table is left",
        ["--ecc-fail-written", 28, "--fail-markbad", 28], 1, WRITTEN + verify_failed(28) + mark_failed(28), [],
        "none", logged=["write 0x00380000 2048 -> 2048", "MEMSETBADBLOCK 0x00380000 -> -1 EIO"]),
    row("NOR: an image block write EIO goes on", ["--type", 3, "--fail-write", 55], 0,
        write_failed(55) + mark_failed(55) + WRITTEN + DONE, [], "B"),
    row("NOR: the loader's block failing stops the run", ["--type", 3, "--fail-erase", 28], 1,
        erase_failed(28) + mark_failed(28), [], "A"),
    row("every erase fails, as on a write-protected chip: four marks, then the cap", ["--fail-erase", "0-63"], 1,
        erase_failed(28) + marked(28) + erase_failed(56) + marked(56) + erase_failed(55) + marked(55)
        + erase_failed(54) + marked(54) + erase_failed(53) + CAP, [28, 54, 55, 56], "none"),
    # Read-back.
    row("corrupt write in an image block", ["--corrupt-write", 55], 0,
        verify_failed(55) + marked(55) + WRITTEN + DONE, [55], "B"),
    row("corrupt write in the partition table's block", ["--corrupt-write", 28], 0,
        WRITTEN + verify_failed(28) + marked(28) + DONE, [28], "B"),
    row("uncorrectable ECC error on read-back", ["--ecc-fail-written", 54], 0,
        verify_failed(54) + marked(54) + WRITTEN + DONE, [54], "B"),
    row("corrected bitflips are counted, not failures", ["--bitflips", "55:2,28"], 0,
        WRITTEN + DONE + "Read back 2 blocks with corrected bitflips\n", [], "B"),
    row("corrupt writes in five blocks: the cap", ["--corrupt-write", "52-56"], 1,
        "".join(verify_failed(b) + marked(b) for b in (56, 55, 54, 53)) + verify_failed(52) + CAP,
        [53, 54, 55, 56], "none"),
    row("--no-verify lets a corrupt write through", ["--corrupt-write", 55], 0, WRITTEN + DONE, [], "neither",
        extra=["--no-verify"]),
]


@pytest.mark.parametrize("sim_args,extra,image,pipe,status,err,marks,after,logged", ROWS)
def test_worn_blocks_over_an_earlier_install(over_a, sim_args, extra, image, pipe, status, err, marks, after,
                                             logged):
    outcome = over_a.run(G, [*extra, "-n", 7, "/dev/mtd3", "-" if pipe else "{image}"],
                         image=None if pipe else image, stdin=image if pipe else None, sim_args=sim_args,
                         fresh=False)
    assert (outcome.status, outcome.err) == (status, HEADER_B + err)
    assert outcome.marked == marks
    for request in logged:
        assert request in outcome.requests(), request
    assert state(over_a, sim_args) == after


def test_a_block_marked_in_one_run_is_bad_in_the_next(over_a):
    worn = over_a.run(G, ["-n", 7, "/dev/mtd3", "{image}"], image=IMAGE_B, sim_args=["--fail-write", 55],
                      fresh=False)
    assert worn.status == 0 and worn.marked == [55], worn.err
    again = over_a.run(G, ["-n", 7, "/dev/mtd3", "{image}"], image=IMAGE_A, fresh=False)
    assert again.err == (f"Image base address {START:08x}, size {3 * E + 3000}\n" + bad(55)
                         + "Image written, 4 erase blocks...\n" + DONE)
    assert not again.requests("MEMSETBADBLOCK") and again.marked == [55]
    assert state(over_a) == "A"


def test_no_verify_makes_the_requests_of_an_install_without_read_back(over_a):
    """--no-verify leaves exactly the requests an install made before
    read-back: those of a verifying install without its ECCGETSTATS, seeks
    and reads after each write."""
    saved = over_a.flash.read_bytes(), over_a.flash.with_name("flash.bin.pages").read_bytes()
    runs = {}
    for extra in ([], ["--no-verify"]):
        over_a.flash.write_bytes(saved[0])
        over_a.flash.with_name("flash.bin.pages").write_bytes(saved[1])
        outcome = over_a.run(G, [*extra, "-n", 7, "/dev/mtd3", "{image}"], image=IMAGE_B, fresh=False)
        assert outcome.status == 0, outcome.err
        runs[bool(extra)] = outcome
    plain = [r for r in runs[True].requests() if r.split()[0] != "close"]
    verifying, read_back, after_write = [], 0, False
    for request in (r for r in runs[False].requests() if r.split()[0] != "close"):
        kind = request.split()[0]
        after_write = after_write or kind == "write"
        if after_write and kind in ("ECCGETSTATS", "lseek", "read"):
            read_back += 1
            continue
        after_write = after_write and kind not in ("MEMGETBADBLOCK", "MEMUNLOCK", "MEMERASE")
        verifying.append(request)
    assert plain == verifying
    assert read_back == 6 * 4  # five image blocks and the table block: ECCGETSTATS, lseek, read, ECCGETSTATS
    assert runs[True].flash == runs[False].flash


@pytest.mark.parametrize("sim_args,status,err,block,before", [
    pytest.param(["--corrupt-write", 55, "--fail-markbad", 55], 0,
                 verify_failed(55) + mark_failed(55) + WRITTEN + DONE, 55, "MEMSETBADBLOCK {} -> -1 EIO",
                 id="its mark failed"),
    pytest.param(["--corrupt-write", "52-56"], 1,
                 "".join(verify_failed(b) + marked(b) for b in (56, 55, 54, 53)) + verify_failed(52) + CAP, 52,
                 "read {} 131072 -> 131072", id="the cap stopped the run"),
])
def test_an_image_block_that_failed_and_kept_no_mark_is_erased_again(over_a, sim_args, status, err, block,
                                                                      before):
    """Unmarked, the block would keep an image block that did not read back; in
    the loader's search window one beginning with the table magic would pass
    for a partition table. Its last request is an erase that succeeded."""
    run = over_a.run(G, ["-n", 7, "/dev/mtd3", "{image}"], image=IMAGE_B, sim_args=sim_args, fresh=False)
    assert (run.status, run.err) == (status, HEADER_B + err)
    at = f"0x{block * E:08x}"
    on_block = [r for r in run.requests() if r.split(" ")[1:2] == [at] and not r.startswith("MEMUNLOCK")]
    assert on_block[-2:] == [before.format(at), f"MEMERASE {at} 0x{E:08x} -> 0"], on_block
