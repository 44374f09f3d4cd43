"""Lazy access to one file: ``karvo.open(path)``.

The header and the catalog (names, kinds, dtypes, point counts, properties)
are read when the file is opened; the samples of a signal are read when it is
asked for, and only those: a read of two traces of a windowed transient
copies their frames only and asks the kernel for their pages only. Reads run
without the interpreter lock, from any number of threads.
"""

from __future__ import annotations

import builtins
import os
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, Mapping, NamedTuple, Optional, Tuple, Union

from ._errors import close_matches
from ._karvo import Psf, Sweep, Trace, Value, _open_file

if TYPE_CHECKING:
    import numpy

__all__ = ["open", "PsfFile", "SignalInfo"]

# The first word of a psfbin file (its VALUE layout) and the HEADER's
# container word after it.
_LAYOUT_WORDS = {0, 512, 768, 1024, 1280}
_CONTAINER = 21

PathLike = Union[str, "os.PathLike[str]"]


class SignalInfo(NamedTuple):
    """What the catalog knows of a sweep or trace before its samples are read."""

    name: str
    kind: str  #: "sweep" or "trace"
    dtype: numpy.dtype  #: float64, complex128, or one float64 field per struct member
    points: int
    properties: Mapping[str, Union[str, int, float]]

    @property
    def units(self) -> Optional[str]:
        """The ``units`` property as a str, or None."""
        units = self.properties.get("units")
        return units if isinstance(units, str) else None


def open(path: PathLike, *, partial: bool = False) -> PsfFile:  # noqa: A001 - the name users expect, as io.open
    """Open a psfbin file: its header and catalog now, its samples on request.

    Raises what `read_psf` raises for a file it cannot read (OSError,
    ValueError, MemoryError). Use it as a context manager, or call close().

    ``partial=True`` also opens a psfbin file without its trailer (a
    simulation still running, a file cut short): every whole frame or sweep
    point is read, one cut off at the end is left out. ``complete`` tells
    whether the file was whole, ``points`` how many points were read, and
    ``refresh()`` reads on as the file grows. A file cut before its first
    sampled section begins has nothing to read and raises what `read_psf` raises.
    """
    return PsfFile(path, partial)


