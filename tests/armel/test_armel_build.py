"""Checks of the armel build (ARMv5TE, soft float) that the end-to-end suite
cannot make:

- every object the project compiles is ARMv5TE code with no floating-point
  unit or NEON use, and none calls a 64-bit atomic (ARMv5 has no 64-bit
  exclusive load/store; GCC would call libatomic, which the build does not
  link), checked on objects because the C library's own multi-CPU code in a
  static binary carries newer tags;
- the checks themselves flag an ARMv7/VFP object and a 64-bit atomic;
- the board binary's objects are byte for byte those the end-to-end suite ran
  (that suite goes through mtdsim's preload library, which a static
  executable never loads, so it runs the same objects linked dynamically);
- the static board binaries themselves run under qemu-arm on each CPU model
  and print exactly what the host build prints, and the CPU model really
  refuses ARMv7 instructions.

Environment: ARMEL_BUILD (tests build, default build-armel), ARMEL_STATIC
(the board build, default build-armel-static), HOST_BUILD (default build),
QEMU_CPUS (default "arm926 pxa270").
"""
import os
import random
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
from mkbin import bin_image  # noqa: E402

ARMEL_BUILD = ROOT / os.environ.get("ARMEL_BUILD", "build-armel")
ARMEL_STATIC = ROOT / os.environ.get("ARMEL_STATIC", "build-armel-static")
HOST_BUILD = ROOT / os.environ.get("HOST_BUILD", "build")
CPUS = os.environ.get("QEMU_CPUS", "arm926 pxa270").split()
BUILDS = {"tests": ARMEL_BUILD, "board": ARMEL_STATIC}


def compiler(build):
    """The C++ cross compiler CMake found for the build."""
    for found in (build / "CMakeFiles").glob("*/CMakeCXXCompiler.cmake"):
        match = re.search(r'^set\(CMAKE_CXX_COMPILER "(.*)"\)$', found.read_text(), re.M)
        if match:
            return match.group(1)
    pytest.fail(f"no C++ compiler recorded under {build}/CMakeFiles")


def cross_tool(build, tool):
    """arm-linux-gnueabi-readelf etc., beside the build's compiler."""
    return re.sub(r"g\+\+$", tool, compiler(build))


def project_objects(build):
    return sorted(p for p in build.rglob("*.o") if ".dir" in p.parent.as_posix())


# Attributes an ARMv5TE soft-float object must not carry.
FORBIDDEN_TAGS = ("Tag_FP_arch", "Tag_VFP_arch", "Tag_Advanced_SIMD_arch", "Tag_NEON_arch",
                  "Tag_ABI_VFP_args", "Tag_FP_HP_extension", "Tag_VFP_HP_extension", "Tag_MPextension_use")


def arch_problems(readelf, obj):
    done = subprocess.run([readelf, "-A", str(obj)], capture_output=True, text=True)
    tags = dict(re.findall(r"^\s+(Tag_\w+): (.*)$", done.stdout, re.M))
    problems = []
    if tags.get("Tag_CPU_arch") != "v5TE":
        problems.append(f"Tag_CPU_arch {tags.get('Tag_CPU_arch')}")
    problems += [f"{t} {tags[t]}" for t in FORBIDDEN_TAGS if t in tags]
    if tags.get("Tag_THUMB_ISA_use") == "Thumb-2":
        problems.append("Thumb-2")
    return problems


WIDE_ATOMIC = re.compile(r"^__(atomic|sync)_\w+_8$")


# libatomic's entry points; a linked program holding one has pulled it in.
LIBATOMIC = re.compile(r"^__atomic_\w+_8$")


