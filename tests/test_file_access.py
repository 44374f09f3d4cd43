"""Opening and mapping the file, the size and footer checks, and the OSError
messages for paths that cannot be read."""

from __future__ import annotations

import ast
import errno
import pickle
import fcntl
import os
import struct
import subprocess
import sys

import pytest

from karvo.testing import psfbuilder as pb
from karvo import read_psf

FOOTER = "footer magic 'Clarissa' not found (not a psfbin file?)"


def os_text(code: int) -> str:
    return f"{os.strerror(code)} (os error {code})"


def shown(path: str) -> str:
    """The path as the messages print it: unpaired surrogates become U+FFFD."""
    return "".join("\ufffd" if 0xD800 <= ord(c) <= 0xDFFF else c for c in path)


def os_error(path) -> OSError:
    with pytest.raises(OSError) as info:
        read_psf(path)
    return info.value


def value_error(path) -> str:
    with pytest.raises(ValueError) as info:
        read_psf(path)
    assert type(info.value) is ValueError
    return str(info.value)


def run_isolated(code: str, *args: str, cwd) -> object:
    """Runs `code` in a fresh interpreter (a hang there cannot stall this one);
    the snippet prints one Python literal, which is returned."""
    try:
        done = subprocess.run(
            [sys.executable, "-c", code, *args],
            capture_output=True,
            text=True,
            timeout=30,
            cwd=cwd,
        )
    except subprocess.TimeoutExpired:
        pytest.fail("read_psf blocked")
    assert done.returncode == 0, done.stderr
    return ast.literal_eval(done.stdout)


READ_AND_REPORT = """
import sys
from karvo import read_psf
try:
    psf = read_psf(sys.argv[1])
    print(repr(("ok", psf.header)))
except Exception as e:
    print(repr((type(e).__name__, str(e))))
"""


# ---------------------------------------------------------------- open failures


def test_missing_file(tmp_path):
    path = os.fspath(tmp_path / "missing.psf")
    err = os_error(path)
    assert isinstance(err, FileNotFoundError)
    assert err.args == (f"cannot open {path}: {os_text(errno.ENOENT)}",)
    assert str(err) == err.args[0]


def test_oserror_carries_code_text_and_name(tmp_path):
    path = os.fspath(tmp_path / "missing.psf")
    err = os_error(path)
    assert (err.errno, err.strerror, err.filename, err.filename2) == (errno.ENOENT, os.strerror(errno.ENOENT), path, None)
    # Pickled (to another process), it is the builtin class with the same code.
    again = pickle.loads(pickle.dumps(err))
    assert type(again) is FileNotFoundError
    assert (again.errno, again.strerror, again.filename) == (err.errno, err.strerror, err.filename)


@pytest.mark.parametrize(
    "relative",
    ["missing.psf", "./missing.psf", "sub/../missing.psf", "missing.psf/", ".//a//b.psf"],
)
def test_missing_relative_path_is_shown_as_passed(tmp_path, monkeypatch, relative):
    (tmp_path / "sub").mkdir()
    monkeypatch.chdir(tmp_path)
    err = os_error(relative)
    assert str(err) == f"cannot open {relative}: {os_text(errno.ENOENT)}"


def test_relative_path_resolves_against_the_working_directory(tmp_path, monkeypatch):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "here.psf").write_bytes(pb.header_only([("where", "sub")]))
    monkeypatch.chdir(tmp_path / "sub")
    assert read_psf("here.psf").header == {"where": "sub"}
    monkeypatch.chdir(tmp_path)
    assert read_psf("sub/here.psf").header == {"where": "sub"}
    err = os_error("here.psf")
    assert str(err) == f"cannot open here.psf: {os_text(errno.ENOENT)}"


def test_missing_parent_directory(tmp_path):
    path = os.fspath(tmp_path / "no" / "such" / "dir.psf")
    assert str(os_error(path)) == f"cannot open {path}: {os_text(errno.ENOENT)}"


