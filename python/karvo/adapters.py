"""Conversion of a read file into a pandas DataFrame or an xarray Dataset.

pandas and xarray are optional: each is imported only when its function is
called, so ``import karvo`` stays free of them (and of NumPy).

Naming, shared with the command line's exports:

- a flat sweep or trace keeps its name; complex data stay complex;
- a struct trace (noise contributions) gives one column or variable per field,
  named ``{trace}.{field}``;
- a struct value of a non-swept file gives one entry per member, named
  ``{member}`` (data frame column) or ``{value}.{member}`` (Dataset variable);
- where names must be unique (Dataset, npz), `_unique_names` settles repeats.
"""

from __future__ import annotations

import warnings
from typing import (
    TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, Mapping, NamedTuple, Optional, Sequence, Set, Tuple, Union,
)

from ._warn import caller_level

if TYPE_CHECKING:
    from typing import Protocol

    import pandas  # type: ignore[import-untyped, unused-ignore]
    import xarray

    from ._karvo import Psf, Sweep, Trace, Value

    class _Signal(Protocol):
        """What the naming rules read of a Sweep or Trace."""

        @property
        def name(self) -> str: ...
        @property
        def data(self) -> Any: ...
        @property
        def properties(self) -> Mapping[str, Union[str, int, float]]: ...

    class _Result(Protocol):
        """What the naming rules read of a Psf (the xarray backend's catalog
        has these too, with samples not yet read)."""

        @property
        def header(self) -> Dict[str, Union[str, int, float]]: ...
        @property
        def sweeps(self) -> Sequence[_Signal]: ...
        @property
        def traces(self) -> Sequence[_Signal]: ...
        @property
        def values(self) -> Sequence[Value]: ...

__all__ = ["to_dataframe", "to_xarray"]


class _Column(NamedTuple):
    """One named 1-D array (or scalar, for values) of a result."""

    kind: str  # "sweep", "trace", "value", or "dimension" for xarray's "point"
    name: str
    data: Any
    attrs: Dict[str, Any] = {}  # the signal's or value's properties (never changed in place)


def _need(function: str, module: str, extra: str) -> Any:
    try:
        return __import__(module)
    except ImportError as e:
        raise ImportError(f"{function} needs {module}: pip install 'karvo[{extra}]'") from e


def _columns(kind: str, signal: _Signal) -> Iterator[_Column]:
    """The columns of one signal: a struct gives one per field."""
    data = signal.data
    names = data.dtype.names
    attrs = dict(signal.properties)
    if names is None:
        yield _Column(kind, signal.name, data, attrs)
    else:
        for field in names:
            yield _Column(kind, f"{signal.name}.{field}", data[field], attrs)


def _signals(psf: Psf) -> List[Union[Sweep, Trace]]:
    """The sweeps, then the traces, in file order."""
    return [*psf.sweeps, *psf.traces]


def _same_data(a: Any, b: Any) -> bool:
    """Same dtype, shape and values, NaN equal to NaN (a struct field by field)."""
    import numpy as np

    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    if a.dtype.names is not None:
        return all(_same_data(a[field], b[field]) for field in a.dtype.names)
    return bool(np.array_equal(a, b, equal_nan=True))


def _unique_names(columns: Iterable[_Column]) -> List[_Column]:
    """Give every column a name of its own, in file order, for containers
    keyed by name (xarray Dataset, npz archive).

    Simulators often save the swept source among the traces: a trace that
    repeats a sweep's name and holds the same data (NaN equal to NaN) is that
    sweep's coordinate, and is left out. Any other column whose name is
    already taken is renamed ``"{name} ({kind})"``, or ``"{name} ({kind} 2)"``,
    ``"{name} ({kind} 3)"``, ... when that is taken too; kind is ``trace``,
    ``sweep`` or ``value``.
    """
    taken: Set[str] = set()
    sweeps: Dict[str, Any] = {}
    named = []
    for column in columns:
        kind, name, data = column.kind, column.name, column.data
        if kind == "trace" and name in sweeps and _same_data(data, sweeps[name]):
            continue
        unique, k = name, 1
        while unique in taken:
            unique = f"{name} ({kind})" if k == 1 else f"{name} ({kind} {k})"
            k += 1
        taken.add(unique)
        if kind == "sweep":
            sweeps.setdefault(name, data)
        named.append(column._replace(name=unique))
    return named


