"""drimlet on the real Linux MTD stack: the static ARM binaries run in an ARM
guest kernel against nandsim (MTD core, raw NAND, software ECC, mtdchar), and
every case's whole flash is dumped and compared with an independent model.

Every case runs with both board binaries: armhf (ARMv7, hard float) and armel
(ARMv5TE, soft float; on this ARMv7 kernel it also goes through the kernel's
user helpers for atomics and the thread pointer). All cases run in one boot
(session fixture) of a two-CPU guest; nandsim is loaded afresh for each case,
and a case may run several installs on its one chip (an install over an
earlier one). GUEST_DIR holds vmlinuz and initrd.cpio.gz
(tests/system/build-guest), DRIMLET_ARMHF and DRIMLET_ARMEL the static
binaries, with drimlet-inspect beside each.
"""
import functools
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
from mkbin import bin_image  # noqa: E402
import model  # noqa: E402

GUEST_DIR = Path(os.environ.get("GUEST_DIR", ROOT / "build" / "system-guest"))
BINARIES = {
    "armhf": Path(os.environ.get("DRIMLET_ARMHF", ROOT / "build-armhf-static" / "drimlet")),
    "armel": Path(os.environ.get("DRIMLET_ARMEL", ROOT / "build-armel-static" / "drimlet")),
}
INSPECTORS = {arch: binary.with_name("drimlet-inspect") for arch, binary in BINARIES.items()}
GUEST_CPUS = 2
START = 0x80200000


class Chip:
    def __init__(self, params, size, erase, page):
        self.params, self.size, self.erase, self.page = params, size, erase, page

    def report(self):
        return (f"MTD Type: 4\nMTD total size: {self.size >> 10} kilobytes\n"
                f"MTD write size: {self.page} bytes\nMTD erase size: {self.erase} bytes\n")


LARGE = Chip("id_bytes=0xec,0xf1,0x00,0x95,0x40", 128 << 20, 128 << 10, 2048)
LARGE_256M = Chip("id_bytes=0xec,0xda,0x10,0x95,0x44", 256 << 20, 128 << 10, 2048)
SMALL_PAGE = Chip("id_bytes=0xec,0x79", 128 << 20, 16 << 10, 512)
PAGE_4K = Chip("id_bytes=0xec,0xd3,0x10,0xa6,0x64 overridesize=10", 256 << 20, 256 << 10, 4096)