def test_file_as_directory_component(write):
    path = write(pb.header_only()) + "/inner.psf"
    assert str(os_error(path)) == f"cannot open {path}: {os_text(errno.ENOTDIR)}"


@pytest.mark.parametrize(
    "setup, code, kind",
    [
        (lambda d: "n" * 300 + ".psf", errno.ENAMETOOLONG, OSError),
        (lambda d: os.symlink("loop.psf", d / "loop.psf") or "loop.psf", errno.ELOOP, OSError),
        (lambda d: os.symlink("gone.psf", d / "dangling.psf") or "dangling.psf", errno.ENOENT, FileNotFoundError),
        (lambda d: (d / "f").write_bytes(b"") or "f/x.psf", errno.ENOTDIR, NotADirectoryError),
    ],
    ids=["name-too-long", "symlink-loop", "dangling-symlink", "file-as-folder"],
)
def test_open_error_text_and_class_follow_the_system_code(tmp_path, monkeypatch, setup, code, kind):
    monkeypatch.chdir(tmp_path)
    path = setup(tmp_path)
    err = os_error(path)
    assert err.args == (f"cannot open {path}: {os_text(code)}",)
    # The class Python itself picks for the code.
    assert type(err).__mro__[1] is type(OSError(code, "")) is kind
    assert (err.errno, err.filename) == (code, path)


def test_symlink_to_a_file_is_followed(write, tmp_path):
    target = write(pb.header_only([("via", "link")]))
    link = tmp_path / "link.psf"
    link.symlink_to(target)
    assert read_psf(os.fspath(link)).header == {"via": "link"}


@pytest.mark.parametrize("name", ["x\0.psf", "\0", "a\0b\0c"])
def test_nul_in_path(tmp_path, name):
    path = os.fspath(tmp_path) + "/" + name
    err = os_error(path)
    assert type(err).__mro__[1] is OSError
    assert err.args == (f"cannot open {path}: path contains a NUL character",)
    assert (err.errno, err.strerror, err.filename) == (None, "path contains a NUL character", path)


def test_nul_refused_even_when_the_prefix_exists(write):
    # the part before the NUL names a real file; it must not be opened
    path = write(pb.header_only())
    err = os_error(path + "\0ignored")
    assert str(err) == f"cannot open {path}\0ignored: path contains a NUL character"


@pytest.mark.parametrize(
    "name", [b"\xff\xfe-missing.psf", b"a\x80b.psf", b"\xe2\x82.psf", b"\xed\xa0\x80.psf"]
)
def test_missing_path_shows_each_unpaired_surrogate_as_replacement(tmp_path, name):
    path = os.fsdecode(os.path.join(os.fsencode(tmp_path), name))
    assert any(0xD800 <= ord(c) <= 0xDFFF for c in path)
    err = os_error(path)
    assert str(err) == f"cannot open {shown(path)}: {os_text(errno.ENOENT)}"
    assert str(err).count("\ufffd") == sum(0xD800 <= ord(c) <= 0xDFFF for c in path)


@pytest.mark.parametrize("tail", ["\ud83d\ude00", "\udfff\ud800", "\ud800", "\udc80x"])
def test_surrogates_that_would_pair_in_utf16_still_show_as_replacements(tmp_path, tail):
    path = os.path.join(str(tmp_path), "x\U0001f600" + tail)
    assert str(os_error(path)) == f"cannot open {shown(path)}: {os_text(errno.ENOENT)}"


# ---------------------------------------------------------------- map failures


@pytest.mark.parametrize("relative", [False, True])
def test_directory(tmp_path, monkeypatch, relative):
    (tmp_path / "d.psf").mkdir()
    if relative:
        monkeypatch.chdir(tmp_path)
        path = "d.psf"
    else:
        path = os.fspath(tmp_path / "d.psf")
    err = os_error(path)
    assert isinstance(err, IsADirectoryError) and err.errno == errno.EISDIR
    assert err.args == (f"cannot mmap {path}: {os_text(errno.EISDIR)}",)