class PsfFile:
    """An open psfbin file (see `karvo.open`).

    - ``header``: the HEADER properties (dict);
    - ``sweeps``, ``traces``: `SignalInfo` of each, in file order;
    - ``values``: the non-swept values (operating points), as `read_psf` gives them;
    - ``f[name]``: the `Sweep` or `Trace` of that name, its samples read now
      (that signal's only), or the `Value`: what ``read_psf(path)[name]``
      gives, so code written for one takes the other; a Sweep or Trace
      behaves as its array (``np.asarray(f[name])``, ``np.abs(f[name])``),
      ``f[name].data`` is the array itself;
      ``name in f``, ``len(f)``, iteration over the names, ``f.keys()``;
      names resolve as `Psf` does (a trace wins over a sweep of the same name);
    - ``f.read(names)``: a `Psf` of the chosen signals (all by default);
    - ``complete``, ``points``, ``refresh()``: for a file opened with
      ``partial=True`` (a file still written, or cut short).

    Signals, arrays and Psf objects stay valid after close(). Pickled, a PsfFile
    travels as its path and is opened again where it is unpickled.
    """

    def __init__(self, path: PathLike, partial: bool = False) -> None:
        self.path = os.fspath(path)
        self.partial = bool(partial)
        self._handle = _open_file(path, self.partial)
        self._values: List[Value] = list(self._handle.values())
        self._load_catalog()

    def _load_catalog(self) -> None:
        import numpy as np

        self._signals: List[SignalInfo] = []
        for name, is_trace, kind, members, points, properties in self._handle.catalog():
            dtype = np.dtype([(m, "<f8") for m in members]) if members is not None else np.dtype(kind)
            self._signals.append(SignalInfo(name, "trace" if is_trace else "sweep", dtype, points, properties))
        # Name -> position among signals (int) or the Value, resolved like Psf.
        self._index: Dict[str, Union[int, Value]] = {}
        for i, s in enumerate(self._signals):
            held = self._index.get(s.name)
            if held is None or (s.kind == "trace" and self._signals[held].kind == "sweep"):  # type: ignore[index]
                self._index[s.name] = i
        for v in self._values:
            self._index.setdefault(v.name, v)

    # ------------------------------------------------------------ catalog

    @property
    def header(self) -> Dict[str, Union[str, int, float]]:
        header: Dict[str, Union[str, int, float]] = self._handle.header
        return header

    @property
    def sweeps(self) -> List[SignalInfo]:
        return [s for s in self._signals if s.kind == "sweep"]

    @property
    def traces(self) -> List[SignalInfo]:
        return [s for s in self._signals if s.kind == "trace"]

    @property
    def values(self) -> List[Value]:
        return list(self._values)

    def info(self, name: str) -> SignalInfo:
        """The catalog entry of a sweep or trace; KeyError for other names."""
        held = self._lookup(name)
        if not isinstance(held, int):
            raise KeyError(name)
        return self._signals[held]

    def keys(self) -> List[str]:
        return list(self._index)

    def __iter__(self) -> Iterator[str]:
        return iter(self._index)

    def __len__(self) -> int:
        return len(self._index)

    def __contains__(self, name: object) -> bool:
        return name in self._index

    @property
    def complete(self) -> bool:
        """Whether the whole file was read: False for a file opened with
        ``partial=True`` that lacks its trailer (still written, or cut short)."""
        return bool(self._handle.complete)

    @property
    def points(self) -> int:
        """The points read of the sweep (of the longest signal; 0 for a file
        of values only)."""
        return max((s.points for s in self._signals), default=0)

    def refresh(self) -> int:
        """Read on in a growing file: the whole frames or sweep points written
        since join the catalog (what was read is not read again). Returns how
        many points were added; 0 once the file is complete. Arrays and `Psf`
        objects read before stay as they were; reads from now on give every
        point."""
        before = self.points
        if self._handle.refresh():
            self._load_catalog()
        return self.points - before

    # ------------------------------------------------------------ samples

    def __getitem__(self, name: str) -> Union[Sweep, Trace, Value]:
        held = self._lookup(name)
        if isinstance(held, Value):
            return held
        return read_at(self, held)

    def read(self, names: Optional[Iterable[str]] = None) -> Psf:
        """A `Psf` of the chosen sweeps and traces, in file order, with the
        file's header. Without names: every signal and value; a str is one
        name. A chosen value name brings the file's values along."""
        if names is None:
            return self._handle.read(range(len(self._signals)), True)
        if isinstance(names, str):
            names = [names]
        chosen = set()
        with_values = False
        for name in names:
            held = self._lookup(name)
            if isinstance(held, Value):
                with_values = True
            else:
                chosen.add(held)
        return self._handle.read(sorted(chosen), with_values)

    def _lookup(self, name: str) -> Union[int, Value]:
        try:
            return self._index[name]
        except KeyError:
            hint = close_matches(name, self._index)
            if hint:
                raise KeyError(f"{name!r}{hint}") from None
            raise

    # ------------------------------------------------------------ lifetime

    def close(self) -> None:
        """Release the file; reads in progress end first."""
        self._handle.close()

    @property
    def closed(self) -> bool:
        return bool(self._handle.closed)

    def __enter__(self) -> PsfFile:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __reduce__(self) -> Any:
        return (PsfFile, (self.path, self.partial))

    def __repr__(self) -> str:
        if self.closed:
            state = "closed"
        else:
            state = f"sweeps={len(self.sweeps)} traces={len(self.traces)} values={len(self._values)}"
            if not self.complete:
                state += f" partial points={self.points}"
        return f"<PsfFile {self.path!r} {state}>"


def lacks_trailer(path: PathLike) -> bool:
    """Whether `path` begins as a psfbin file and has no trailer: a file a
    simulator is still writing, or one cut short (``open(path,
    partial=True)`` reads it)."""
    try:
        with builtins.open(path, "rb") as f:
            head = f.read(8)
            size = f.seek(0, os.SEEK_END)
            f.seek(max(size - 12, 0))
            tail = f.read(12)
    except OSError:
        return False
    if len(head) < 8 or int.from_bytes(head[:4], "big") not in _LAYOUT_WORDS:
        return False
    return int.from_bytes(head[4:], "big") == _CONTAINER and tail[:8] != b"Clarissa"


def read_partial(path: PathLike) -> Tuple[Psf, bool]:
    """Every signal and value of `path` opened with ``partial=True``, and
    whether the file was complete."""
    with open(path, partial=True) as f:
        return f.read(), f.complete


def read_at(file: PsfFile, position: int) -> Union[Sweep, Trace]:
    """The sweep or trace at `position` of ``file.sweeps + file.traces``, its
    samples read now (names may repeat; positions do not): how the xarray
    backend reads the signal a catalog entry names."""
    psf = file._handle.read([position], False)
    return psf.sweeps[0] if psf.sweeps else psf.traces[0]
