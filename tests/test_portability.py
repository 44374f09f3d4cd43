"""Builds for the systems and processors that get wheels, checked from this
Linux x86-64 machine with Zig's cross compilers (PyPI's ziglang): the core
and its platform layer compile for Windows, macOS and Linux on Arm with
warnings as errors, and the extension links for manylinux_2_28 aarch64. Where
Debian's qemu-user (and wine) run, the core built for AArch64 (and Windows)
prints what tools/checksum_driver.cpp prints for every corpus file, signal by
signal, exactly as the build for this machine does.

Slow (the first build of each target's C++ runtime takes minutes): runs under
CI or with KARVO_CROSS=1. Installs ziglang with pip when it is missing, and
under CI (as root) Debian's qemu-user and wine64; elsewhere the runs that
need them are skipped."""

from __future__ import annotations

import importlib.util
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

from conftest import CORPUS, ROOT

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(
        not (os.environ.get("CI") or os.environ.get("KARVO_CROSS")),
        reason="cross builds take minutes: set KARVO_CROSS=1 (CI runs them)",
    ),
]

SRC = ROOT / "src"
DRIVER = ROOT / "tools" / "checksum_driver.cpp"
FLAGS = ["-std=c++20", "-O2", "-Wall", "-Wextra", "-Werror", "-fvisibility=hidden", f"-I{SRC}"]
MANYLINUX_AARCH64 = "aarch64-linux-gnu.2.28"
# The libraries a manylinux_2_28 extension may need (no libpython: the
# interpreter provides its symbols).
MANYLINUX_LIBS = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "ld-linux-aarch64.so.1"}


def core_sources(windows: bool) -> list[Path]:
    """The reader library's sources with the file mapping of the system, as CMakeLists.txt picks them."""
    other = "mapped_file.cpp" if windows else "mapped_file_windows.cpp"
    return [p for d in ("types", "reader") for p in sorted((SRC / d).glob("*.cpp")) if p.name != other]


def extension_sources() -> list[Path]:
    return [p for d in ("pysupport", "classes", "numpy_bridge", "module") for p in sorted((SRC / d).glob("*.cpp"))]


class Zig:
    """Zig's C++ compiler driver; objects are kept per target for the tests that link them."""

    def __init__(self, env: dict[str, str], out: Path):
        self.env, self.out = env, out

    def cxx(self, target: str, *args: str) -> subprocess.CompletedProcess:
        command = [sys.executable, "-m", "ziglang", "c++", "-target", target, *args]
        return subprocess.run(command, env=self.env, capture_output=True, text=True, timeout=1800)

    def objects(self, target: str, sources: list[Path], *flags: str) -> list[Path]:
        folder = self.out / target
        folder.mkdir(exist_ok=True)
        pic = [] if "windows" in target else ["-fPIC"]

        def one(source: Path) -> Path:
            obj = folder / (source.relative_to(ROOT).as_posix().replace("/", "_") + ".o")
            if not obj.exists():
                done = self.cxx(target, *FLAGS, *pic, *flags, "-c", str(source), "-o", str(obj))
                assert done.returncode == 0, f"{source.name} for {target}:\n{done.stderr}"
            return obj

        with ThreadPoolExecutor(2) as pool:
            return list(pool.map(one, sources))


@pytest.fixture(scope="module")
def zig(tmp_path_factory) -> Zig:
    env = dict(os.environ)
    if importlib.util.find_spec("ziglang") is None:
        # About 80 MB: installed beside the build, not into the environment.
        target = ROOT / "build" / "ziglang"
        if not (target / "ziglang").is_dir():
            done = subprocess.run(
                [sys.executable, "-m", "pip", "install", "-q", "--target", str(target), "ziglang"],
                capture_output=True,
                text=True,
            )
            if done.returncode != 0:
                pytest.skip(f"pip cannot install ziglang: {done.stderr.strip()[-400:]}")
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(target), env.get("PYTHONPATH")]))
    return Zig(env, tmp_path_factory.mktemp("cross"))


def debian_tool(candidates: list[str], package: str) -> str | None:
    """The first of `candidates` found, after installing Debian's `package` under CI (as root) when none is."""

    def find() -> str | None:
        return next(filter(None, (shutil.which(c) for c in candidates)), None)

    if find() is None and os.environ.get("CI") and shutil.which("apt-get") and os.geteuid() == 0:
        env = {**os.environ, "DEBIAN_FRONTEND": "noninteractive"}
        install = ["apt-get", "install", "-y", "-q", "--no-install-recommends", package]
        for command in (["apt-get", "update", "-q"], install):
            subprocess.run(command, env=env, capture_output=True, timeout=1200)
    return find()


def read_with(command: list[str], paths: list[str | bytes], cwd: Path) -> list[str]:
    """The driver's lines for `paths` (given on standard input, str as UTF-8)."""
    done = subprocess.run(
        command,
        input=b"".join((p if isinstance(p, bytes) else p.encode()) + b"\n" for p in paths),
        cwd=cwd,
        capture_output=True,
        timeout=600,
        env={**os.environ, "WINEDEBUG": "-all"},
    )
    assert done.returncode == 0, done.stderr.decode(errors="replace")[-2000:]
    return done.stdout.decode("utf-8", "surrogateescape").splitlines()


def by_file(lines: list[str]) -> list[list[str]]:
    """The lines of each file, its "file" line first."""
    blocks: list[list[str]] = []
    for line in lines:
        if line.startswith("file "):
            blocks.append([])
        blocks[-1].append(line)
    return blocks


