"""The parts of a family (`._family`): its cells, the two forms it is given
in (`Grid`, `LongForm`), the words of a cell's status, how a missing value
is held, and how a variable's parts fill its grid (`on_grid`)."""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Tuple

from .._columns import Column, value_columns
from .._errors import LeftOut, Unread
from ._index import Analysis, Run, Scalar

if TYPE_CHECKING:
    from .._columns import Result

__all__ = [
    "READ", "FAILED", "MISSING", "UNREADABLE", "ABSENT", "STATUSES", "STATUS", "Cell", "Grid", "LongForm", "order",
    "pad_value", "missing_dtype", "on_grid", "concat", "scalar_values",
]

# What the status of a cell says: its data were read; logStatus marks its
# analysis failed (not read); its run's logFile, its entry there or its file
# does not exist; its file could not be read into the family (damaged, of
# another kind than the family's); no run holds this point of the grid.
READ, FAILED, MISSING, UNREADABLE, ABSENT = "read", "failed", "missing", "unreadable", "absent"
STATUSES = (READ, FAILED, MISSING, UNREADABLE, ABSENT)
# The name of the status coordinate (a dimension or variable may take it first).
STATUS = "status"


@dataclass
class Cell:
    run: Run
    values: Dict[str, Scalar]  # the cell's coordinate of each dimension it has one of
    leaf: Optional[Analysis] = None
    error: Optional[str] = None
    exception: Optional[Exception] = None
    status: Optional[str] = None  # one of STATUSES once known; None before the read
    psf: Optional[Result] = None  # a Psf, or the file's catalog when read lazily
    index: Optional[Tuple[int, ...]] = None  # position in the grid
    axis: Optional[Column] = None  # its data None where the file has no flat sweep
    columns: Dict[str, Column] = field(default_factory=dict)

    def points(self) -> int:
        if self.axis is not None and self.axis.data is not None:
            return len(self.axis.data)
        return len(next(iter(self.columns.values())).data) if self.columns else 0


@dataclass
class Grid:
    """A family on its grid, what `Results.to_xarray` makes its Dataset of:
    ``coords`` and ``variables`` map names to (dimensions, NumPy array,
    attrs), the coordinates including ``status`` over the outer dimensions
    (``read``, ``failed``, ``missing``, ``unreadable`` or ``absent`` per
    cell); ``attrs`` is the header of the first file read; ``left_out`` says,
    per file, which signals were left out for having no points where the
    file's sweep has some; ``unread`` lists the runs (leaves) not read into
    it, in run order."""

    coords: Dict[str, Tuple[Tuple[str, ...], Any, Dict[str, Any]]]
    variables: Dict[str, Tuple[Tuple[str, ...], Any, Dict[str, Any]]]
    attrs: Dict[str, Any]
    left_out: List[LeftOut] = field(default_factory=list)
    unread: List[Unread] = field(default_factory=list)


@dataclass
class LongForm:
    """A family in long form, what `Results.to_dataframe` makes its DataFrame
    of: ``columns`` is a list of (name, 1-D NumPy array), all of one length:
    the dimensions, ``status``, the sweep, the variables; ``attrs``,
    ``left_out`` and ``unread`` as in `Grid`."""

    columns: List[Tuple[str, Any]]
    attrs: Dict[str, Any]
    left_out: List[LeftOut] = field(default_factory=list)
    unread: List[Unread] = field(default_factory=list)


def order(value: Any) -> Tuple[int, Any]:
    """Sort key of a coordinate value: numbers by value, then strings."""
    if isinstance(value, str):
        return (1, value)
    return (0, float(value))


def pad_value(dtype: Any) -> Any:
    """A missing value of the given kind: NaN, NaN+NaNj, or None."""
    return None if dtype.kind == "O" else (complex(math.nan, math.nan) if dtype.kind == "c" else math.nan)


def missing_dtype(dtype: Any) -> Any:
    """The dtype that can hold both `dtype` and a missing value."""
    import numpy as np

    if dtype.kind in "fc":
        return dtype
    if dtype.kind in "iub":
        return np.dtype(np.float64)
    return np.dtype(object)


def on_grid(array: Any, parts: List[Tuple[Tuple[int, ...], Any]]) -> Any:
    """Fill `array` (new, of the grid's shape + (n,)) with each part's data
    at its index (from the start of the last dimension), padding everywhere
    else; each element is written once (not padded first, then overwritten).
    `parts` are in grid order, at most one at an index."""
    import numpy as np

    shape, n = array.shape[:-1], array.shape[-1]
    if parts and len(parts) == math.prod(shape) and all(len(data) == n for _, data in parts):
        # A whole sweep at every point of the grid, the parts in grid order
        # (each index once): one copy, not one per part.
        np.concatenate([data for _, data in parts], out=array.reshape(-1), casting="unsafe")
        return array
    pad = pad_value(array.dtype)
    filled = np.zeros(shape, dtype=bool)
    for index, data in parts:
        k = len(data)
        array[index + (slice(0, k),)] = data
        if k < n:
            array[index + (slice(k, None),)] = pad
        filled[index] = True
    if not filled.all():
        array[~filled] = pad
    return array


def concat(parts: List[Any], dtype: Any) -> Any:
    """The arrays `parts` end to end (an empty array of `dtype` for none)."""
    import numpy as np

    return np.concatenate(parts) if parts else np.zeros(0, dtype=dtype)


def scalar_values(psf: Result) -> List[Column]:
    """The scalar values of a non-swept file (a struct's members as
    ``value.member``); array values have no place in a grid of scalars and
    are left out."""
    return [c for c in value_columns(psf) if isinstance(c.data, (int, float, complex, str))]
