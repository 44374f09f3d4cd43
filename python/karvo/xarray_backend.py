"""The xarray backend: ``xarray.open_dataset(path, engine="karvo")``.

karvo registers it through the ``xarray.backends`` entry point, so xarray
finds the engine once karvo is installed; ``import karvo`` imports neither
this module nor xarray. The Dataset is laid out as `karvo.to_xarray` lays
out ``read_psf(path)``, and it is lazy: opening reads the file's catalog
(header, names, dtypes, point counts, properties, and the values of an
operating point, which the catalog holds) and the first sweep, which
xarray's index needs. Every other sweep and trace is read when a value of it
is needed, and then alone: the reader copies that signal's records or frames
only.

What stands behind a variable holds the file's path, never an open file, so
lazy Datasets and the Dask graphs made of them pickle; in another process (a
Dask worker) the file is opened again by its path. Open files are kept in
xarray's cache of open files (``xarray.set_options(file_cache_maxsize=...)``,
per process) and closed by ``Dataset.close()``.
"""

from __future__ import annotations

import os
import stat
import threading
import weakref
from typing import Any, Dict, Iterable, List, Mapping, NamedTuple, Optional, Tuple, Union

import numpy as np
from xarray import Dataset, Variable
from xarray.backends import BackendArray, BackendEntrypoint, CachingFileManager
from xarray.core import indexing

from ._columns import xarray_parts
from ._errors import warn_left_out
from ._karvo import Value
from .files import PsfFile, read_at
from .files import open as open_file

__all__ = ["KarvoBackendEntrypoint"]

PathLike = Union[str, "os.PathLike[str]"]


class SignalRef:
    """A sweep or trace of a file (a struct trace's member when `field` is
    set), known by its catalog entry: what naming and layout need before a
    sample is read (dtype, length, a struct's fields: ``ref[field]``), and its
    samples when asked for (`read`, or ``numpy.asarray(ref)``).

    `manager` opens the file by its path; `position` is the signal's place in
    the file's sweeps and traces; `dtype` the whole signal's; `stamp`
    (modification time and size when the catalog was read) keeps Dask's names
    of different contents apart.
    """

    __slots__ = ("manager", "path", "position", "name", "points", "whole", "field", "stamp")
    ndim = 1

    def __init__(
        self,
        manager: CachingFileManager[PsfFile],
        path: str,
        position: int,
        name: str,
        points: int,
        dtype: np.dtype,
        field: Optional[str] = None,
        stamp: Tuple[int, int] = (0, 0),
    ) -> None:
        self.manager, self.path, self.position, self.name = manager, path, position, name
        self.points, self.whole, self.field, self.stamp = points, dtype, field, stamp

    @property
    def dtype(self) -> np.dtype:
        """The dtype of the samples: the signal's, or its member's."""
        return self.whole if self.field is None else np.dtype(self.whole.fields[self.field][0])  # type: ignore[index]

    @property
    def shape(self) -> Tuple[int]:
        return (self.points,)

    def __len__(self) -> int:
        return self.points

    def __getitem__(self, field: str) -> SignalRef:
        """The member `field` of a struct signal."""
        if self.field is not None or field not in (self.whole.names or ()):
            raise KeyError(field)
        return SignalRef(self.manager, self.path, self.position, self.name, self.points, self.whole, field, self.stamp)

    def read(self) -> Any:
        return read_signal(self)

    def __array__(self, dtype: Any = None, copy: Optional[bool] = None) -> Any:
        data = self.read()
        return data if dtype is None else data.astype(dtype, copy=False)

    def __dask_tokenize__(self) -> Tuple[Any, ...]:
        return ("karvo", self.path, self.stamp, self.position, self.field)

    def __getstate__(self) -> Tuple[Any, ...]:
        return tuple(getattr(self, k) for k in self.__slots__)

    def __setstate__(self, state: Tuple[Any, ...]) -> None:
        for k, v in zip(self.__slots__, state):
            setattr(self, k, v)

    def __repr__(self) -> str:
        member = "" if self.field is None else f".{self.field}"
        return f"<SignalRef {self.path!r} {self.name}{member} points={self.points}>"


# Struct traces read by an open file, while an array made of them lives: the
# members of one struct (out.total, out.R1, ...) are variables of their own,
# and each is a view of the struct's array, so the first read serves them all.
_structs: weakref.WeakKeyDictionary[PsfFile, weakref.WeakValueDictionary[int, Any]] = weakref.WeakKeyDictionary()
_structs_lock = threading.Lock()


def _samples(f: PsfFile, ref: SignalRef) -> Any:
    """The samples of the signal at ref.position of the open file `f`."""
    with _structs_lock:
        held = _structs.get(f)
        data = held.get(ref.position) if held is not None else None
    if data is not None:
        return data
    signal = read_at(f, ref.position)
    data = signal.data
    if (signal.name, len(data), data.dtype) != (ref.name, ref.points, ref.whole):
        now = f"{signal.name!r} of {len(data)} points ({data.dtype})"
        raise ValueError(
            f"{ref.path}: the file changed since it was opened: {now} where {ref.name!r} of {ref.points} points "
            f"({ref.whole}) was"
        )
    if data.dtype.names is not None:
        with _structs_lock:
            _structs.setdefault(f, weakref.WeakValueDictionary())[ref.position] = data
    return data


def read_signal(ref: SignalRef) -> Any:
    """The samples of `ref` (its member's, a view of the struct's array, for a
    struct member). Raises what reading the file raises, and ValueError when
    the file opened again by its path no longer holds that signal there."""
    with ref.manager.acquire_context() as f:
        data = _samples(f, ref)
    return data if ref.field is None else data[ref.field]