def records(seed, size, erase):
    """Records with a gap, a record crossing blocks and bytes left to 0xFF."""
    import random
    rng = random.Random(seed)
    out, address = [], START
    while address - START < size:
        data = rng.randbytes(rng.randrange(1000, erase + erase // 2))
        out.append((address, data))
        address += len(data) + rng.choice([0, 33, erase])
    return out


def blocks_image(count, erase):
    """An image of exactly `count` blocks, each starting with its number."""
    return [(START + k * erase, bytes([k & 0xFF]) * 64) for k in range(count)]


class Case:
    """One install on a nandsim chip, optionally over an earlier install
    (`over`, a Case on the same chip that must succeed). `image` replaces the
    image bin_image(records) would make (a truncated or out-of-order one);
    `records` are then what the install lays out before it stops, and `fits`
    how many of their blocks reach the flash."""

    def __init__(self, name, chip, nonfs, recs, bad=(), weak_blocks=(), weak_pages=(), source="file",
                 status=0, err_tail=None, fits=None, image=None, over=None, bitflips=0, grave_pages=(), extra=()):
        self.name, self.chip, self.nonfs, self.records, self.extra = name, chip, nonfs, recs, list(extra)
        self.bitflips, self.grave_pages = bitflips, list(grave_pages)
        self.bad, self.weak_blocks, self.weak_pages, self.source = list(bad), list(weak_blocks), list(weak_pages), source
        self.status, self.err_tail, self.fits = status, err_tail, fits
        self.image = image if image is not None else bin_image(START, recs)
        self.over = over

    def nandsim_params(self):
        params = self.chip.params
        if self.bad:
            params += " badblocks=" + ",".join(map(str, self.bad))
        if self.weak_blocks:
            params += " weakblocks=" + ",".join(f"{b}:0" for b in self.weak_blocks)
        if self.weak_pages:
            params += " weakpages=" + ",".join(f"{p}:0" for p in self.weak_pages)
        if self.bitflips:
            params += f" bitflips={self.bitflips}"
        if self.grave_pages:  # every read of these (written) pages fails
            params += " gravepages=" + ",".join(f"{p}:0" for p in self.grave_pages)
        return params

    def worn(self):
        """{block: what failed} for the blocks this install would mark bad: a
        weak block's erase, a weak page's program, a grave page's read-back
        (unless --no-verify). Marking erases the block first, as
        nand_block_markbad_lowlevel does, so a marked block reads erased."""
        def block_of(page):
            return page * self.chip.page // self.chip.erase

        worn = {block: "Erase" for block in self.weak_blocks}
        for page in self.weak_pages:
            worn.setdefault(block_of(page), "Write")
        if "--no-verify" not in self.extra:
            for page in self.grave_pages:
                worn.setdefault(block_of(page), "Verify")
        return worn

    def effect(self):
        """(stderr, [(device block, bytes)] programmed in order, partition
        table block or None, its page) of this install."""
        outcome = self.outcome()
        return outcome["err"], outcome["writes"], outcome["table_block"], outcome["page"]

    def marked(self):
        """The blocks this install marks bad, in order."""
        return self.outcome()["marked"]

    def outcome(self):
        erase = self.chip.erase
        blocks = model.lay_out(START, self.records, erase)
        worn = self.worn()
        unusable = set(self.bad) | set(worn)
        placed, skipped = model.place(len(blocks), (self.nonfs << 20) // erase, unusable)
        if self.fits is not None:  # the install stops after this many blocks
            placed = placed[:self.fits]
        err = f"Image base address {START:08x}, size {header_length(self.image)}\n"
        marked = []

        def passed_over(block):
            at = f"{block * erase:08x}"
            if block in self.bad:
                return f"Bad block at {at}, skipping...\n"
            marked.append(block)
            return f"{worn[block]} failed at {at}, skipping...\nMarked block at {at} bad\n"

        for block in skipped:
            if block > (placed[-1] if placed else 0) or len(placed) < len(blocks):
                err += passed_over(block)
        outcome = {"writes": list(zip(placed, blocks)), "marked": marked, "table_block": None, "page": b""}
        if self.status != 0:
            return {**outcome, "err": err + self.err_tail}
        err += f"Image written, {len(blocks)} erase blocks...\n"
        table_block = -(-model.TABLE_SEARCH_START // erase)
        while table_block in unusable:
            err += passed_over(table_block)
            table_block += 1
        err += "Partition table written...\n"
        page = model.table_page(placed, model.table_page_size(self.chip.page))
        return {**outcome, "err": err, "table_block": table_block, "page": page}

    def loader_block(self):
        """Where the loader reads the partition table: the first block from
        3.5 MiB up that the chip does not report bad, after this install."""
        block = -(-model.TABLE_SEARCH_START // self.chip.erase)
        while block in self.bad or block in self.marked():
            block += 1
        return block

    def expected_blocks(self):
        """{block: contents} of the chip after this install (and the one it
        goes over); every other block is erased. Kept sparse: a 128 MiB
        bytearray per case costs more than the comparison itself."""
        erase = self.chip.erase
        flash = {}
        for install in ([self.over] if self.over else []) + [self]:
            _, writes, table_block, page = install.effect()
            old = self.loader_block()
            if writes and flash.get(old, b"").startswith(model.MAGIC):
                # The old partition table goes before the first image block is erased.
                del flash[old]
            for block, data in writes:
                flash[block] = data
            if table_block is not None:
                flash[table_block] = page + b"\xff" * (erase - len(page))
        return flash


def header_length(image):
    return int.from_bytes(image[11:15], "little")


E128 = 128 << 10
CASES = [
    Case("large-page-file", LARGE, 64, records(1, 2 << 20, E128), bad=[512, 509, 400, 28]),
    Case("large-page-pipe", LARGE, 64, records(2, 2 << 20, E128), bad=[511, 510, 28], source="pipe"),
    Case("small-page", SMALL_PAGE, 32, records(3, 600 << 10, 16 << 10), bad=[2048, 2040, 224, 225]),
    Case("4k-page", PAGE_4K, 64, records(4, 3 << 20, 256 << 10), bad=[256, 250, 14]),
    Case("256mib-pipe", LARGE_256M, 128, records(5, 2 << 20, E128), bad=[1024, 1020, 28, 29], source="pipe"),
    # A file that cannot fit is refused before the first erase; from a pipe
    # the install finds out only as it goes.
    Case("area-exhausted-pipe", LARGE, 2, blocks_image(20, E128), bad=[10], status=1, source="pipe",
         err_tail="No good block left in the non-Filesystem partition!\n", fits=14),
    Case("overlaps-partition-table-pipe", LARGE, 8, blocks_image(37, E128), status=1, fits=37, source="pipe",
         err_tail="Image written, 37 erase blocks...\nImage overlaps partition table block at 00380000!\n"),
]

# An install over an earlier one on the same chip. A: six blocks from 512
# down, 510 bad, so A sits in 512, 511, 509..506; the partition table block
# at 0x380000 is bad, so the table is in block 29. B: five blocks, each record
# inside its block.
SAFETY_BAD = [510, 28]
RECORDS_A = [(START + k * E128, bytes([0xA0 + k]) * 3000) for k in range(6)]
RECORDS_B = [(START + k * E128 + 100, bytes([0xB0 + k, k]) * 2000) for k in range(5)]
INSTALL_A = Case("a", LARGE, 64, RECORDS_A, bad=SAFETY_BAD)
SAFETY_CASES = [
    # The image ends inside B's last record: the four blocks before it are
    # finished and written, the fifth never is.
    Case("over-a-truncated-pipe", LARGE, 64, RECORDS_B[:4], bad=SAFETY_BAD, source="pipe",
         image=bin_image(START, RECORDS_B)[:-3000], status=1, fits=4,
         err_tail="Incomplete data section!\n", over=INSTALL_A),
    # Block 0 is full, so from a pipe it is written before the next record
    # turns out to start inside it; from a file the check before writing
    # finds it and the flash is left alone, A whole.
    Case("over-a-out-of-order-pipe", LARGE, 64, [(START, b"\x01" * E128)], bad=SAFETY_BAD, source="pipe",
         image=bin_image(START, [(START, b"\x01" * E128), (START + 9, b"\x02")]), status=1, fits=1,
         err_tail="Record at 80200009 out of order!\n", over=INSTALL_A),
    Case("over-a-out-of-order-file", LARGE, 64, [(START, b"\x01" * E128)], bad=SAFETY_BAD,
         image=bin_image(START, [(START, b"\x01" * E128), (START + 9, b"\x02")]), status=1, fits=0,
         err_tail="Record at 80200009 out of order!\n", over=INSTALL_A),
    Case("over-a-complete", LARGE, 64, RECORDS_B, bad=SAFETY_BAD, over=INSTALL_A),
]

# Worn blocks: each fails once, is marked bad (the kernel's bad-block query
# says so afterwards, and marking erased it) and what was to go there goes
# into the next good block; show and verify then pass.
WORN_CASES = [
    Case("erase-fails-image-block", LARGE, 64, records(6, 1 << 20, E128), weak_blocks=[511]),
    Case("erase-fails-loader-block", LARGE, 64, records(7, 1 << 20, E128), weak_blocks=[28], bad=[510]),
    Case("program-fails", LARGE, 64, blocks_image(4, E128), weak_pages=[511 * 64 + 5]),
    Case("uncorrectable-read-back", LARGE, 64, records(13, 1 << 20, E128), grave_pages=[510 * 64 + 5]),
]

# ECC on the way back. nandsim's bitflips flips a random bit in one read of a
# written page in 1024, so about 130 * 64 / 1024 = 8 corrected bitflips show
# up in each read of these 130 blocks; its dump is installed again on a fresh chip.
# The install's own read-back meets about as many and says so in one line.
# A grave page returns noise on every read: ECC cannot correct it; installed
# without read-back, it stays for verify and dump to find.
ECC_CASES = [
    Case("bitflips-dump-round-trip", LARGE, 64, records(11, (16 << 20) - 4096, E128), bad=[511, 28], bitflips=1),
    Case("uncorrectable-page", LARGE, 64, records(12, 1 << 20, E128), grave_pages=[510 * 64 + 5],
         extra=["--no-verify"]),
]
ALL_CASES = CASES + SAFETY_CASES + WORN_CASES + ECC_CASES

# Timing: a 16 MiB image, 128 blocks from block 512 down, on nandsim with its
# delays on (microseconds; the erase in milliseconds, the bus cycles in
# nanoseconds per byte), fed from the guest's tmpfs or from a producer that
# hands out 128 KiB chunks paced to a rate, one or four at a time: 10 ms a
# chunk is faster than this NAND takes a block, 50 ms slower.
TIMING_DELAYS = "do_delays=1 access_delay=25 programm_delay=200 erase_delay=2 output_cycle=40 input_cycle=50"


def contiguous_records(seed, size, erase):
    """Records of random lengths, one after the other, `size` bytes in all."""
    import random
    rng = random.Random(seed)
    out, done = [], 0
    while done < size:
        length = min(rng.randrange(1000, erase + erase // 2), size - done)
        out.append((START + done, rng.randbytes(length)))
        done += length
    return out


TIMING_RECORDS = contiguous_records(99, (16 << 20) - 4096, E128)
PRODUCERS = [  # (name, milliseconds per chunk, chunks at once)
    ("10 ms per chunk", 10, 1),
    ("25 ms per chunk", 25, 1),
    ("50 ms per chunk", 50, 1),
    ("4 chunks per 100 ms", 25, 4),
]


def producer_tag(delay, burst):
    return f"{delay}ms-x{burst}"


def drimlet_in_guest(arch):
    return f"/share/drimlet-{arch}"


def inspect_in_guest(arch):
    return f"/share/drimlet-inspect-{arch}"


def case_steps(case, arch):
    """The steps of guest-init's chip_case for `case`."""
    lines = []
    if case.over:
        lines.append(f"step before {drimlet_in_guest(arch)} -n {case.over.nonfs} /dev/mtd0 before.bin")
    feed = "fed nk.bin " if case.source == "pipe" else ""
    image = "-" if case.source == "pipe" else "nk.bin"
    options = "".join(f"{option} " for option in case.extra)
    lines.append(f"step install {feed}{drimlet_in_guest(arch)} {options}-n {case.nonfs} /dev/mtd0 {image}")
    if case.over or case in WORN_CASES:
        lines.append(f"step show {inspect_in_guest(arch)} show /dev/mtd0")
    if case in WORN_CASES:
        lines.append(f"step verify {inspect_in_guest(arch)} verify /dev/mtd0 nk.bin")
    if case in ECC_CASES:
        lines += [f"step verify{k} {inspect_in_guest(arch)} verify /dev/mtd0 nk.bin" for k in (1, 2)]
        lines.append(f"step dump-image {inspect_in_guest(arch)} dump /dev/mtd0 dumped.bin --start {START:#x}")
        # The kernel's log names the page of every bit nandsim flips while map reads.
        lines += ["dmesg -c > /dev/null", f"step map {inspect_in_guest(arch)} --json map -n {case.nonfs} /dev/mtd0",
                  "dmesg > map.dmesg"]
    lines.append("dump after")
    # The kernel's bad-block query, through flash_erase, last: a block it
    # does not report bad gets erased.
    lines += [f"step probe-{block} flash_erase /dev/mtd0 {block * case.chip.erase} 1" for block in case.marked()]
    if case is ECC_CASES[0]:
        lines += ["fresh_chip", f"step reinstall {drimlet_in_guest(arch)} -n {case.nonfs} /dev/mtd0 dumped.bin",
                  "dump reinstalled"]
    return "\n".join(lines) + "\n"


def timing_steps(chunks):
    lines = [
        "# mtd-utils' flash_erase and nandwrite -p of the laid-out blocks, on a chip without delays",
        f"lay_with_mtd_utils() {{ flash_erase -q /dev/mtd0 {385 * E128} 128 && "
        f"nandwrite -q -p -s {385 * E128} /dev/mtd0 laid.bin; }}",
    ]
    for arch in BINARIES:
        lines += [f'load_chip "{LARGE.params}"',
                  f"timed nodelay-{arch} {drimlet_in_guest(arch)} -n 64 /dev/mtd0 /tmp/nk.bin", "rmmod nandsim"]
    lines += [f'load_chip "{LARGE.params}"', "timed mtd-utils lay_with_mtd_utils", "rmmod nandsim"]
    delayed = f"{LARGE.params} {TIMING_DELAYS}"
    for arch in BINARIES:
        lines += [f'load_chip "{delayed}"',
                  f"timed nand-{arch} {drimlet_in_guest(arch)} -n 64 /dev/mtd0 /tmp/nk.bin",
                  f"step verify-nand-{arch} {inspect_in_guest(arch)} verify /dev/mtd0 /tmp/nk.bin", "rmmod nandsim"]
    for name, delay, burst in PRODUCERS:
        tag = producer_tag(delay, burst)
        lines.append(f"timed source-{tag} produce {delay} {burst} {chunks}")
        for arch in BINARIES:
            lines += [f'load_chip "{delayed}"',
                      f"timed both-{arch}-{tag} side_by_side {delay} {burst} {chunks} "
                      f"{drimlet_in_guest(arch)} -n 64 /dev/mtd0 /tmp/nk.bin", "rmmod nandsim"]
            lines += [f'load_chip "{delayed}"',
                      f"timed pipe-{arch}-{tag} produced {delay} {burst} {chunks} "
                      f"{drimlet_in_guest(arch)} -n 64 /dev/mtd0 -",
                      f"step verify-pipe-{arch}-{tag} {inspect_in_guest(arch)} verify /dev/mtd0 /tmp/nk.bin",
                      "rmmod nandsim"]
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="session")
def guest(tmp_path_factory):
    for needed in (GUEST_DIR / "vmlinuz", GUEST_DIR / "initrd.cpio.gz", *BINARIES.values(), *INSPECTORS.values()):
        if not needed.exists():
            pytest.fail(f"{needed} is missing: run tests/system/run")
    share = tmp_path_factory.mktemp("share")
    for arch in BINARIES:
        shutil.copy(BINARIES[arch], share / f"drimlet-{arch}")
        shutil.copy(INSPECTORS[arch], share / f"drimlet-inspect-{arch}")
    lines = []
    for arch in BINARIES:
        for case in ALL_CASES:
            folder = share / "cases.d" / f"{arch}-{case.name}"
            folder.mkdir(parents=True)
            (folder / "nk.bin").write_bytes(case.image)
            if case.over:
                (folder / "before.bin").write_bytes(case.over.image)
            (folder / "steps").write_text(case_steps(case, arch))
            lines.append(f"chip_case {arch}-{case.name} {shlex.quote(case.nandsim_params())}")
    timing = share / "timing.d" / "large-16mib"
    timing.mkdir(parents=True)
    image = bin_image(START, TIMING_RECORDS)
    (timing / "nk.bin").write_bytes(image)
    (timing / "laid.bin").write_bytes(b"".join(model.lay_out(START, TIMING_RECORDS, E128)))
    (timing / "steps").write_text(timing_steps(-(-len(image) // E128)))
    lines.append("timing large-16mib")
    (share / "cases").write_text("\n".join(lines) + "\n")
    started = time.monotonic()
    boot = subprocess.run(
        ["qemu-system-arm", "-M", "virt", "-cpu", "cortex-a15", "-smp", str(GUEST_CPUS), "-m", "1024",
         "-nographic", "-nic", "none", "-no-reboot",
         "-kernel", str(GUEST_DIR / "vmlinuz"), "-initrd", str(GUEST_DIR / "initrd.cpio.gz"),
         "-append", "console=ttyAMA0 quiet panic=-1",
         "-fsdev", f"local,id=fs0,path={share},security_model=none",
         "-device", "virtio-9p-device,fsdev=fs0,mount_tag=share"],
        capture_output=True, text=True, timeout=1800, stdin=subprocess.DEVNULL)
    (share / "console.log").write_text(boot.stdout + boot.stderr)
    # The guest's CPUs are host threads: the timing means little without the host's load beside it.
    (share / "host-load").write_text(" ".join(f"{load:.2f}" for load in os.getloadavg()))
    release = share / "kernel-release"
    print(f"\nguest kernel {release.read_text().strip() if release.exists() else '?'}, "
          f"{len(ALL_CASES) * len(BINARIES)} cases and the timing in {time.monotonic() - started:.1f} s")
    return share


def console_tail(share):
    return (share / "console.log").read_text()[-3000:]


def test_guest_runs_on_two_cpus(guest):
    """The timing's producer and drimlet run side by side only if the
    guest brought its second CPU up."""
    assert (guest / "cpus").exists(), console_tail(guest)
    assert int((guest / "cpus").read_text()) == GUEST_CPUS


@functools.lru_cache(maxsize=None)
def expected_of(case):
    """(stderr, {block: contents}) the case must produce, built once for both binaries."""
    return case.effect()[0], case.expected_blocks()


def read_step(folder, name):
    """(status, stdout, stderr) of a guest step."""
    return (int((folder / f"{name}.status").read_text()), (folder / f"{name}.out").read_text(),
            (folder / f"{name}.err").read_text())


def assert_flash(case, path, blocks):
    """The dump at `path` holds `blocks` and is erased elsewhere; pages
    nandsim returns noise for are left out."""
    erase, page = case.chip.erase, case.chip.page
    erased = b"\xff" * erase
    wrong = []
    with open(path, "rb") as dump:
        for block in range(case.chip.size // erase):
            got, want = dump.read(erase), blocks.get(block, erased)
            for grave in case.grave_pages:
                at = grave * page - block * erase
                if 0 <= at < erase:
                    got = got[:at] + want[at:at + page] + got[at + page:]
            if got != want:
                wrong.append(block)
        assert dump.read(1) == b"", "the dump is larger than the chip"
    assert wrong == [], f"flash differs from the model in blocks {wrong[:20]}"


def check_case(guest, case, arch):
    folder = guest / "cases.d" / f"{arch}-{case.name}"
    assert (folder / "status").exists(), console_tail(guest)
    assert (folder / "insmod.err").read_text() == ""
    err, flash = expected_of(case)
    status, out, got_err = read_step(folder, "install")
    assert out == case.chip.report()
    if case.bitflips:  # how many blocks meet one is chance: the kernel's count bounds it
        got_err, blocks = without_read_back_line(got_err)
        corrected, _ = kernel_ecc(folder, "install")
        assert 0 < blocks <= corrected, f"{blocks} blocks read back with corrected bitflips, {corrected} corrected"
    assert got_err == err
    assert status == case.status
    assert int((folder / "after.bad").read_text()) == len(case.bad) + len(case.marked())
    _, failed = kernel_ecc(folder, "after")
    grave_left = bool(case.grave_pages) and "--no-verify" in case.extra
    assert (failed > 0) == grave_left, f"the kernel counted {failed} ECC failures reading the chip back"
    assert_flash(case, folder / "after.flash", flash)
    return folder


def without_read_back_line(err):
    """`err` without its "Read back N blocks with corrected bitflips" line, and N (0 without one)."""
    found = re.search(r"^Read back (\d+) blocks with corrected bitflips\n", err, re.M)
    return (err[:found.start()] + err[found.end():], int(found.group(1))) if found else (err, 0)


def kernel_ecc(folder, step):
    """(corrected bits, ECC failures) the kernel counted during a step."""
    before_corrected, before_failed, after_corrected, after_failed = \
        (int(v) for v in (folder / f"{step}.ecc").read_text().split())
    return after_corrected - before_corrected, after_failed - before_failed


def reported_ecc(out):
    """{(image block, device block): [corrected, failed]} from the per-block
    lines of drimlet-inspect verify or dump."""
    found = {}
    for image_block, device_block, count, kind in re.findall(
            r"^image block (\d+) \(device block (\d+) at 0x[0-9a-f]+\): (\d+) "
            r"(corrected bitflips?|uncorrectable ECC errors?)", out, re.M):
        counts = found.setdefault((int(image_block), int(device_block)), [0, 0])
        counts[0 if kind.startswith("corrected") else 1] += int(count)
    return found


@pytest.mark.parametrize("arch", BINARIES)
@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_install_on_nandsim(guest, case, arch):
    check_case(guest, case, arch)


def shown_table(show_out):
    """(partition table block, [device block of each image block]) from
    drimlet-inspect show."""
    where = re.search(r"^partition table at 0x[0-9a-f]+ \(device block (\d+)\):", show_out, re.M)
    blocks = [int(b) for b in re.findall(r"^\s+image block\s+\d+ -> device block\s+(\d+)", show_out, re.M)]
    return (int(where.group(1)) if where else None), blocks


@pytest.mark.parametrize("arch", BINARIES)
@pytest.mark.parametrize("case", SAFETY_CASES, ids=[c.name for c in SAFETY_CASES])
def test_install_over_an_earlier_one(guest, case, arch):
    """A's install, then B's on the same chip: a B that fails once it has
    begun leaves no partition table (B's finished blocks over A's, A's others
    as they were); a B refused before writing leaves A whole; a B that
    succeeds leaves exactly B's table and blocks."""
    folder = guest / "cases.d" / f"{arch}-{case.name}"
    assert (folder / "status").exists(), console_tail(guest)
    before_err, _, _, _ = case.over.effect()
    assert read_step(folder, "before") == (0, case.chip.report(), before_err)
    check_case(guest, case, arch)
    erase, loader_block = case.chip.erase, case.loader_block()
    with open(folder / "after.flash", "rb") as dump:
        dump.seek(loader_block * erase)
        loader_reads = dump.read(len(model.MAGIC))
    status, out, err = read_step(folder, "show")
    if case.status == 0:
        _, writes, table_block, _ = case.effect()
        assert table_block == loader_block
        assert loader_reads == model.MAGIC
        assert (status, shown_table(out)) == (0, (loader_block, [block for block, _ in writes])), out + err
    elif not case.effect()[1]:  # refused before the first erase
        _, a_writes, _, _ = case.over.effect()
        assert loader_reads == model.MAGIC
        assert (status, shown_table(out)) == (0, (loader_block, [block for block, _ in a_writes])), out + err
    else:
        assert loader_reads != model.MAGIC
        assert status == 1 and "no valid partition table" in err, out + err


@pytest.mark.parametrize("arch", BINARIES)
@pytest.mark.parametrize("case", WORN_CASES, ids=[c.name for c in WORN_CASES])
def test_worn_block_is_marked_and_the_install_verifies(guest, case, arch):
    """The block that failed is passed over and marked: the kernel's
    bad-block query reports it bad, show finds the table where the loader
    looks and verify passes."""
    folder = check_case(guest, case, arch)
    assert case.marked(), "the case wears no block"
    _, writes, table_block, _ = case.effect()
    assert table_block == case.loader_block()
    status, out, err = read_step(folder, "show")
    assert (status, shown_table(out)) == (0, (table_block, [block for block, _ in writes])), out + err
    status, out, err = read_step(folder, "verify")
    assert status == 0, out + err
    for block in case.marked():
        status, out, err = read_step(folder, f"probe-{block}")
        assert re.search(rf"Skipping bad block at (0x)?{block * case.chip.erase:08x}", out + err), out + err


@pytest.mark.parametrize("arch", BINARIES)
def test_corrected_bitflips_warn_and_a_dump_installs_again(guest, arch):
    """verify and dump report exactly the bitflips the kernel corrected while
    they read (give or take one in the partition table page, read once
    outside the per-block count) and still pass; the dump, installed on a
    fresh chip, leaves the same flash."""
    case = ECC_CASES[0]
    folder = check_case(guest, case, arch)
    blocks = len(model.lay_out(START, case.records, case.chip.erase))
    seen = 0
    for step in ("verify1", "verify2", "dump-image"):
        status, out, err = read_step(folder, step)
        assert status == 0, (step, out, err)
        corrected, failed = kernel_ecc(folder, step)
        per_block = reported_ecc(out)
        reported = sum(c for c, _ in per_block.values())
        table_line = re.search(r"^partition table block at 0x[0-9a-f]+: (\d+) corrected bitflips?", out, re.M)
        reported += int(table_line.group(1)) if table_line else 0
        assert failed == 0 and all(f == 0 for _, f in per_block.values()), (step, out)
        assert reported <= corrected <= reported + 1, (step, corrected, out)
        warning = re.search(r"^(verify|dump): warning: (\d+) corrected bitflips? in (\d+) blocks?", out, re.M)
        assert (int(warning.group(2)) if warning else 0) == reported, (step, out)
        if step.startswith("verify"):
            seen += reported
            assert f"verify: all {blocks} image blocks and the partition table match" in out, (step, out)
    assert seen > 0, f"two verifies of {blocks} blocks saw no corrected bitflip: is bitflips= still honoured?"
    status, out, err = read_step(folder, "reinstall")
    assert status == 0 and without_read_back_line(err)[0].endswith("Partition table written...\n"), err
    assert_flash(case, folder / "reinstalled.flash", expected_of(case)[1])


@pytest.mark.parametrize("arch", BINARIES)
def test_uncorrectable_page_fails_verify_and_dump(guest, arch):
    """One page that reads back as noise: verify and dump name its block,
    count the kernel's ECC failures, and fail."""
    case = ECC_CASES[1]
    folder = check_case(guest, case, arch)
    grave_block = case.grave_pages[0] * case.chip.page // case.chip.erase
    image_block = 512 - grave_block
    for step in ("verify1", "verify2", "dump-image"):
        status, out, err = read_step(folder, step)
        _, failed = kernel_ecc(folder, step)
        per_block = reported_ecc(out)
        assert status == 1, (step, out, err)
        assert failed > 0 and per_block[(image_block, grave_block)][1] == failed, (step, failed, out)
        assert [key for key, (_, f) in per_block.items() if f] == [(image_block, grave_block)], (step, out)
        named = {int(k) for k in re.findall(r"^image block (\d+)\b", out, re.M)}
        assert named == {image_block}, (step, out)
        assert "1 block was read with uncorrectable ECC errors" in out, (step, out)


@pytest.mark.parametrize("arch", BINARIES)
def test_map_shows_corrected_bitflips_where_nandsim_flipped(guest, arch):
    """map reads every block once: the bitflips it counts per block add up
    to the kernel's count for the step, each block it counts is one whose
    page the kernel's log names, and every bit flipped in a page's data
    shows at its block (a flip in the spare area ECC does not cover is
    never counted)."""
    case = ECC_CASES[0]
    folder = check_case(guest, case, arch)
    status, out, err = read_step(folder, "map")
    assert status == 0, (out, err)
    doc = json.loads(out)
    corrected, failed = kernel_ecc(folder, "map")
    per_block = {b["index"]: b["corrected"] for b in doc["blocks"] if b["corrected"]}
    assert failed == 0 and sum(per_block.values()) == corrected, (corrected, per_block)
    flips = [(int(page), int(column), int(bit)) for bit, page, column in re.findall(
        r"flipping bit (\d+) in page (\d+) reading from (\d+)", (folder / "map.dmesg").read_text())]
    pages_per_block = case.chip.erase // case.chip.page
    named = {page // pages_per_block for page, _, _ in flips}
    in_data = {page // pages_per_block for page, column, bit in flips if column + bit // 8 < case.chip.page}
    assert per_block and set(per_block) <= named and in_data <= set(per_block), (sorted(per_block), flips)
    table = doc["partition_table"]["device_block"]
    assert all(doc["blocks"][b]["state"] == ("table" if b == table else "corrected") for b in per_block)
    assert doc["summary"] == (f"{len(case.bad)} bad, {doc['partition_table']['count']} image blocks, "
                              f"table at 0x{table * case.chip.erase:08x}, {len(per_block)} blocks with corrected "
                              f"bitflips, 0 unreadable")


@pytest.mark.parametrize("arch", BINARIES)
def test_map_marks_the_block_of_an_unreadable_page(guest, arch):
    """The one grave page's block, and no other, is X; the table lists it,
    so the board would not boot: status 1."""
    case = ECC_CASES[1]
    folder = check_case(guest, case, arch)
    grave_block = case.grave_pages[0] * case.chip.page // case.chip.erase
    status, out, err = read_step(folder, "map")
    doc = json.loads(out)
    assert status == 1 and doc["ok"] is False, (out, err)
    assert kernel_ecc(folder, "map")[1] > 0
    assert [b["index"] for b in doc["blocks"] if b["failed"]] == [grave_block]
    assert doc["blocks"][grave_block]["state"] == "unreadable"
    assert doc["not_bootable"] == [{"image_block": 512 - grave_block, "device_block": grave_block,
                                    "offset": grave_block * case.chip.erase, "problem": "unreadable"}]
    assert doc["summary"].endswith(", 0 blocks with corrected bitflips, 1 unreadable")


def test_install_time(guest):
    """Figures, not a timed test: every install must succeed and verify; the
    times are printed and kept in build/system-results/timing.txt."""
    folder = guest / "timing.d" / "large-16mib"
    assert (folder / "centiseconds").exists(), console_tail(guest)
    runs = {}
    for line in (folder / "centiseconds").read_text().splitlines():
        name, centiseconds, status = line.split()
        runs[name] = int(centiseconds) / 100
        if name.startswith(("nodelay-", "nand-", "both-", "pipe-")):
            assert status == "0" and (folder / f"{name}.err").read_text().endswith("Partition table written...\n"), \
                (name, (folder / f"{name}.err").read_text())
        else:
            assert status == "0", (name, (folder / f"{name}.err").read_text())
    tags = [producer_tag(delay, burst) for _, delay, burst in PRODUCERS]
    expected_runs = {"mtd-utils", *(f"{kind}-{arch}" for kind in ("nodelay", "nand") for arch in BINARIES),
                     *(f"source-{tag}" for tag in tags),
                     *(f"{kind}-{arch}-{tag}" for kind in ("both", "pipe") for arch in BINARIES for tag in tags)}
    assert set(runs) == expected_runs
    for verify in folder.glob("verify-*.status"):
        name = verify.name[:-len(".status")]
        status, out, err = read_step(folder, name)
        assert status == 0, (name, out, err)
    assert len(list(folder.glob("verify-*.status"))) == len(BINARIES) * (1 + len(PRODUCERS))

    size = (folder / "nk.bin").stat().st_size
    lines = [f"A 16 MiB image ({size} bytes, 128 blocks of 128 KiB) onto nandsim (128 MiB, 2 KiB pages) with",
             f"{TIMING_DELAYS.replace(' ', ', ')} (us; erase ms; cycles ns);",
             f"qemu-system-arm -M virt -smp {GUEST_CPUS}, Debian's armmp kernel, on {os.cpu_count()} host CPUs"
             f" (load average {(guest / 'host-load').read_text()} after the boot); seconds from /proc/uptime.",
             "NAND: drimlet reading the image from the guest's tmpfs. source: the producer alone into /dev/null,",
             "128 KiB chunks by dd, paced as named. floor: the larger. both: the two at once, each on its own.",
             "drimlet: drimlet reading the producer through a pipe.",
             "",
             f"{'producer':<20} {'binary':<6} {'source s':>8} {'NAND s':>7} {'floor s':>7} {'both s':>7}"
             f" {'drimlet s':>9} {'drimlet/floor':>13} {'drimlet/both':>12}"]
    for (name, delay, burst), tag in zip(PRODUCERS, tags):
        for arch in BINARIES:
            source, nand = runs[f"source-{tag}"], runs[f"nand-{arch}"]
            both, drimlet = runs[f"both-{arch}-{tag}"], runs[f"pipe-{arch}-{tag}"]
            floor = max(source, nand)
            lines.append(f"{name:<20} {arch:<6} {source:>8.2f} {nand:>7.2f} {floor:>7.2f} {both:>7.2f}"
                         f" {drimlet:>9.2f} {drimlet / floor:>13.2f} {drimlet / both:>12.2f}")
    lines += ["",
              "Without nandsim's delays: " + ", ".join(f"drimlet {arch} {runs[f'nodelay-{arch}']:.2f} s"
                                                      for arch in BINARIES)
              + f", flash_erase + nandwrite -p of the same blocks {runs['mtd-utils']:.2f} s"]
    text = "\n".join(lines) + "\n"
    print("\n" + text)
    results = ROOT / "build" / "system-results"
    results.mkdir(parents=True, exist_ok=True)
    (results / "timing.txt").write_text(text)
