"""Whole installs on simulated NAND, checked byte for byte."""
import random

import pytest

from conftest import Geometry, device_report
from mkbin import bin_image
import model

START = 0x80200000


def records_for(seed, total, erase):
    """Records of random data with gaps, one crossing a block boundary and
    one rewriting bytes of the block before it is written."""
    rng = random.Random(seed)
    records, address = [], START
    while address - START < total:
        data = rng.randbytes(rng.randrange(1, 3 * erase // 2))
        records.append((address, data))
        address += len(data) + rng.choice([0, 0, 17, erase, 2 * erase + 5])
    last_address, last_data = records[-1]
    end = last_address + len(last_data) - START
    if end % erase > 8:  # rewrite bytes early in the block still being filled
        records.append((START + end - end % erase + 1, rng.randbytes(4)))
    return records


def expectation(geometry, nonfs_mib, unusable, records, table_unusable=()):
    """stderr, flash and device blocks an install must produce."""
    erase = geometry.erase
    blocks = model.lay_out(START, records, erase)
    top = (nonfs_mib << 20) // erase
    placed, skipped = model.place(len(blocks), top, set(unusable))
    assert len(placed) == len(blocks), "test case does not fit"
    length = max(a + len(d) for a, d in records) - START
    err = f"Image base address {START:08x}, size {length}\n"
    for block in skipped:
        err += f"Bad block at {block * erase:08x}, skipping...\n"
    err += f"Image written, {len(blocks)} erase blocks...\n"
    table_block = -(-model.TABLE_SEARCH_START // erase)
    while table_block in table_unusable:
        err += f"Bad block at {table_block * erase:08x}, skipping...\n"
        table_block += 1
    err += "Partition table written...\n"
    page = model.table_page(placed, model.table_page_size(geometry.page))
    flash = model.expected_flash(geometry.size, erase, blocks, placed, table_block, page)
    return err, flash, placed, table_block


INSTALLS = [
    # name, geometry, -n MiB, bad blocks, image bytes
    ("large page", Geometry(128 << 20, 128 << 10, 2048), 64, [512, 510, 28, 400], 2 << 20),
    ("small page", Geometry(16 << 20, 16 << 10, 512), 8, [511, 224, 300], 600 << 10),
    ("4 KiB page", Geometry(64 << 20, 256 << 10, 4096), 32, [127, 14], 3 << 20),
    ("byte-writable", Geometry(8 << 20, 64 << 10, 1, type=3), 6, [95, 56], 500 << 10),
    ("1 MiB erase blocks", Geometry(64 << 20, 1 << 20, 4096), 32, [4, 30], 5 << 20),
]


@pytest.mark.parametrize("name,geometry,nonfs,bad,size", INSTALLS, ids=[c[0] for c in INSTALLS])
@pytest.mark.parametrize("source", ["file", "pipe"])
def test_install_lands_byte_for_byte(bench, name, geometry, nonfs, bad, size, source):
    records = records_for(len(name), size, geometry.erase)
    image = bin_image(START, records)
    err, flash, placed, table_block = expectation(geometry, nonfs, bad, records, bad)
    if source == "file":
        outcome = bench.run(geometry, ["-n", nonfs, "/dev/mtd3", "{image}"], image=image,
                            sim_args=["--bad", ",".join(map(str, bad))])
    else:
        outcome = bench.run(geometry, ["-n", nonfs, "/dev/mtd3", "-"], stdin=image,
                            sim_args=["--bad", ",".join(map(str, bad))])
    assert outcome.err == err
    assert outcome.out == device_report(geometry)
    assert outcome.status == 0
    assert outcome.flash == flash

    # Every written block: bad-block check, unlock, erase, seek, one write.
    erase = geometry.erase
    page_size = model.table_page_size(geometry.page)
    expected_writes = [(b, erase) for b in placed] + [(table_block, page_size)]
    sequences = []
    for block, length in expected_writes:
        at = f"0x{block * erase:08x}"
        sequences.append([f"MEMGETBADBLOCK {at} -> 0", f"MEMUNLOCK {at} 0x{erase:08x} -> -1 524",
                          f"MEMERASE {at} 0x{erase:08x} -> 0", f"lseek {at} 0 -> {at}",
                          f"write {at} {length} -> {length}"])
    # Before the first erase: the lookup of an old partition table (none on
    # a fresh chip, so nothing more), its read between ECC statistics.
    lookup, candidate = [], -(-model.TABLE_SEARCH_START // erase)
    while candidate in bad:
        lookup.append(f"MEMGETBADBLOCK 0x{candidate * erase:08x} -> 1")
        candidate += 1
    at = f"0x{candidate * erase:08x}"
    lookup += [f"MEMGETBADBLOCK {at} -> 0", "ECCGETSTATS", f"lseek {at} 0 -> {at}", f"read {at} 16 -> 16",
               "ECCGETSTATS"]
    sequences[0][1:1] = lookup
    requests = [r.split(" -> ")[0] if r.startswith("ECCGETSTATS") else r for r in outcome.requests()]
    start = 0
    if source == "file":
        # The check before writing came first: the same queries and lookup,
        # and not one request that changes the flash.
        start = requests.index(sequences[0][0], requests.index(sequences[0][0]) + 1)
        assert {r.split()[0] for r in requests[:start]} <= {"MEMGETINFO", "MEMGETBADBLOCK", "ECCGETSTATS", "lseek", "read"}
    for sequence in sequences:
        start = requests.index(sequence[0], start)
        assert requests[start:start + len(sequence)] == sequence
        start += len(sequence)
    touched = [r.split()[1] for r in requests if r.startswith(("MEMERASE", "write", "pwrite"))]
    assert touched == [f"0x{b * erase:08x}" for b, _ in expected_writes for _ in range(2)]


def test_partition_table_lists_blocks_in_image_order_around_bad_blocks(bench):
    """Bad blocks take no table entry; the first zero entry ends the list."""
    geometry = Geometry(8 << 20, 128 << 10, 2048)
    records = [(START + k * (128 << 10), bytes([k]) * 100) for k in range(5)]
    outcome = bench.run(geometry, ["-n", 7, "/dev/mtd0", "{image}"], image=bin_image(START, records),
                        sim_args=["--bad", "55,53"])
    assert outcome.status == 0, outcome.err
    page = outcome.flash[28 * (128 << 10):][:2048]
    table = [int.from_bytes(page[28 + 2 * k:30 + 2 * k], "little") for k in range(7)]
    assert table == [56, 54, 52, 51, 50, 0, 0]
    for k, block in enumerate(table[:5]):
        assert outcome.flash[block * (128 << 10)] == k


def test_stale_flash_contents_are_erased_before_programming(bench):
    """A board that already holds data everywhere: every block the image or
    the partition table takes is erased first (the simulator sees no program
    of a page that is not erased), and every other block, the boot loader's
    blocks 0 and 1 and the Filesystem partition included, keeps its bytes."""
    geometry = Geometry(8 << 20, 128 << 10, 2048)
    erase = geometry.erase
    records = records_for(7, 600 << 10, erase)
    image = bin_image(START, records)
    err, fresh, placed, table_block = expectation(geometry, 7, [], records)
    old = bytes(random.Random(3).randbytes(geometry.size))
    expected = bytearray(old)
    for block in placed + [table_block]:
        expected[block * erase:(block + 1) * erase] = fresh[block * erase:(block + 1) * erase]
    outcome = bench.run(geometry, ["-n", 7, "/dev/mtd2", "{image}"], image=image, initial=old)
    assert (outcome.status, outcome.err) == (0, err)
    changed = [b for b in range(geometry.size // erase)
               if outcome.flash[b * erase:(b + 1) * erase] != expected[b * erase:(b + 1) * erase]]
    assert changed == []