@pytest.fixture(scope="module")
def corpus_paths() -> list[str]:
    """Every file of the corpus (psfbin or not: errors must agree too), relative to it."""
    if not CORPUS.is_dir():
        pytest.skip("corpus folder ../shared/corpus is absent")
    return sorted(p.relative_to(CORPUS).as_posix() for p in CORPUS.rglob("*") if p.is_file())


@pytest.fixture(scope="module")
def native_lines(corpus_paths, tmp_path_factory) -> list[str]:
    """What the driver built for this machine by its own compiler prints for the corpus."""
    cxx = shutil.which("c++") or shutil.which("g++")
    if cxx is None:
        pytest.skip("no C++ compiler for this machine")
    exe = tmp_path_factory.mktemp("native") / "checksum_driver"
    done = subprocess.run(
        [cxx, *FLAGS, str(DRIVER), *map(str, core_sources(windows=False)), "-o", str(exe)],
        capture_output=True,
        text=True,
    )
    assert done.returncode == 0, done.stderr
    lines = read_with([str(exe)], corpus_paths, CORPUS)
    # Not an empty agreement: the corpus has hundreds of signals.
    assert sum(line.startswith(("sweep ", "trace ")) for line in lines) >= 100
    return lines


@pytest.mark.parametrize("target", ["x86_64-windows-gnu", MANYLINUX_AARCH64, "x86_64-macos", "aarch64-macos"])
def test_core_compiles_without_warnings_for(zig, target):
    zig.objects(target, core_sources(windows="windows" in target))


def test_extension_links_for_manylinux_2_28_aarch64(zig, tmp_path):
    python = [f"-I{sysconfig.get_paths()['include']}", "-DPy_LIMITED_API=0x03090000", '-DKARVO_VERSION="cross"']
    objects = zig.objects(MANYLINUX_AARCH64, core_sources(windows=False)) + zig.objects(
        MANYLINUX_AARCH64, extension_sources(), *python
    )
    so = tmp_path / "_karvo.abi3.so"
    exports = SRC / "module" / "exports.map"
    # Undefined Python symbols are allowed: the interpreter provides them.
    done = zig.cxx(MANYLINUX_AARCH64, "-shared", f"-Wl,--version-script={exports}", *map(str, objects), "-o", str(so))
    assert done.returncode == 0, done.stderr

    def readelf(*args: str) -> str:
        return subprocess.run(["readelf", "-W", *args, str(so)], capture_output=True, text=True, check=True).stdout

    assert re.search(r"Machine:\s+AArch64", readelf("-h"))
    symbols = [f for f in map(str.split, readelf("--dyn-syms").splitlines()) if len(f) >= 8]
    exported = [f[7] for f in symbols if f[4] in ("GLOBAL", "WEAK") and f[6] != "UND"]
    assert exported == ["PyInit__karvo"]
    glibc = {tuple(map(int, v.split("."))) for v in re.findall(r"GLIBC_([0-9.]+)", readelf("-V"))}
    assert glibc and max(glibc) <= (2, 28)
    needed = set(re.findall(r"\(NEEDED\).*\[(.+)\]", readelf("-d")))
    assert needed <= MANYLINUX_LIBS


def test_aarch64_build_reads_the_corpus_alike(zig, corpus_paths, native_lines, tmp_path):
    qemu = debian_tool(["qemu-aarch64", "qemu-aarch64-static"], "qemu-user")
    if qemu is None:
        pytest.skip("qemu-user is not installed (CI installs it)")
    # Static musl: qemu runs it without an AArch64 C library.
    target = "aarch64-linux-musl"
    exe = tmp_path / "checksum_driver"
    objects = zig.objects(target, [DRIVER, *core_sources(windows=False)])
    done = zig.cxx(target, "-static", *map(str, objects), "-o", str(exe))
    assert done.returncode == 0, done.stderr
    assert read_with([qemu, str(exe)], corpus_paths, CORPUS) == native_lines


def test_windows_build_reads_the_corpus_alike(zig, corpus_paths, native_lines, tmp_path):
    wine = debian_tool(["wine64", "/usr/lib/wine/wine64", "wine"], "wine64")
    if wine is None:
        pytest.skip("wine64 is not installed (CI installs it)")
    target = "x86_64-windows-gnu"
    exe = tmp_path / "checksum_driver.exe"
    objects = zig.objects(target, [DRIVER, *core_sources(windows=True)])
    done = zig.cxx(target, *map(str, objects), "-o", str(exe))
    assert done.returncode == 0, done.stderr

    # A name outside any code page (and outside the BMP: a surrogate pair in
    # UTF-16) opens; a lone surrogate reaches Windows as that code unit, where
    # bytes that are no UTF-8 are refused; failures carry Win32 codes.
    examples = ROOT / "examples"
    named = tmp_path / "rc_ac \u00e9\u03a9\U0001d11e.psf"
    shutil.copyfile(examples / "rc_ac.psf", named)
    extra = [str(named), str(examples / "rc_ac.psf"), str(tmp_path / "missing.psf"), str(tmp_path)]
    extra += ["lone\ud800.psf".encode("utf-8", "surrogatepass"), b"bad\xff.psf"]
    lines = read_with([wine, str(exe)], [*corpus_paths, *extra], CORPUS)
    assert lines[: len(native_lines)] == native_lines
    copy, original, missing, folder, lone, bad = by_file(lines[len(native_lines) :])
    assert len(copy) > 2 and copy[1:] == original[1:]
    assert re.fullmatch(r"error open .+ \(os error 2\)", missing[1])
    assert re.fullmatch(r"error open .+ \(os error 5\)", folder[1])  # Access is denied, as Python's open()
    assert re.fullmatch(r"error open .+ \(os error 2\)", lone[1])
    assert bad[1] == "error open path is not UTF-8"
