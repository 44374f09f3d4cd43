"""Catalogs of files: what a file's Dataset is laid out from before its
samples are read, and references to its signals that read them on demand.

The xarray backend lays out a file's Dataset from its `Catalog`; lazy families
(`Results.to_xarray(chunks=...)`) hold one `Catalog` per file and read each
`SignalRef` when a block is computed, in whatever process computes it. A
`SignalRef` holds the file's path and xarray's `CachingFileManager`, never an
open file, so it pickles.
"""

from __future__ import annotations

import os
import threading
import weakref
from typing import Any, Dict, List, Mapping, NamedTuple, Optional, Tuple, Union

import numpy as np
from xarray.backends import CachingFileManager

from ._karvo import Value
from .files import PsfFile, read_at
from .files import open as open_file

__all__ = ["SignalRef", "Catalog", "read_signal", "file_manager", "catalog_of", "open_catalog"]

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


def file_manager(path: PathLike) -> CachingFileManager[PsfFile]:
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


def catalog_of(f: PsfFile, manager: CachingFileManager[PsfFile]) -> Catalog:
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
    manager = file_manager(path)
    with manager.acquire_context() as f:
        return catalog_of(f, manager)
