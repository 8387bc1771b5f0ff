"""drimlet on the real Linux MTD stack: the static ARM binaries run in an ARM
guest kernel against nandsim (MTD core, raw NAND, software ECC, mtdchar), and
every case's whole flash is dumped and compared with an independent model.

Every case runs with both board binaries: armhf (ARMv7, hard float) and armel
(ARMv5TE, soft float; on this ARMv7 kernel it also goes through the kernel's
user helpers for atomics and the thread pointer). All cases run in one boot
(session fixture); nandsim is loaded afresh for each. GUEST_DIR holds vmlinuz
and initrd.cpio.gz (tests/system/build-guest), DRIMLET_ARMHF and
DRIMLET_ARMEL the static binaries.
"""
import functools
import os
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
    def __init__(self, name, chip, nonfs, recs, bad=(), weak_blocks=(), weak_pages=(), source="file",
                 status=0, err_tail=None, fits=None):
        self.name, self.chip, self.nonfs, self.records = name, chip, nonfs, recs
        self.bad, self.weak_blocks, self.weak_pages, self.source = list(bad), list(weak_blocks), list(weak_pages), source
        self.status, self.err_tail, self.fits = status, err_tail, fits

    def nandsim_params(self):
        params = self.chip.params
        if self.bad:
            params += " badblocks=" + ",".join(map(str, self.bad))
        if self.weak_blocks:
            params += " weakblocks=" + ",".join(f"{b}:0" for b in self.weak_blocks)
        if self.weak_pages:
            params += " weakpages=" + ",".join(f"{p}:0" for p in self.weak_pages)
        return params

    def expected(self):
        """(stderr, flash) this case must produce."""
        erase = self.chip.erase
        blocks = model.lay_out(START, self.records, erase)
        unusable = set(self.bad) | set(self.weak_blocks)
        placed, skipped = model.place(len(blocks), (self.nonfs << 20) // erase, unusable)
        if self.fits is not None:  # the install stops after this many blocks
            placed = placed[:self.fits]
        length = max(a + len(d) for a, d in self.records) - START
        err = f"Image base address {START:08x}, size {length}\n"
        for block in skipped:
            if block > (placed[-1] if placed else 0) or len(placed) < len(blocks):
                word = "Erase failed" if block in self.weak_blocks and block not in self.bad else "Bad block"
                err += f"{word} at {block * erase:08x}, skipping...\n"
        table_block = None
        if self.status == 0:
            err += f"Image written, {len(blocks)} erase blocks...\n"
            table_block = -(-model.TABLE_SEARCH_START // erase)
            while table_block in unusable:
                word = "Erase failed" if table_block in self.weak_blocks and table_block not in self.bad else "Bad block"
                err += f"{word} at {table_block * erase:08x}, skipping...\n"
                table_block += 1
            err += "Partition table written...\n"
        else:
            err += self.err_tail
        page = model.table_page(placed, model.table_page_size(self.chip.page)) if table_block else b""
        written = blocks[:len(placed)]
        if self.weak_pages:  # the block whose program failed holds its pages before the failing one
            failing_block = self.weak_pages[0] * self.chip.page // erase
            good = (self.weak_pages[0] * self.chip.page) % erase
            placed_failing = placed + [failing_block]
            written = written + [blocks[len(placed)][:good] + b"\xff" * (erase - good)]
            return err, model.expected_flash(self.chip.size, erase, written, placed_failing)
        return err, model.expected_flash(self.chip.size, erase, written, placed, table_block, page)


E128 = 128 << 10
CASES = [
    Case("large-page-file", LARGE, 64, records(1, 2 << 20, E128), bad=[512, 509, 400, 28]),
    Case("large-page-pipe", LARGE, 64, records(2, 2 << 20, E128), bad=[511, 510, 28], source="pipe"),
    Case("small-page", SMALL_PAGE, 32, records(3, 600 << 10, 16 << 10), bad=[2048, 2040, 224, 225]),
    Case("4k-page", PAGE_4K, 64, records(4, 3 << 20, 256 << 10), bad=[256, 250, 14]),
    Case("256mib-pipe", LARGE_256M, 128, records(5, 2 << 20, E128), bad=[1024, 1020, 28, 29], source="pipe"),
    Case("erase-fails-image-block", LARGE, 64, records(6, 1 << 20, E128), weak_blocks=[511]),
    Case("erase-fails-table_block-block", LARGE, 64, records(7, 1 << 20, E128), weak_blocks=[28], bad=[510]),
    Case("program-fails", LARGE, 64, blocks_image(4, E128), weak_pages=[511 * 64 + 5], status=1,
         err_tail="Write erase block failed\n", fits=1),
    Case("area-exhausted", LARGE, 2, blocks_image(20, E128), bad=[10], status=1, err_tail="", fits=14),
    Case("overlaps-partition-table", LARGE, 8, blocks_image(37, E128), status=1, fits=37,
         err_tail="Image written, 37 erase blocks...\nImage overlaps partition table block at 00380000!\n"),
]


@pytest.fixture(scope="session")
def guest(tmp_path_factory):
    for needed in (GUEST_DIR / "vmlinuz", GUEST_DIR / "initrd.cpio.gz", *BINARIES.values()):
        if not needed.exists():
            pytest.fail(f"{needed} is missing: run tests/system/run")
    share = tmp_path_factory.mktemp("share")
    for arch, binary in BINARIES.items():
        shutil.copy(binary, share / f"drimlet-{arch}")
    lines = []
    for arch in BINARIES:
        for case in CASES:
            folder = share / "cases.d" / f"{arch}-{case.name}"
            folder.mkdir(parents=True)
            (folder / "nk.bin").write_bytes(bin_image(START, case.records))
            image = "-" if case.source == "pipe" else "nk.bin"
            lines.append(f'run_case {arch}-{case.name} "{case.nandsim_params()}" '
                         f'"-n {case.nonfs} /dev/mtd0 {image}" {case.source} {arch}')
    # Install time beside mtd-utils: a 16 MiB image, 128 blocks from block 512 down.
    timing = share / "timing.d" / "large-16mib"
    timing.mkdir(parents=True)
    data = records(99, (16 << 20) - 4096, E128)
    (timing / "nk.bin").write_bytes(bin_image(START, data))
    (timing / "laid.bin").write_bytes(b"".join(model.lay_out(START, data, E128)))
    lines.append(f'time_case large-16mib "{LARGE.params}" 64 {512 - 128 + 1} 128 {" ".join(BINARIES)}')
    (share / "cases").write_text("\n".join(lines) + "\n")
    started = time.monotonic()
    boot = subprocess.run(
        ["qemu-system-arm", "-M", "virt", "-cpu", "cortex-a15", "-m", "1024", "-nographic", "-nic", "none",
         "-no-reboot", "-kernel", str(GUEST_DIR / "vmlinuz"), "-initrd", str(GUEST_DIR / "initrd.cpio.gz"),
         "-append", "console=ttyAMA0 quiet panic=-1",
         "-fsdev", f"local,id=fs0,path={share},security_model=none",
         "-device", "virtio-9p-device,fsdev=fs0,mount_tag=share"],
        capture_output=True, text=True, timeout=1200, stdin=subprocess.DEVNULL)
    (share / "console.log").write_text(boot.stdout + boot.stderr)
    print(f"\nguest kernel {(share / 'kernel-release').read_text().strip() if (share / 'kernel-release').exists() else '?'}"
          f", {len(CASES) * len(BINARIES)} cases in {time.monotonic() - started:.1f} s")
    return share


@functools.lru_cache(maxsize=1)
def expected_of(case):
    """Both binaries' runs of a case follow each other: the model's flash
    (up to 256 MiB) is built once for the two."""
    return case.expected()


@pytest.mark.parametrize("arch", BINARIES)
@pytest.mark.parametrize("case", CASES, ids=[c.name for c in CASES])
def test_install_on_nandsim(guest, case, arch):
    folder = guest / "cases.d" / f"{arch}-{case.name}"
    assert (folder / "status").exists(), (guest / "console.log").read_text()[-3000:]
    assert (folder / "insmod.err").read_text() == ""
    err, flash = expected_of(case)
    assert (folder / "out").read_text() == case.chip.report()
    assert (folder / "err").read_text() == err
    assert int((folder / "status").read_text()) == case.status
    ecc_failures, bad_blocks = (int(v) for v in (folder / "ecc-and-bad").read_text().split())
    assert (ecc_failures, bad_blocks) == (0, len(case.bad))
    dumped = (folder / "flash.bin").read_bytes()
    assert len(dumped) == len(flash)
    if dumped != flash:
        erase = case.chip.erase
        wrong = [b for b in range(len(flash) // erase) if dumped[b * erase:(b + 1) * erase] != flash[b * erase:(b + 1) * erase]]
        pytest.fail(f"flash differs from the model in blocks {wrong[:20]}")


def test_install_time_beside_mtd_utils(guest):
    """Figures, not a timed test: every run must succeed; the times are
    printed and kept in build/system-results/timing.txt."""
    folder = guest / "timing.d" / "large-16mib"
    assert (folder / "centiseconds").exists(), (guest / "console.log").read_text()[-3000:]
    for arch in BINARIES:
        assert (folder / f"drimlet-{arch}.status").read_text().strip() == "0", arch
        assert (folder / f"drimlet-{arch}.err").read_text().endswith("Partition table written...\n"), arch
    assert (folder / "mtd-utils.status").read_text().strip() == "0", (folder / "mtd-utils.err").read_text()
    seconds = {name: int(value) / 100 for name, value in
               (line.split() for line in (folder / "centiseconds").read_text().splitlines())}
    assert set(seconds) == {*BINARIES, "mtd-utils"}
    line = ("16 MiB image, 128 blocks on nandsim (128 MiB, 128 KiB blocks, 2 KiB pages) in qemu-system-arm: "
            + ", ".join(f"drimlet {arch} {seconds[arch]:.2f} s" for arch in BINARIES)
            + f", flash_erase + nandwrite -p {seconds['mtd-utils']:.2f} s")
    print("\n" + line)
    results = ROOT / "build" / "system-results"
    results.mkdir(parents=True, exist_ok=True)
    (results / "timing.txt").write_text(line + "\n")