def _on_axis(columns: List[_Column], axis: Optional[_Column], function: str) -> List[_Column]:
    """The columns that fit along the sweep axis (the longest column without one).

    A column without points, in a file whose axis has some, cannot share the
    axis: it is left out, with one warning naming all such columns. Any other
    length that differs from the axis' is an error.
    """
    if axis is None:
        axis = max(columns, key=lambda c: len(c.data), default=None)
        if axis is None:
            return columns
    n = len(axis.data)
    empty = [c.name for c in columns if n and not len(c.data)]
    for c in columns:
        if len(c.data) not in (n, 0):
            raise ValueError(f"'{c.name}' has {len(c.data)} points but '{axis.name}' has {n}")
    if empty:
        names = ", ".join(repr(name) for name in empty)
        message = f"{function}: left out {names}: no points, while '{axis.name}' has {n}"
        warnings.warn(message, UserWarning, stacklevel=caller_level())
    return [c for c in columns if len(c.data) or not n]


def _index_sweep(psf: _Result) -> Optional[_Signal]:
    """The first sweep when it is flat (it becomes the index), else None."""
    if psf.sweeps and psf.sweeps[0].data.dtype.names is None:
        return psf.sweeps[0]
    return None


def _swept_columns(psf: _Result, function: str) -> Tuple[Optional[_Column], List[_Column]]:
    """The axis (the first sweep, when flat) and the columns that fit along it:
    further sweeps, then traces."""
    first = _index_sweep(psf)
    axis = None if first is None else _Column("sweep", first.name, first.data, dict(first.properties))
    sweeps = psf.sweeps[1:] if first is not None else psf.sweeps
    columns = [c for s in sweeps for c in _columns("sweep", s)]
    columns += [c for t in psf.traces for c in _columns("trace", t)]
    return axis, _on_axis(columns, axis, function)


def to_dataframe(psf: Psf) -> pandas.DataFrame:
    """Return the results of `psf` (from `read_psf`) as a pandas DataFrame.

    Swept files: the index is the first sweep, named after it (a default
    RangeIndex when the file has no sweep, or when the first sweep is a struct);
    then one column per further sweep and per trace, in file order. Complex
    traces stay complex; a struct trace gives one float64 column per field,
    named ``trace.field``. Names are kept as they are, repeats included. The
    columns are copies of the arrays. A signal without points, in a file whose
    sweep has points, is left out with a UserWarning naming it. ``attrs``
    holds the header.

    Non-swept files (operating points): one row per value, the index being
    the value names (index name ``name``). Scalar values fill the column
    ``value``; struct values spread their members into columns named after
    the members, in order of first appearance (a member named ``value``
    shares the scalars' column). Cells a value has no entry
    for are missing (NaN), so such columns may change dtype (int to float).
    Files with neither give an empty DataFrame.

    Raises ImportError when pandas is not installed, and ValueError when a
    sweep or trace has points, but another number than the index sweep.
    """
    pd = _need("to_dataframe", "pandas", "pandas")
    if psf.sweeps or psf.traces:
        axis, columns = _swept_columns(psf, "to_dataframe")
        if axis is not None:
            index = pd.Index(axis.data, name=axis.name)
        else:
            index = pd.RangeIndex(len(columns[0].data) if columns else 0)
        # Keyed by position, so that repeated names stay separate columns.
        frame: pandas.DataFrame = pd.DataFrame({i: c.data for i, c in enumerate(columns)}, index=index, copy=True)
        frame.columns = pd.Index([c.name for c in columns])
        frame.attrs = dict(psf.header)
        return frame
    rows = []
    for value in psf.values:
        data = value.data
        rows.append(dict(data) if isinstance(data, dict) else {"value": data})
    index = pd.Index([value.name for value in psf.values], name="name")
    table: pandas.DataFrame = pd.DataFrame.from_records(rows, index=index) if rows else pd.DataFrame()
    table.attrs = dict(psf.header)
    return table