@pytest.mark.parametrize("device", ["/dev/null", "/dev/zero"])
def test_character_device_is_not_a_regular_file(device):
    if not os.path.exists(device):
        pytest.skip(f"{device} is absent")
    err = os_error(device)
    assert type(err).__mro__[1] is OSError and err.errno is None
    assert err.args == (f"cannot mmap {device}: not a regular file",)


def test_fifo_does_not_block_and_is_refused(tmp_path):
    fifo = os.fspath(tmp_path / "pipe.psf")
    os.mkfifo(fifo)
    outcome = run_isolated(READ_AND_REPORT, fifo, cwd=tmp_path)
    assert outcome == ("OSError", f"cannot mmap {fifo}: not a regular file")


# ---------------------------------------------------------------- size and footer


@pytest.mark.parametrize(
    "data",
    [b"", b"C", b"Clarissa", b"Clarissa\0\0\0", b"\0" * 11],
    ids=["empty", "1", "8", "11-magic", "11-zeros"],
)
def test_file_too_small(write, data):
    assert value_error(write(data)) == f"file too small to be psfbin ({len(data)} bytes)"


@pytest.mark.parametrize("extra", [0, 1], ids=["4-GiB", "one-byte-more"])
def test_psfbin_files_beyond_32_bit_offsets_are_refused(tmp_path, extra):
    # A sparse file: a header at the start, the footer 4 GiB on.
    path = tmp_path / "huge.psf"
    head = pb.header_only()[:-12]
    with open(path, "wb") as f:
        f.write(head)
        f.seek((1 << 32) + extra - 12)
        f.write(pb.MAGIC + pb.u32(0))
    if extra == 0:
        # What 32-bit offsets can still address is read.
        assert read_psf(os.fspath(path)).header == {"PSFversion": "1.00"}
    else:
        assert value_error(os.fspath(path)) == (
            f"file of {(1 << 32) + 1} bytes is larger than the 4 GiB that psfbin's 32-bit offsets can address"
        )


def test_twelve_bytes_of_magic_pass_the_footer_check(write):
    # the footer check reads the 8 bytes at len - 12, i.e. offsets 0..7 here
    data = b"Clarissa" + b"\xff" * 4
    (word,) = struct.unpack(">I", b"Clar")
    assert value_error(write(data)) == f"unknown value_section_type {word}"


@pytest.mark.parametrize(
    "data",
    [
        b"\0" * 12,
        b"\0" * 100,
        pb.header_only()[:-12] + b"clarissa" + b"\0" * 4,
        pb.header_only()[:-12] + b"\0" * 4 + b"Clarissa",  # magic in the last 8 bytes
        pb.header_only()[:-12] + b"Clarisa\0" + b"\0" * 4,
        pb.header_only() + b"\0",  # magic one byte too early
        pb.header_only()[:-1],  # magic one byte too late
    ],
    ids=["12-zeros", "100-zeros", "lower-case", "last-8", "misspelt", "early", "late"],
)
def test_footer_missing(write, data):
    assert value_error(write(data)) == FOOTER


@pytest.mark.parametrize(
    "data",
    [
        pb.u32(7) + b"\0" * 20,
        pb.patch_u32(pb.header_only(), 0, 0xFFFFFFFF)[:-12] + b"\0" * 12,
        pb.u32(0) + pb.u32(22) + pb.u32(3) + b"\0" * 12,
    ],
    ids=["bad-layout-word", "bad-layout-and-footer", "bad-container"],
)
def test_footer_is_checked_before_the_first_word(write, data):
    assert value_error(write(data)) == FOOTER


@pytest.mark.parametrize("tail", [b"\0\0\0\0", b"\xff\xff\xff\xff", b"XYZW"])
def test_last_four_bytes_are_not_examined(write, tail):
    data = pb.header_only([("k", 1)])[:-4] + tail
    assert read_psf(write(data)).header == {"k": 1}


def test_smallest_readable_file(write):
    # words 0, 21, 16: an empty HEADER ending at offset 12, where the footer starts
    data = pb.u32(0) + pb.u32(21) + pb.u32(16) + b"Clarissa" + b"\x01\x02\x03\x04"
    psf = read_psf(write(data))
    assert len(data) == 24
    assert psf.header == {}
    assert psf.sweeps == [] and psf.traces == [] and psf.values == []


