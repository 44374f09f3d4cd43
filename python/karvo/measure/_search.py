"""The array kernels of the measurements: gathering one sample per cell,
linear interpolation at a sweep value, the crossing search, windows.

Everything works on whole arrays of shape cells + (n,) with the sweep last;
no loop runs over cells. The sweep `x` is (n,) when shared, else
cells + (n,); a padded run's samples and sweep values are NaN after its
last point, and comparisons with NaN are false, so padding never crosses a
level and never lies inside a window.

A crossing: a sample at or above the level counts as above, one below it as
below (NaN as neither). A rising crossing lies in a segment from a sample
below to the next one above, a falling one from above to below; its sweep
value is interpolated linearly between the segment's two samples. Rising and
falling crossings alternate.
"""

from __future__ import annotations

from typing import Any, Optional, Tuple

import numpy as np
import numpy.typing as npt

Float = npt.NDArray[np.float64]
Index = npt.NDArray[np.intp]
Mask = npt.NDArray[np.bool_]

EDGES = ("rising", "falling", "either")


def take(a: npt.NDArray[Any], index: Index) -> npt.NDArray[Any]:
    """a[..., index] per cell (`a` of shape (n,) or cells + (n,))."""
    if a.ndim == 1:
        return a[index]
    index = np.broadcast_to(np.asarray(index)[..., None], a.shape[:-1] + (1,))
    return np.take_along_axis(a, index, axis=-1)[..., 0]


def blend(a: npt.NDArray[Any], b: npt.NDArray[Any], t: Float) -> npt.NDArray[Any]:
    """a + (b - a) t, exact at t = 0 and t = 1 (NaN where t is, quietly)."""
    with np.errstate(invalid="ignore"):
        return a * (1 - t) + b * t


