"""What data code reports, as structures the front ends word.

Data code (the naming rules, families) says what happened and carries the
facts; each front end (the Python API, the command line) says it in its own
terms: `to_xarray('tran', pad=True)` in one, ``--pad`` in the other.

- `LeftOut`: signals without points left out of a file's columns (a warning;
  every front end prefixes its own name);
- `UnequalSweeps`: a family's sweeps share no coordinate (a ValueError);
- `Unread`: a run of a family whose data are not in it, and why;
- `need`: the ImportError of a missing optional dependency;
- `close_matches`: the hint that follows an unknown name.
"""

from __future__ import annotations

import os
import sys
import warnings
from typing import Any, Iterable, NamedTuple, Optional, Tuple

__all__ = ["LeftOut", "UnequalSweeps", "Unread", "need", "close_matches", "warn_left_out", "caller_level", "warn"]

PAD = "pad the shorter ones with NaN along a 'point' dimension"


class LeftOut(NamedTuple):
    """Signals of a file left out of its columns: they have no points, while
    the sweep `axis` has `points`."""

    names: Tuple[str, ...]
    axis: str
    points: int

    def message(self, caller: str) -> str:
        names = ", ".join(repr(name) for name in self.names)
        return f"{caller}: left out {names}: no points, while '{self.axis}' has {self.points}"


def warn_left_out(caller: str, left_out: Optional[LeftOut]) -> None:
    """Warn of `left_out` (if any) as `caller`, naming the user's line."""
    if left_out is not None:
        warnings.warn(left_out.message(caller), UserWarning, stacklevel=caller_level())


class Unread(NamedTuple):
    """A run (or a leaf of its sweep tree) whose data are not in a family:
    the run's name, the file or folder concerned, the cell's status
    (``failed``: logStatus marks the analysis failed; ``missing``: no such
    logFile, entry or file; ``unreadable``: the file cannot be read into the
    family), and the message, which names the path once."""

    run: str
    path: str
    status: str
    message: str


class UnequalSweeps(ValueError):
    """The leaf files of a family hold sweeps that differ (in length, or in
    their values), so the sweeps share no coordinate.

    `analysis`: the name the caller gave; `axis`: the sweep's name;
    `lengths`: the shortest and the longest (equal where only the values
    differ). The ways out (`ways_out`): the long form, which holds sweeps of
    any length, or padding the shorter ones along a 'point' dimension.
    """

    ways_out = ("long form", "pad")

    def __init__(self, analysis: str, axis: str, lengths: Tuple[int, int], message: Optional[str] = None) -> None:
        self.analysis, self.axis, self.lengths = analysis, axis, lengths
        super().__init__(message if message is not None else f"{analysis!r}: {self.reason}")

    @property
    def reason(self) -> str:
        """What differs, without the ways out."""
        shortest, longest = self.lengths
        if shortest != longest:
            why = f"differ in length ({shortest} to {longest} points)"
        else:
            why = "differ in their values"
        return f"the {self.axis!r} sweeps of its runs {why}, so they share no {self.axis!r} coordinate"

    def worded(self, message: str) -> UnequalSweeps:
        """The same error, said as `message`."""
        return UnequalSweeps(self.analysis, self.axis, self.lengths, message)

    def __reduce__(self) -> Tuple[Any, ...]:
        return (UnequalSweeps, (self.analysis, self.axis, self.lengths, str(self)))


def need(caller: str, module: str, extra: str) -> Any:
    """Import `module`, an optional dependency `caller` needs; ImportError
    saying which extra to install when it is missing."""
    try:
        return __import__(module)
    except ImportError as e:
        raise ImportError(f"{caller} needs {module}: pip install 'karvo[{extra}]'") from e


def close_matches(name: object, known: Iterable[str]) -> str:
    """What follows an unknown `name` in a message: " (close matches: 'a',
    'b')" naming up to three of `known`, or "" when none is close."""
    import difflib

    close = difflib.get_close_matches(name, list(known), n=3) if isinstance(name, str) else []
    return f" (close matches: {', '.join(map(repr, close))})" if close else ""


def caller_level() -> int:
    """The stacklevel that makes a warning issued by the caller of this
    function name the first line outside karvo and xarray (whose
    open_dataset calls karvo's backend): the user's."""
    inside = [os.path.dirname(os.path.abspath(__file__)) + os.sep]
    xarray_file = getattr(sys.modules.get("xarray"), "__file__", None)
    if xarray_file:
        inside.append(os.path.dirname(os.path.abspath(xarray_file)) + os.sep)
    frame = sys._getframe(1)
    level = 1
    while frame.f_back is not None and os.path.abspath(frame.f_code.co_filename).startswith(tuple(inside)):
        frame = frame.f_back
        level += 1
    return level


def warn(message: str) -> None:
    """A UserWarning naming the user's line (the extension's readers call it)."""
    warnings.warn(message, UserWarning, stacklevel=caller_level())