def _open_to_read(path: str, mode: str = "r") -> PsfFile:
    """`karvo.open` as xarray's cache of open files calls it: with a mode
    (given here, so that an unpickled manager passes the same one)."""
    return open_file(path)


def _manager(path: PathLike) -> CachingFileManager[PsfFile]:
    """The file's manager, by absolute path: a worker may run elsewhere."""
    return CachingFileManager(_open_to_read, os.path.abspath(os.fspath(path)), mode="r")


class _Signal(NamedTuple):
    name: str
    data: Any  # a SignalRef, or the samples (a flat first sweep, read at once)
    properties: Mapping[str, Union[str, int, float]]


class Catalog(NamedTuple):
    """A file as `karvo.to_xarray`'s naming rules read a Psf, from its
    catalog: sweeps and traces hold SignalRefs, except a flat first sweep,
    read at once (it becomes the index)."""

    path: str
    header: Dict[str, Union[str, int, float]]
    sweeps: List[_Signal]
    traces: List[_Signal]
    values: List[Value]


def _catalog(f: PsfFile, manager: CachingFileManager[PsfFile]) -> Catalog:
    info = os.stat(f.path)
    stamp = (info.st_mtime_ns, info.st_size)
    signals = []
    for position, s in enumerate(f.sweeps + f.traces):
        data: Any = SignalRef(manager, f.path, position, s.name, s.points, s.dtype, None, stamp)
        if position == 0 and s.kind == "sweep" and s.dtype.names is None:
            data = _samples(f, data)
        signals.append(_Signal(s.name, data, s.properties))
    sweeps = len(f.sweeps)
    return Catalog(f.path, dict(f.header), signals[:sweeps], signals[sweeps:], f.values)


def open_catalog(path: PathLike) -> Catalog:
    """Open `path` and read its catalog and first sweep; the file stays in
    xarray's cache of open files for the reads to come."""
    manager = _manager(path)
    with manager.acquire_context() as f:
        return _catalog(f, manager)


class KarvoBackendArray(BackendArray):
    """The samples of one sweep, trace or struct member, read when xarray asks
    for values: the whole signal is read (a file gives a signal whole), then
    indexed."""

    def __init__(self, ref: SignalRef) -> None:
        self.ref = ref
        self.shape = ref.shape
        self.dtype = ref.dtype

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC, self._basic)

    def _basic(self, key: Tuple[Any, ...]) -> Any:
        return read_signal(self.ref)[key]


def _lazy(data: Any) -> Any:
    return indexing.LazilyIndexedArray(KarvoBackendArray(data)) if isinstance(data, SignalRef) else data


def _dataset(catalog: Catalog, drop: Iterable[str]) -> Dataset:
    data_vars, coords, left_out = xarray_parts(catalog)
    warn_left_out("open_dataset", left_out)
    dropped = set(drop)
    variables = {k: Variable(d, _lazy(x), a) for k, (d, x, a) in data_vars.items() if k not in dropped}
    coordinates = {k: Variable(d, _lazy(x), a) for k, (d, x, a) in coords.items() if k not in dropped}
    return Dataset(variables, coords=coordinates, attrs=dict(catalog.header))


class KarvoBackendEntrypoint(BackendEntrypoint):
    """``xarray.open_dataset(path, engine="karvo")`` for psfbin and PSF ASCII
    files: the Dataset of `karvo.to_xarray`, lazy (see the module's text)."""

    description = "Open psfbin and PSF ASCII circuit-simulation result files (karvo)"
    url = ""  # no site of its own yet: the README's "xarray backend" documents the engine
    open_dataset_parameters = ("filename_or_obj", "drop_variables")

    def open_dataset(  # type: ignore[override]
        self,
        filename_or_obj: PathLike,
        *,
        drop_variables: Union[str, Iterable[str], None] = None,
    ) -> Dataset:
        """The Dataset of the file at `filename_or_obj` (a path): the header
        as ``attrs``, the first sweep as dimension coordinate (read now),
        every other sweep and trace lazy, the values of an operating point
        as 0-d variables. `drop_variables`: names to leave out.

        Raises what `karvo.open` raises (TypeError for what is not a path,
        OSError, ValueError), and ValueError when a signal has points but
        another number than the first sweep.
        """
        manager = _manager(filename_or_obj)
        drop = [drop_variables] if isinstance(drop_variables, str) else list(drop_variables or ())
        try:
            with manager.acquire_context() as f:
                catalog = _catalog(f, manager)
            dataset = _dataset(catalog, drop)
        except BaseException:
            manager.close()
            raise
        dataset.set_close(manager.close)
        return dataset

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        """Whether `filename_or_obj` is the path of a regular file that ends
        as psfbin files end (``Clarissa`` 12 bytes before the end) or begins
        as PSF ASCII does (``HEADER`` and white space). Reads 19 bytes at
        most; anything else (other objects, unreadable paths) is False."""
        try:
            path = os.fspath(filename_or_obj)
            if not isinstance(path, str) or not stat.S_ISREG(os.stat(path).st_mode):
                return False
            with open(path, "rb") as f:
                head = f.read(7)
                size = f.seek(0, os.SEEK_END)
                tail = b""
                if size >= 12:
                    f.seek(size - 12)
                    tail = f.read(8)
        except (TypeError, ValueError, OSError):
            return False
        text = head[:6] == b"HEADER" and (len(head) == 6 or head[6:7].isspace())
        return tail == b"Clarissa" or text