def first_valid(y: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Each cell's first sample that is not NaN (NaN for a cell without any)."""
    return take(y, np.argmax(~np.isnan(y), axis=-1))


def last_valid(y: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Each cell's last sample that is not NaN (NaN for a cell without any)."""
    n = y.shape[-1]
    return take(y, n - 1 - np.argmax(~np.isnan(y[..., ::-1]), axis=-1))


def interpolate(y: npt.NDArray[Any], x: Float, at: Float) -> npt.NDArray[Any]:
    """y at sweep value `at` (per cell), linear between the samples around it;
    NaN outside a cell's sweep. Exact at a sample."""
    n = y.shape[-1]
    at = np.asarray(at, dtype=np.float64)
    if x.ndim == 1:
        above = np.searchsorted(x, at, side="right")
    else:
        above = np.count_nonzero(x <= at[..., None], axis=-1)
    k = np.maximum(above - 1, 0)
    k1 = np.minimum(k + 1, n - 1)
    xa, xb = take(x, k), take(x, k1)
    ya, yb = take(y, k), take(y, k1)
    with np.errstate(invalid="ignore", divide="ignore"):
        t = (at - xa) / (xb - xa)
        inside = (above > 0) & (k1 > k) & (at < xb)
        value = np.where(inside, blend(ya, yb, t), np.nan)
    return np.where((above > 0) & (xa == at), ya, value)


def segments(y: Float, level: Float, edge: str) -> Mask:
    """Where each cell crosses `level` (per cell): True for segment i, from
    sample i to i + 1, that holds a crossing of the `edge` asked for."""
    level = np.asarray(level)[..., None]
    above = y >= level
    below = y < level
    if edge == "rising":
        return below[..., :-1] & above[..., 1:]
    if edge == "falling":
        return above[..., :-1] & below[..., 1:]
    return (below[..., :-1] & above[..., 1:]) | (above[..., :-1] & below[..., 1:])


def nth_segment(mask: Mask, nth: int, after: Optional[Index] = None) -> Tuple[Index, Mask]:
    """The segment of each cell's nth crossing (1 the first, -1 the last),
    counted from segment `after` on, and whether the cell has one."""
    if after is not None:
        mask = mask & (np.arange(mask.shape[-1]) >= after[..., None])
    if nth == 1:
        index = np.argmax(mask, axis=-1)
        return index, take(mask, index)
    if nth == -1:
        index = mask.shape[-1] - 1 - np.argmax(mask[..., ::-1], axis=-1)
        return index, take(mask, index)
    # crossings are few: list them (by cell, then segment) and pick each cell's
    width = mask.shape[-1]
    cell, segment = np.divmod(np.flatnonzero(mask), width)
    total = np.bincount(cell, minlength=mask.size // width if width else 0)
    first = np.cumsum(total) - total
    target = np.full(total.shape, nth - 1) if nth > 0 else total + nth
    found = (target >= 0) & (target < total)
    picked = segment[np.where(found, first + target, 0)] if segment.size else np.zeros(total.shape, dtype=np.intp)
    index = np.where(found, picked, 0)
    return index.reshape(mask.shape[:-1]), found.reshape(mask.shape[:-1])


def crossing(y: Float, x: Float, level: Float, index: Index) -> Float:
    """The sweep value where segment `index` of each cell crosses `level`."""
    y0, y1 = take(y, index), take(y, index + 1)
    with np.errstate(invalid="ignore", divide="ignore"):
        t = (level - y0) / (y1 - y0)
    return blend(take(x, index), take(x, index + 1), t)


#: Cells searched at once hold about this many samples: the temporaries of a
#: block (masks, counts) stay in the processor's cache and their memory is
#: reused, where whole-family temporaries would be fresh pages each call.
BLOCK = 1 << 18


def find(
    y: Float, x: Float, level: Float, edge: str, nth: int = 1, after: Optional[Index] = None
) -> Tuple[Float, Index, Mask]:
    """Each cell's nth crossing of `level` (see nth_segment): its sweep value
    (NaN without one), its segment and whether it exists."""
    cells, n = y.shape[:-1], y.shape[-1]
    if n < 2:
        return np.full(cells, np.nan), np.zeros(cells, dtype=np.intp), np.zeros(cells, dtype=bool)
    rows = _rows(y)
    count = rows.shape[0] if rows is not None else 0
    step = max(1, BLOCK // n)
    if rows is None or count <= step:
        return _find(y, x, level, edge, nth, after)
    # the same search, a block of cells at a time
    xs = x if x.ndim == 1 else _rows(x)
    if xs is None:
        return _find(y, x, level, edge, nth, after)
    lv = np.broadcast_to(level, cells).reshape(-1)
    since = None if after is None else np.broadcast_to(after, cells).reshape(-1)
    value, index, found = np.empty(count), np.empty(count, dtype=np.intp), np.empty(count, dtype=bool)
    for begin in range(0, count, step):
        part = slice(begin, begin + step)
        value[part], index[part], found[part] = _find(
            rows[part], xs if xs.ndim == 1 else xs[part], lv[part], edge, nth, None if since is None else since[part]
        )
    return value.reshape(cells), index.reshape(cells), found.reshape(cells)


def _rows(a: npt.NDArray[Any]) -> Optional[npt.NDArray[Any]]:
    """`a` as rows of one cell each, without a copy; None where that would need one."""
    if a.ndim == 2:
        return a
    if a.flags.c_contiguous:
        return a.reshape(-1, a.shape[-1])
    return None


def _find(
    y: Float, x: Float, level: Float, edge: str, nth: int, after: Optional[Index]
) -> Tuple[Float, Index, Mask]:
    index, found = nth_segment(segments(y, level, edge), nth, after)
    value = np.where(found, crossing(y, x, level, index), np.nan)
    return value, index, found


def clip(
    y: npt.NDArray[Any], x: Float, start: Optional[Float], stop: Optional[Float]
) -> Tuple[npt.NDArray[Any], Float]:
    """The signal on [start, stop] only: samples before `start` become the
    value interpolated at `start` (at sweep value `start`), those after `stop`
    the value at `stop`, so the arrays keep their shape and the window's ends
    are points of the signal. A window outside a cell's sweep leaves it NaN."""
    ends = [(start, np.less), (stop, np.greater)]
    clipped_y, clipped_x = y, x
    for bound, outside in ends:
        if bound is None:
            continue
        edge = interpolate(y, x, bound)
        with np.errstate(invalid="ignore"):
            beyond = outside(x, np.asarray(bound)[..., None])
        clipped_y = np.where(beyond, np.asarray(edge)[..., None], clipped_y)
        clipped_x = np.where(beyond, np.asarray(bound)[..., None], clipped_x)
    return clipped_y, clipped_x


def check_edge(function: str, edge: str) -> None:
    if edge not in EDGES:
        raise ValueError(f"{function}: edge must be 'rising', 'falling' or 'either', not {edge!r}")


def check_nth(function: str, nth: int) -> None:
    if isinstance(nth, bool) or not isinstance(nth, (int, np.integer)) or nth == 0:
        raise ValueError(f"{function}: nth counts crossings from 1 (or back from -1 for the last), not {nth!r}")