def atomic_problems(nm, path, undefined_only=True):
    """64-bit atomics an object calls, or (undefined_only False) libatomic
    functions a linked program holds. libgcc's own __sync_*_8 in a static
    program are not ours."""
    done = subprocess.run([nm] + (["-u"] if undefined_only else []) + [str(path)],
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    pattern = WIDE_ATOMIC if undefined_only else LIBATOMIC
    return [line.split()[-1] for line in done.stdout.splitlines() if line.split() and pattern.match(line.split()[-1])]


@pytest.mark.parametrize("build", BUILDS, ids=list(BUILDS))
def test_objects_are_armv5te_without_fpu(build):
    objects = project_objects(BUILDS[build])
    assert len(objects) >= 10, f"no project objects under {BUILDS[build]}"
    readelf = cross_tool(BUILDS[build], "readelf")
    bad = {str(o.relative_to(BUILDS[build])): p for o in objects if (p := arch_problems(readelf, o))}
    assert bad == {}


@pytest.mark.parametrize("build", BUILDS, ids=list(BUILDS))
def test_no_64_bit_atomics(build):
    """Objects reference none; the board binaries (linked without -latomic)
    hold none either."""
    nm = cross_tool(BUILDS[build], "nm")
    objects = project_objects(BUILDS[build])
    assert objects
    bad = {str(o.relative_to(BUILDS[build])): p for o in objects if (p := atomic_problems(nm, o))}
    if build == "board":
        for program in ("drimlet", "drimlet-inspect"):
            if found := atomic_problems(nm, BUILDS[build] / program, undefined_only=False):
                bad[program] = found
    assert bad == {}


PROBES = {
    "armv7-vfp": ("float scale(float a, float b) { return a * b + 1.5f; }\n",
                  ["-march=armv7-a", "-mfpu=vfpv3-d16", "-mfloat-abi=softfp"]),
    "atomic-64": ("#include <atomic>\nstd::atomic<long long> counter;\nlong long bump() { return ++counter; }\n", []),
    "sync-64": ("long long counter;\nlong long bump() { return __sync_add_and_fetch(&counter, 1); }\n", []),
    "libatomic-linked": ("#include <atomic>\nstd::atomic<long long> counter;\nint main() { return int(++counter); }\n",
                         ["-static", "-latomic"]),
}


@pytest.mark.parametrize("probe", PROBES, ids=list(PROBES))
def test_checks_flag_what_they_look_for(probe, tmp_path):
    """The object checks are only worth something if they can fail."""
    source, flags = PROBES[probe]
    (tmp_path / "probe.cpp").write_text(source)
    out = tmp_path / "probe"
    linked = "-static" in flags
    subprocess.run([compiler(ARMEL_BUILD), "-O2", *([] if linked else ["-c"]), str(tmp_path / "probe.cpp"), *flags, "-o", str(out)],
                   check=True)
    arch = arch_problems(cross_tool(ARMEL_BUILD, "readelf"), out)
    atomics = atomic_problems(cross_tool(ARMEL_BUILD, "nm"), out, undefined_only=not linked)
    if probe == "armv7-vfp":
        assert "Tag_CPU_arch v7" in arch and any(p.startswith("Tag_FP_arch") for p in arch)
        assert atomics == []
    elif probe == "libatomic-linked":
        assert "__atomic_fetch_add_8" in atomics
    else:
        assert arch == [] and len(atomics) == 1


def test_board_objects_are_those_the_end_to_end_suite_ran():
    board = [o.relative_to(ARMEL_STATIC) for o in project_objects(ARMEL_STATIC)]
    assert len(board) >= 10
    differ = [str(o) for o in board
              if not (ARMEL_BUILD / o).exists() or (ARMEL_BUILD / o).read_bytes() != (ARMEL_STATIC / o).read_bytes()]
    assert differ == []


@pytest.mark.parametrize("cpu", CPUS)
def test_cpu_model_refuses_armv7(cpu, tmp_path):
    """Passing on this model means something only if it is no ARMv7 core."""
    (tmp_path / "v7.c").write_text(
        "int main(void) { int x; __asm__ volatile(\"movw %0, #7\" : \"=r\"(x)); return x; }\n")
    subprocess.run([cross_tool(ARMEL_BUILD, "gcc"), "-march=armv7-a", "-static", str(tmp_path / "v7.c"), "-o", str(tmp_path / "v7")],
                   check=True)
    assert subprocess.run(["qemu-arm", "-cpu", "cortex-a8", str(tmp_path / "v7")]).returncode == 7
    done = subprocess.run(["qemu-arm", "-cpu", cpu, str(tmp_path / "v7")], capture_output=True)
    assert done.returncode in (-4, 132), done  # SIGILL


# The board binaries under qemu-user: no MTD device reaches them there, so
# drimlet-inspect works on a raw dump of an install made on the host, and
# drimlet shows its usage and its failure on a file that is no MTD device.
GEOMETRY = ["--erase", "128K", "--page", "2K", "--bad", "62,28"]


@pytest.fixture(scope="module")
def dumps(tmp_path_factory):
    folder = tmp_path_factory.mktemp("dumps")
    rng = random.Random(9)
    records, address = [], 0x80200000
    while address < 0x80200000 + (700 << 10):
        data = rng.randbytes(rng.randrange(1000, 200 << 10))
        records.append((address, data))
        address += len(data) + rng.choice([0, 77, 128 << 10])
    (folder / "nk.bin").write_bytes(bin_image(0x80200000, records))
    install = subprocess.run(
        [str(HOST_BUILD / "tools/mtdsim/mtdsim"), "--flash", str(folder / "flash.bin"), "--size", "16M",
         "--erase", "128K", "--page", "2K", "--bad", "62,28", "--fresh", "--",
         str(HOST_BUILD / "drimlet"), "-n", "8", "/dev/mtd0", str(folder / "nk.bin")],
        capture_output=True, text=True)
    assert install.returncode == 0, install.stderr
    flash = bytearray((folder / "flash.bin").read_bytes())
    # Image blocks 0..5 sit in blocks 64, 63, 61 (62 is bad), 60, 59, 58: a
    # flip in the first page, one in the last page and bytes mid-block.
    flash[61 * (128 << 10) + 0x4d] ^= 0x10
    flash[65 * (128 << 10) - 2] ^= 0x01
    flash[59 * (128 << 10) + (64 << 10) + 333:59 * (128 << 10) + (64 << 10) + 336] = bytes(3)
    (folder / "corrupt.bin").write_bytes(bytes(flash))
    return folder


RUNS = {  # name: (program, arguments); {d} is the dumps folder
    "inspect-show": ("drimlet-inspect", GEOMETRY + ["show", "{d}/flash.bin"]),
    "inspect-plan": ("drimlet-inspect", GEOMETRY + ["plan", "-n", "8", "{d}/flash.bin", "{d}/nk.bin"]),
    "inspect-verify": ("drimlet-inspect", GEOMETRY + ["verify", "{d}/flash.bin", "{d}/nk.bin"]),
    "inspect-verify-bit-flip": ("drimlet-inspect", GEOMETRY + ["verify", "{d}/corrupt.bin", "{d}/nk.bin"]),
    "inspect-map": ("drimlet-inspect", GEOMETRY + ["map", "-n", "8", "{d}/corrupt.bin"]),
    "drimlet-usage": ("drimlet", []),
    "drimlet-not-mtd": ("drimlet", ["-n", "8", "{d}/flash.bin", "{d}/nk.bin"]),
}
EXPECTED_STATUS = {"inspect-verify-bit-flip": 1, "drimlet-usage": 1, "drimlet-not-mtd": 1}


@pytest.mark.parametrize("cpu", CPUS)
@pytest.mark.parametrize("run", RUNS, ids=list(RUNS))
def test_board_binary_prints_what_the_host_build_prints(run, cpu, dumps):
    program, args = RUNS[run]
    args = [a.replace("{d}", str(dumps)) for a in args]
    host = subprocess.run([str(HOST_BUILD / program)] + args, capture_output=True, text=True)
    assert host.returncode == EXPECTED_STATUS.get(run, 0), host.stderr
    assert host.stdout + host.stderr
    if run == "inspect-verify-bit-flip":
        assert re.findall(r"^image block (\d+) \(device block (\d+) at 0x[0-9a-f]+\): (\d+) bytes differ, the first "
                          r"at offset 0x([0-9a-f]+)$", host.stdout, re.M) == [
            ("0", "64", "1", "1fffe"), ("2", "61", "1", "4d"), ("4", "59", "3", "1014d")], host.stdout
    board = subprocess.run(["qemu-arm", "-cpu", cpu, str(ARMEL_STATIC / program)] + args,
                           capture_output=True, text=True)
    assert (board.returncode, board.stdout, board.stderr) == (host.returncode, host.stdout, host.stderr)
