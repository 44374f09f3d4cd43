"""Sweep trees: the leaves below a logFile entry, and the values of the
tree's sweep variables that lead to each.

A periodic ac analysis (``pac.pac`` over ``harmonic``, leaves
``pac.-7.pac`` ...) or a netlist ``sweep`` leaves a parent entry whose data
file holds its sweep's values, and one child entry per value whose ``PROP``
block repeats it, printed with six significant digits (``3.66667`` for
``3.6666666666666665``). A coordinate must hold the values the files hold,
or ``sel()`` misses them and close values print the same: each printed copy
is matched to the parent file's value it was printed from.
"""

from __future__ import annotations

import math
import os
from typing import Any, Dict, List, Optional, Sequence, Tuple

from .._karvo import read_psf
from ..files import open as open_file
from ._index import Analysis, Scalar, tidy

__all__ = ["leaves"]

# Significant digits of the copies in PROP blocks (real writers print six;
# more digits only narrow the match).
PRINTED_DIGITS = 6

# A parent file up to this size is read whole: its sweep alone costs more
# through the catalog (0.47 ms for the 120 KB parent of a periodic ac
# analysis, read whole in 0.08 ms).
WHOLE_BELOW = 1 << 20


def leaves(analyses: Dict[str, Analysis], entry: Analysis) -> List[Tuple[Dict[str, Scalar], Analysis]]:
    """The leaves below `entry` in its sweep tree, each with the values of the
    tree's sweep variables that lead to it (outer to inner); `entry` alone
    when it has no children.

    A child's value of its parent's variable is the parent data file's value
    its PROP block was printed from; where the PROP has none, the distinct
    values of the parent's sweep, in file order, one per child in logFile
    order. The parent's file is read (its sweep only) where a PROP value is a
    float or missing. Raises ValueError for a loop in the tree or a child
    without a value.
    """
    return _leaves(analyses, entry, ())


def _leaves(
    analyses: Dict[str, Analysis], entry: Analysis, seen: Tuple[str, ...]
) -> List[Tuple[Dict[str, Scalar], Analysis]]:
    if entry.name in seen:
        raise ValueError(f"the sweep tree of {seen[0]!r} loops through {entry.name!r}")
    children = [a for a in analyses.values() if a.parent == entry.name]
    if not children:
        return [({}, entry)]
    own: List[Dict[str, Scalar]] = [{} for _ in children]
    for variable in entry.sweep_variables:
        printed = [child.properties.get(variable) for child in children]
        if all(isinstance(x, (str, int)) and not isinstance(x, bool) for x in printed):
            exact: Sequence[Scalar] = printed  # type: ignore[assignment]  # ints and strings are exact copies
        else:
            exact = _exact_values(entry, variable, children, printed)
        for values, x in zip(own, exact):
            values[variable] = x
    out = []
    for values, child in zip(own, children):
        for below, leaf in _leaves(analyses, child, seen + (entry.name,)):
            out.append(({**values, **below}, leaf))
    return out


def _exact_values(
    entry: Analysis, variable: str, children: List[Analysis], printed: List[Optional[Scalar]]
) -> List[Scalar]:
    """Each child's value of `variable`, taken from the parent's data file:
    the value its printed copy was rounded from, or for a child without one,
    the parent's k-th distinct value. Where the file cannot be read or holds
    no such value, a printed copy stays as printed."""
    values = _sweep_values(entry, variable)
    if values is not None and len(values) == len(children):
        # The children follow the parent's sweep: check that each copy agrees.
        if all(x is None or _rounds_to(v, x) for v, x in zip(values, printed)):
            return list(values)
    out: List[Scalar] = []
    for child, x in zip(children, printed):
        if x is None:
            raise ValueError(
                f"{tidy(entry.file)}: no value of {variable!r} for {child.name!r} "
                f"(its PROP has none and the file's sweep does not give one per child)"
            )
        near = [v for v in values or () if _rounds_to(v, x)]
        out.append(near[0] if len(near) == 1 else x)
    return out


def _rounds_to(value: Scalar, printed: Optional[Scalar]) -> bool:
    """Whether `printed` may be `value` printed with PRINTED_DIGITS
    significant digits (or more)."""
    if isinstance(value, str) or isinstance(printed, str) or printed is None:
        return value == printed
    value, printed = float(value), float(printed)
    if value == printed:
        return True
    if not (math.isfinite(value) and math.isfinite(printed)) or printed == 0:
        return False
    unit = 10.0 ** (math.floor(math.log10(abs(printed))) - (PRINTED_DIGITS - 1))
    return abs(value - printed) <= unit / 2 * (1 + 1e-9)


# The distinct values of the parent sweeps read last, by (file, variable),
# each with the file's identity when it was read: a Results makes its
# families again at every call, and the parent of a periodic ac analysis
# took 0.3 ms of the 15 harmonics' 6 ms to read again. A file replaced or
# rewritten since (another inode, size, change or modification time) is
# read anew.
_known: Dict[Tuple[str, str], Tuple[Tuple[int, ...], Optional[List[Scalar]]]] = {}
KNOWN_SWEEPS = 64


def _sweep_values(entry: Analysis, variable: str) -> Optional[List[Scalar]]:
    """The distinct values of the sweep `variable` of `entry`'s data file, in
    file order (that sweep alone is read); None when it cannot be read or
    has no such flat sweep. The list is shared: never change it."""
    try:
        st = os.stat(entry.file)
    except OSError:
        return None
    identity = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)
    key = (entry.file, variable)
    known = _known.get(key)
    if known is not None and known[0] == identity:
        return known[1]
    values = _read_sweep_values(entry, variable, st.st_size)
    if len(_known) >= KNOWN_SWEEPS:
        _known.pop(next(iter(_known)), None)
    _known[key] = (identity, values)
    return values


def _read_sweep_values(entry: Analysis, variable: str, size: int) -> Optional[List[Scalar]]:
    try:
        if size <= WHOLE_BELOW:
            psf = read_psf(entry.file)
        else:
            with open_file(entry.file) as f:
                sweeps = [s for s in f.sweeps if s.name == variable and s.dtype.names is None]
                if not sweeps:
                    return None
                alone = not any(t.name == variable for t in f.traces)
                psf = f.read([variable]) if alone else f.read()
    except (OSError, ValueError):
        return None
    for sweep in psf.sweeps:
        if sweep.name == variable and sweep.data.dtype.names is None:
            return _distinct(sweep.data)
    return None


def _distinct(data: Any) -> List[Scalar]:
    """The distinct values of `data` in order of first appearance. A parent's
    sweep repeats its few values once per point of its children's sweeps
    (7515 values for 15 harmonics): the values of a short head are looked
    up in the rest at once, rather than the whole made into Python floats."""
    import numpy as np

    head: List[Scalar] = list(dict.fromkeys(data[:HEAD].tolist()))
    if len(data) <= HEAD or (data.dtype.kind in "iuf" and np.isin(data[HEAD:], head).all()):
        return head
    return list(dict.fromkeys(data.tolist()))  # (NaN, too, is never found)


HEAD = 256
