"""Types of the compiled reader (karvo._karvo)."""

import os
from collections.abc import Iterable, Iterator, KeysView, Mapping
from typing import Any, TypeVar, final, overload

from numpy.typing import NDArray

_T = TypeVar("_T")
_PropertyValue = str | int | float
_Scalar = int | float | complex | str
# Array values (PSF ASCII): strings as a tuple, numbers as int64, float64 or
# complex128 arrays.
_Array = tuple[str, ...] | NDArray[Any]

__version__: str
__all__ = ["__version__", "Psf", "Sweep", "Trace", "Value", "read_psf"]

@final
class Psf:
    """A parsed psfbin or PSF ASCII file."""

    @property
    def header(self) -> dict[str, str | int | float]: ...
    @property
    def sweeps(self) -> list[Sweep]: ...
    @property
    def traces(self) -> list[Trace]: ...
    @property
    def values(self) -> list[Value]: ...
    # Lookup by name: a trace wins over a sweep or value of the same name, a
    # sweep over a value; within one kind the first in the file.
    def __getitem__(self, name: str, /) -> Sweep | Trace | Value: ...
    def __contains__(self, name: object, /) -> bool: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> Iterator[str]: ...
    def keys(self) -> KeysView[str]: ...
    @overload
    def get(self, name: str, /) -> Sweep | Trace | Value | None: ...
    @overload
    def get(self, name: str, default: _T, /) -> Sweep | Trace | Value | _T: ...

# `data` of a Sweep or Trace is a 1-D array: float64, complex128, or
# structured with one float64 field per struct member (noise contributions).
# Its dtype is left open: NumPy's stubs allow field access (data["total"])
# only on void arrays, a union would refuse passing data where an
# NDArray[np.float64] is expected, and no check can narrow a dtype.

@final
class Sweep:
    """A swept independent axis (e.g. frequency)."""

    @property
    def name(self) -> str: ...
    @property
    def data(self) -> NDArray[Any]: ...
    @property
    def properties(self) -> Mapping[str, _PropertyValue]: ...
    @property
    def units(self) -> str | None: ...

@final
class Trace:
    """A swept output trace."""

    @property
    def name(self) -> str: ...
    @property
    def data(self) -> NDArray[Any]: ...
    @property
    def properties(self) -> Mapping[str, _PropertyValue]: ...
    @property
    def units(self) -> str | None: ...

@final
class Value:
    """A non-swept result (a dc operating point): a scalar, an array (a
    tuple of str, or a NumPy array of numbers), or a dict of member name to
    scalar or array for a struct value."""

    @property
    def name(self) -> str: ...
    @property
    def data(self) -> _Scalar | _Array | dict[str, _Scalar | _Array]: ...
    @property
    def properties(self) -> Mapping[str, _PropertyValue]: ...
    @property
    def units(self) -> str | None: ...

def read_psf(path: str | os.PathLike[str]) -> Psf: ...

# Behind karvo.open (not part of __all__).
@final
class _FileHandle:
    @property
    def header(self) -> dict[str, str | int | float]: ...
    @property
    def closed(self) -> bool: ...
    def catalog(
        self,
    ) -> tuple[tuple[str, bool, str, tuple[str, ...] | None, int, Mapping[str, _PropertyValue]], ...]: ...
    def values(self) -> tuple[Value, ...]: ...
    def read(self, indices: Iterable[int], with_values: bool, /) -> Psf: ...
    def close(self) -> None: ...

def _open_file(path: str | os.PathLike[str], /) -> _FileHandle: ...

# Behind karvo.read_raw (not part of __all__): per plot, its Psf and the
# first point of each run of a stepped plot (empty for other plots).
def _read_raw(path: str | os.PathLike[str], /) -> list[tuple[Psf, tuple[int, ...]]]: ...
