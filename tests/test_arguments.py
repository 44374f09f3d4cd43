"""Binding of read_psf's one argument and its conversion to a path."""

from __future__ import annotations

import errno
import os
import pathlib

import pytest

from karvo.testing import psfbuilder as pb
from karvo import read_psf

MISSING = "read_psf() missing 1 required positional argument: 'path'"
MULTIPLE = "read_psf() got multiple values for argument 'path'"
NOT_STR = "argument 'path': '{}' object is not an instance of 'str'"


def fspath_message(obj) -> str:
    with pytest.raises(TypeError) as info:
        os.fspath(obj)
    return str(info.value)


def not_found(path: str) -> str:
    return f"cannot open {path}: {os.strerror(errno.ENOENT)} (os error {errno.ENOENT})"


@pytest.fixture
def psf_file(write):
    return write(pb.header_only([("title", "args"), ("n", 3)]))


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __fspath__(self):
        raise self.exc


class Text(str):
    pass


class Blob(bytes):
    pass


class NarrowTypeError(TypeError):
    pass


# ---------------------------------------------------------------- binding


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, MISSING),
        (("a", "b"), {}, "read_psf() takes 1 positional arguments but 2 were given"),
        (("a", "b", "c"), {}, "read_psf() takes 1 positional arguments but 3 were given"),
        (("a", "b"), {"path": "c"}, "read_psf() takes 1 positional arguments but 2 were given"),
        (("a",), {"path": "b"}, MULTIPLE),
        ((), {"file": "x"}, "read_psf() got an unexpected keyword argument 'file'"),
        ((), {"file": 1}, "read_psf() got an unexpected keyword argument 'file'"),
        ((), {"Path": "x"}, "read_psf() got an unexpected keyword argument 'Path'"),
        ((), {"path_": "x"}, "read_psf() got an unexpected keyword argument 'path_'"),
        ((), {"pfad\u00e4": "x"}, "read_psf() got an unexpected keyword argument 'pfad\u00e4'"),
        (("a",), {"file": "x"}, "read_psf() got an unexpected keyword argument 'file'"),
        # the keywords are examined in the order given
        ((), {"path": "a", "file": "x"}, "read_psf() got an unexpected keyword argument 'file'"),
        ((), {"file": "x", "path": "a"}, "read_psf() got an unexpected keyword argument 'file'"),
        (("a",), {"path": "b", "file": "x"}, MULTIPLE),
        (("a",), {"file": "x", "path": "b"}, "read_psf() got an unexpected keyword argument 'file'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        read_psf(*args, **kwargs)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


def test_binding_error_comes_before_the_file_is_touched(tmp_path):
    # a missing file would give OSError; the bad keyword must win
    missing = os.fspath(tmp_path / "missing.psf")
    with pytest.raises(TypeError, match="unexpected keyword argument 'mode'"):
        read_psf(missing, mode="r")
    with pytest.raises(TypeError, match="multiple values"):
        read_psf(missing, path=missing)


def test_keyword_and_positional_give_the_same_result(psf_file):
    by_position = read_psf(psf_file)
    by_keyword = read_psf(path=psf_file)
    assert by_keyword.header == by_position.header == {"title": "args", "n": 3}
    assert repr(by_keyword) == repr(by_position)


def test_keyword_given_as_a_str_subclass(psf_file):
    assert read_psf(**{Text("path"): psf_file}).header == {"title": "args", "n": 3}
    with pytest.raises(TypeError) as info:
        read_psf(**{Text("file"): psf_file})
    assert info.value.args == ("read_psf() got an unexpected keyword argument 'file'",)


def test_keyword_and_positional_give_the_same_error(tmp_path):
    missing = os.fspath(tmp_path / "missing.psf")
    for call in (lambda: read_psf(missing), lambda: read_psf(path=missing)):
        with pytest.raises(OSError) as info:
            call()
        assert str(info.value) == not_found(missing)


# ---------------------------------------------------------------- conversion


@pytest.mark.parametrize(
    "arg, message",
    [
        (b"x.psf", NOT_STR.format("bytes")),
        (FsPath(b"x.psf"), NOT_STR.format("bytes")),
        (Blob(b"x.psf"), NOT_STR.format("Blob")),
        (FsPath(Blob(b"x.psf")), NOT_STR.format("Blob")),
        (None, "argument 'path': " + fspath_message(None)),
        (3, "argument 'path': " + fspath_message(3)),
        (2.5, "argument 'path': " + fspath_message(2.5)),
        (bytearray(b"x.psf"), "argument 'path': " + fspath_message(bytearray(b"x.psf"))),
        (["x.psf"], "argument 'path': " + fspath_message(["x.psf"])),
        (FsPath(3), "argument 'path': " + fspath_message(FsPath(3))),
        (FsPath(None), "argument 'path': " + fspath_message(FsPath(None))),
    ],
    ids=[
        "bytes",
        "pathlike-bytes",
        "bytes-subclass",
        "pathlike-bytes-subclass",
        "none",
        "int",
        "float",
        "bytearray",
        "list",
        "pathlike-int",
        "pathlike-none",
    ],
)
def test_conversion_errors(arg, message):
    with pytest.raises(TypeError) as info:
        read_psf(arg)
    assert type(info.value) is TypeError
    assert info.value.args == (message,)


@pytest.mark.parametrize("arg", [None, b"x.psf", 3], ids=["none", "bytes", "int"])
def test_keyword_argument_is_converted_the_same_way(arg):
    with pytest.raises(TypeError) as by_position:
        read_psf(arg)
    with pytest.raises(TypeError) as by_keyword:
        read_psf(path=arg)
    assert by_keyword.value.args == by_position.value.args
    assert str(by_keyword.value).startswith("argument 'path': ")


def test_none_message_continues_with_the_fspath_message():
    with pytest.raises(TypeError) as info:
        read_psf(None)
    text = str(info.value)
    assert text.startswith("argument 'path': ")
    assert text[len("argument 'path': ") :] == fspath_message(None)


@pytest.mark.parametrize(
    "make",
    [
        lambda p: p,
        lambda p: pathlib.Path(p),
        lambda p: pathlib.PurePosixPath(p),
        lambda p: FsPath(p),
        lambda p: Text(p),
        lambda p: FsPath(Text(p)),
    ],
    ids=["str", "pathlib", "pure-path", "pathlike-str", "str-subclass", "pathlike-str-subclass"],
)
def test_accepted_path_forms(psf_file, make):
    psf = read_psf(make(psf_file))
    assert psf.header == {"title": "args", "n": 3}


@pytest.mark.parametrize(
    "make",
    [lambda p: pathlib.Path(p), lambda p: FsPath(p), lambda p: Text(p)],
    ids=["pathlib", "pathlike-str", "str-subclass"],
)
def test_converted_path_text_appears_in_open_errors(tmp_path, make):
    missing = os.fspath(tmp_path / "nope.psf")
    with pytest.raises(OSError) as info:
        read_psf(make(missing))
    assert str(info.value) == not_found(missing)


def test_fspath_type_error_is_wrapped_and_keeps_its_cause():
    cause = KeyError("root cause")
    original = TypeError("fspath broke")
    original.__cause__ = cause
    with pytest.raises(TypeError) as info:
        read_psf(Raising(original))
    err = info.value
    assert err is not original
    assert type(err) is TypeError
    assert err.args == ("argument 'path': fspath broke",)
    assert err.__cause__ is cause


def test_fspath_type_error_without_cause_is_wrapped():
    original = TypeError("no cause here")
    with pytest.raises(TypeError) as info:
        read_psf(Raising(original))
    assert info.value is not original
    assert info.value.args == ("argument 'path': no cause here",)
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "exc",
    [
        ValueError("bad value"),
        NarrowTypeError("a subclass of TypeError"),
        OSError(errno.EACCES, "denied"),
        KeyError("k"),
    ],
    ids=["ValueError", "TypeError-subclass", "OSError", "KeyError"],
)
def test_other_fspath_errors_pass_unchanged(exc):
    with pytest.raises(BaseException) as info:
        read_psf(Raising(exc))
    assert info.value is exc
    assert info.value.args == exc.args