def _value_variable(column: _Column) -> Tuple[Tuple[str, ...], Any]:
    """Dimensions and data of a value's variable: none for a scalar, one of
    its own for an array (a tuple of str becomes a NumPy str array)."""
    data = column.data
    if isinstance(data, tuple):
        import numpy as np

        data = np.asarray(list(data), dtype=str)
    if getattr(data, "ndim", 0) == 1:
        return (f"{column.name} element",), data
    return (), data


def to_xarray(psf: Psf) -> xarray.Dataset:
    """Return the results of `psf` (from `read_psf`) as an xarray Dataset.

    Swept files: the first sweep is the dimension and its coordinate (when it
    is a struct, or the file has no sweep, the dimension is ``point`` without
    coordinate); further sweeps are coordinates along it. Each trace is a data
    variable; a struct trace gives one float64 variable per field, named
    ``trace.field``. Complex traces stay complex. The variables share memory
    with the arrays of `psf` (no copy is made). A signal without points, in a
    file whose sweep has points, is left out with a UserWarning naming it.

    Non-swept files: one 0-dimensional variable per value, a struct value one
    per member, named ``value.member``; an array value (or member) is a 1-d
    variable along a dimension of its own, ``"{name} element"``.

    A Dataset needs names of its own: a trace that repeats a sweep's name with
    the same data is left out (the sweep is its coordinate); with other data,
    and for any other repeated name, the later one is renamed
    ``"{name} (trace)"`` (``(sweep)``, ``(value)``), then ``"{name} (trace 2)"``
    and so on until the name is free.

    ``attrs`` of the Dataset holds the header properties (str, int and float
    values); each variable's and coordinate's ``attrs`` its signal's or
    value's properties (``units`` among them, where the file has it; a struct
    field has its trace's).

    Raises ImportError when xarray is not installed, and ValueError when a
    sweep or trace has points, but another number than the dimension.
    """
    xr = _need("to_xarray", "xarray", "xarray")
    data_vars, coords = _xarray_parts(psf, "to_xarray")
    dataset: xarray.Dataset = xr.Dataset(data_vars, coords=coords, attrs=dict(psf.header))
    return dataset


# (dimensions, data, attrs) of one variable or coordinate of a Dataset.
_Variable = Tuple[Tuple[str, ...], Any, Dict[str, Any]]


def _xarray_parts(psf: _Result, function: str) -> Tuple[Dict[str, _Variable], Dict[str, _Variable]]:
    """The data variables and coordinates `to_xarray` makes of `psf`, each
    holding the data `psf` gives (the xarray backend passes a catalog whose
    signals are read later)."""
    if not (psf.sweeps or psf.traces):
        variables: List[_Column] = []
        for value in psf.values:
            data = value.data
            properties = dict(value.properties)
            if isinstance(data, dict):
                variables.extend(
                    _Column("value", f"{value.name}.{member}", x, properties) for member, x in data.items()
                )
            else:
                variables.append(_Column("value", value.name, data, properties))
        return {c.name: (*_value_variable(c), c.attrs) for c in _unique_names(variables)}, {}

    axis, columns = _swept_columns(psf, function)
    dim = axis.name if axis is not None else "point"
    named = _unique_names([axis or _Column("dimension", dim, None), *columns])[1:]
    coordinates: Dict[str, _Variable] = {} if axis is None else {dim: ((dim,), axis.data, axis.attrs)}
    coordinates.update((c.name, ((dim,), c.data, c.attrs)) for c in named if c.kind == "sweep")
    traces: Dict[str, _Variable] = {c.name: ((dim,), c.data, c.attrs) for c in named if c.kind == "trace"}
    return traces, coordinates
