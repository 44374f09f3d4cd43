"""The module object: version, exports, the read_psf function object, the
shared library's symbol table and the package that re-exports it all."""

from __future__ import annotations

import inspect
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import karvo
from karvo import _karvo

EXPORTS = ["__version__", "Psf", "Sweep", "Trace", "Value", "read_psf"]


def test_version():
    assert type(_karvo.__version__) is str
    assert _karvo.__version__ == "0.2.0"


def test_all_lists_the_exports_in_order():
    assert type(_karvo.__all__) is list
    assert _karvo.__all__ == EXPORTS


@pytest.mark.parametrize("name", EXPORTS)
def test_every_export_is_an_attribute(name):
    assert hasattr(_karvo, name)


@pytest.mark.parametrize("name", ["Psf", "Sweep", "Trace", "Value"])
def test_exported_classes_are_the_types_of_the_same_name(name):
    cls = getattr(_karvo, name)
    assert isinstance(cls, type)
    assert cls.__name__ == name


def test_module_name_and_doc():
    assert _karvo.__name__ == "karvo._karvo"
    assert _karvo.__doc__.split("\n\n")[0] == "karvo native extension module."


def test_read_psf_doc_and_signature():
    f = _karvo.read_psf
    assert f.__doc__ == "Parse a psfbin or PSF ASCII file and return a [`Psf`]."
    assert f.__text_signature__ == "(path)"
    assert str(inspect.signature(f)) == "(path)"
    (param,) = inspect.signature(f).parameters.values()
    assert param.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


def test_read_psf_is_a_builtin_bound_to_the_module():
    f = _karvo.read_psf
    assert inspect.isbuiltin(f)
    assert f.__name__ == "read_psf"
    assert f.__qualname__ == "read_psf"
    assert f.__self__ is _karvo
    assert f.__module__ == _karvo.__name__


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run(
        [nm, "-D", "--defined-only", _karvo.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = []
    for line in out.splitlines():
        fields = line.split()
        if len(fields) < 2:
            continue
        kind, name = fields[-2], fields[-1]
        # 'A' entries are version-node names of a version script, not symbols
        if kind == "A":
            continue
        symbols.append(name.split("@")[0])
    assert symbols == ["PyInit__karvo"]


@pytest.mark.parametrize("name", EXPORTS)
def test_package_reexports_the_extension(name):
    assert getattr(karvo, name) is getattr(_karvo, name)


def test_star_import_from_package_gives_the_exports():
    namespace: dict = {}
    exec("from karvo import *", namespace)
    for name in EXPORTS:
        assert namespace.get(name) is getattr(_karvo, name), name
    # karvo.open stays karvo's: the builtin open is not replaced.
    assert "open" not in namespace and "open" not in karvo.__all__


INTERRUPTED_IMPORT = r"""
import sys, importlib.abc
class CtrlC(importlib.abc.MetaPathFinder):  # Ctrl-C while NumPy is imported on first use
    def find_spec(self, name, path, target=None):
        if name == "numpy.lib":
            raise KeyboardInterrupt
sys.meta_path.insert(0, CtrlC())
import karvo
try:
    karvo.read_psf(sys.argv[1]).sweeps[0].data  # the first array imports NumPy
except BaseException as e:
    print(type(e).__name__)
sys.meta_path.pop(0)
print(len(karvo.read_psf(sys.argv[1]).sweeps[0].data))
"""


def test_ctrl_c_during_the_first_import_of_numpy_is_a_keyboard_interrupt(tmp_path):
    example = str(Path(__file__).resolve().parent.parent / "examples" / "rc_ac.psf")
    done = subprocess.run([sys.executable, "-c", INTERRUPTED_IMPORT, example], capture_output=True, text=True,
                          cwd=tmp_path, timeout=60)
    # Then the next read imports NumPy and succeeds.
    assert done.stdout.split() == ["KeyboardInterrupt", "41"], done.stderr