# ---------------------------------------------------------------- file names


@pytest.mark.parametrize("name", [b"\xff\xfe.psf", b"\x80.psf", b"\xe2\x82.psf", b"\xed\xa0\x80.psf"])
def test_file_name_that_is_not_utf8(tmp_path, name):
    raw = os.path.join(os.fsencode(tmp_path), name)
    with open(raw, "wb") as f:
        f.write(pb.header_only([("name", "raw bytes")]))
    assert read_psf(os.fsdecode(raw)).header == {"name": "raw bytes"}


def test_file_name_with_non_ascii_text(tmp_path):
    path = tmp_path / "r\u00e9sultat \u03a9 \U0001f600.psf"
    path.write_bytes(pb.header_only([("k", "v")]))
    assert read_psf(os.fspath(path)).header == {"k": "v"}
    err = os_error(os.fspath(tmp_path / "\u00e9\U0001f600-missing.psf"))
    assert str(err) == f"cannot open {tmp_path}/\u00e9\U0001f600-missing.psf: {os_text(errno.ENOENT)}"


# ---------------------------------------------------------------- no side effects


@pytest.mark.parametrize(
    "data",
    [pb.header_only([("k", "v")]), b"not a psfbin file at all", b""],
    ids=["good", "bad-footer", "empty"],
)
def test_reading_changes_nothing(write, data):
    path = write(data)
    old_time = 1_000_000_000_000_000_000
    os.utime(path, ns=(old_time, old_time))
    before = os.stat(path)
    try:
        read_psf(path)
    except ValueError:
        pass
    after = os.stat(path)
    assert (after.st_size, after.st_mtime_ns, after.st_mode, after.st_ino) == (
        before.st_size,
        before.st_mtime_ns,
        before.st_mode,
        before.st_ino,
    )
    with open(path, "rb") as f:
        assert f.read() == data


def test_missing_file_is_not_created(tmp_path):
    path = tmp_path / "missing.psf"
    os_error(os.fspath(path))
    assert not path.exists()
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("lock", ["flock", "lockf"])
def test_file_locked_by_another_process_is_read(write, tmp_path, lock):
    path = write(pb.header_only([("locked", 1)]))
    with open(path, "r+b") as f:
        if lock == "flock":
            fcntl.flock(f, fcntl.LOCK_EX)
        else:
            fcntl.lockf(f, fcntl.LOCK_EX)
        outcome = run_isolated(READ_AND_REPORT, path, cwd=tmp_path)
    assert outcome == ("ok", {"locked": 1})


def test_file_can_be_replaced_and_removed_after_reading(write):
    path = write(pb.header_only([("v", 1)]))
    read_psf(path)
    with open(path, "wb") as f:  # no lock or mapping survives the call
        f.write(pb.header_only([("v", 2)]))
    assert read_psf(path).header == {"v": 2}
    os.remove(path)
    assert not os.path.exists(path)


def open_descriptors() -> int:
    return len(os.listdir("/proc/self/fd"))


def mapped_paths() -> str:
    with open("/proc/self/maps") as f:
        return f.read()


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
@pytest.mark.parametrize(
    "data, exc",
    [
        (pb.header_only([("k", "v")]), None),
        (b"x" * 64, ValueError),
        (b"", ValueError),
        (None, OSError),  # a directory
    ],
    ids=["good", "bad-footer", "empty", "directory"],
)
def test_file_and_mapping_are_released(tmp_path, data, exc):
    path = tmp_path / "released.psf"
    if data is None:
        path.mkdir()
    else:
        path.write_bytes(data)
    fds = open_descriptors()
    for _ in range(3):
        if exc is None:
            read_psf(os.fspath(path))
        else:
            with pytest.raises(exc):
                read_psf(os.fspath(path))
    assert open_descriptors() == fds
    assert os.fspath(path) not in mapped_paths()
