"""How a result becomes named columns: the one home of karvo's naming rules
(README "Names" tells users).

- A flat sweep or trace keeps its name; a struct signal gives one column per
  field, ``{signal}.{field}`` (`signal_columns`).
- A struct value gives one entry per member, ``{value}.{member}``
  (`value_columns`); in a table of values, one row per value, the member
  names the column (`value_records`).
- Where a format holds real scalars only (CSV, netCDF): a complex column
  becomes ``{name}.re`` and ``{name}.im``, an array value one entry per
  element, ``{name}[k]`` (`flat_columns`, `flat_values`).
- Where names must be unique (Dataset, npz, families): `unique_names`.
- Swept columns share the first sweep's axis (`swept_columns`); a column
  without points, where the axis has some, is left out (`LeftOut`).

Everything here takes a Psf or anything shaped as one (the xarray backend's
catalog, whose signals are read later).
"""

from __future__ import annotations

from types import MappingProxyType
from typing import (
    TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Set, Tuple, Union,
)

from ._errors import LeftOut

if TYPE_CHECKING:
    from typing import Protocol

    class Signal(Protocol):
        """What the naming rules read of a Sweep or Trace."""

        @property
        def name(self) -> str: ...
        @property
        def data(self) -> Any: ...
        @property
        def properties(self) -> Mapping[str, Union[str, int, float]]: ...

    class Result(Protocol):
        """What the naming rules read of a Psf (the xarray backend's catalog
        has these too, with samples not yet read)."""

        @property
        def header(self) -> Dict[str, Union[str, int, float]]: ...
        @property
        def sweeps(self) -> Sequence[Signal]: ...
        @property
        def traces(self) -> Sequence[Signal]: ...
        @property
        def values(self) -> Sequence[Signal]: ...  # Values (a raw file's step: RawSignals)

__all__ = [
    "Column", "Swept", "Variable", "XarrayParts", "signals", "signal_columns", "unique_names", "swept_columns",
    "xarray_parts", "value_columns", "value_records", "flat_columns", "flat_values", "is_array",
]


class Column(NamedTuple):
    """One named 1-D array (or scalar, for values) of a result."""

    kind: str  # "sweep", "trace", "value", "parameter", or "dimension" for xarray's "point"
    name: str
    data: Any
    attrs: Dict[str, Any] = {}  # the signal's or value's properties (never changed in place)


def signals(psf: Result) -> List[Signal]:
    """The sweeps, then the traces, in file order."""
    return [*psf.sweeps, *psf.traces]


def _copied(properties: Mapping[str, Any]) -> Dict[str, Any]:
    """A dict of a signal's properties (a read-only view of a dict copies
    that dict at once; dict() would go key by key)."""
    if isinstance(properties, (dict, MappingProxyType)):
        return properties.copy()
    return dict(properties)


def signal_columns(kind: str, signal: Signal, copy_attrs: bool = True) -> List[Column]:
    """The columns of one signal: a struct gives one per field. Without
    `copy_attrs`, the columns' attrs are the signal's read-only `properties`
    themselves, for a caller that copies what it keeps."""
    data = signal.data
    names = data.dtype.names
    attrs = _copied(signal.properties) if copy_attrs else signal.properties
    # (tuple.__new__: a NamedTuple's own __new__ is a Python function, which
    # costs more than the rest of a column on a file of many small signals)
    if names is None:
        return [_column((kind, signal.name, data, attrs))]
    return [_column((kind, f"{signal.name}.{field}", data[field], attrs)) for field in names]


def _column(fields: Tuple[str, str, Any, Any]) -> Column:
    return tuple.__new__(Column, fields)


def _same_data(a: Any, b: Any) -> bool:
    """Same dtype, shape and values, NaN equal to NaN (a struct field by field)."""
    import numpy as np

    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    if a.dtype.names is not None:
        return all(_same_data(a[field], b[field]) for field in a.dtype.names)
    return bool(np.array_equal(a, b, equal_nan=True))


def unique_names(columns: Iterable[Column]) -> List[Column]:
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
        named.append(column if unique == name else column._replace(name=unique))
    return named


class Swept(NamedTuple):
    """The columns of a swept file: the axis (the first sweep, when flat),
    the columns that fit along it (further sweeps, then traces) and what was
    left out for having no points."""

    axis: Optional[Column]
    columns: List[Column]
    left_out: Optional[LeftOut]


def _on_axis(columns: List[Column], axis: Optional[Column]) -> Tuple[List[Column], Optional[LeftOut]]:
    """The columns that fit along the sweep axis (the longest column without
    one), and those left out.

    A column without points, in a file whose axis has some, cannot share the
    axis: it is left out. Any other length that differs from the axis' is an
    error.
    """
    if axis is None:
        axis = max(columns, key=lambda c: len(c.data), default=None)
        if axis is None:
            return columns, None
    n = len(axis.data)
    if all([len(c.data) == n for c in columns]):
        return columns, None
    empty = tuple(c.name for c in columns if n and not len(c.data))
    for c in columns:
        if len(c.data) not in (n, 0):
            raise ValueError(f"'{c.name}' has {len(c.data)} points but '{axis.name}' has {n}")
    kept = [c for c in columns if len(c.data) or not n]
    return kept, LeftOut(empty, axis.name, n) if empty else None


def swept_columns(psf: Result, copy_attrs: bool = True) -> Swept:
    """The axis (the first sweep, when flat) and the columns that fit along
    it: further sweeps, then traces. ValueError when a column has points, but
    another number than the axis. `copy_attrs` as for `signal_columns`."""
    sweeps = psf.sweeps
    axis = None
    if sweeps:
        first = sweeps[0]
        data = first.data
        if data.dtype.names is None:
            attrs = _copied(first.properties) if copy_attrs else first.properties
            axis = _column(("sweep", first.name, data, attrs))
            sweeps = sweeps[1:]
    columns = []
    for kind, group in (("sweep", sweeps), ("trace", psf.traces)):
        for signal in group:
            columns += signal_columns(kind, signal, copy_attrs)
    kept, left_out = _on_axis(columns, axis)
    return Swept(axis, kept, left_out)


def value_columns(psf: Result) -> List[Column]:
    """One column per value of a non-swept file, a struct's members as
    ``value.member``, in file order; each holds the value's properties."""
    columns: List[Column] = []
    for value in psf.values:
        data = value.data
        attrs = dict(value.properties)
        if isinstance(data, dict):
            columns.extend(Column("value", f"{value.name}.{member}", x, attrs) for member, x in data.items())
        else:
            columns.append(Column("value", value.name, data, attrs))
    return columns


def value_records(psf: Result) -> List[Dict[str, Any]]:
    """One record per value of a non-swept file, for a table of one row per
    value: a scalar under ``value``, a struct's members under their names."""
    return [dict(v.data) if isinstance(v.data, dict) else {"value": v.data} for v in psf.values]


# (dimensions, data, attrs) of one variable or coordinate of a Dataset.
Variable = Tuple[Tuple[str, ...], Any, Dict[str, Any]]


class XarrayParts(NamedTuple):
    """The data variables and coordinates of a file's Dataset, and the
    signals left out for having no points."""

    data_vars: Dict[str, Variable]
    coords: Dict[str, Variable]
    left_out: Optional[LeftOut]


def _value_variable(column: Column) -> Tuple[Tuple[str, ...], Any]:
    """Dimensions and data of a value's variable: none for a scalar, one of
    its own for an array (a tuple of str becomes a NumPy str array)."""
    data = column.data
    if isinstance(data, tuple):
        import numpy as np

        data = np.asarray(list(data), dtype=str)
    if getattr(data, "ndim", 0) == 1:
        return (f"{column.name} element",), data
    return (), data


def xarray_parts(psf: Result) -> XarrayParts:
    """The data variables and coordinates `to_xarray` makes of `psf`, each
    holding the data `psf` gives (the xarray backend passes a catalog whose
    signals are read later)."""
    if not (psf.sweeps or psf.traces):
        variables = unique_names(value_columns(psf))
        return XarrayParts({c.name: (*_value_variable(c), c.attrs) for c in variables}, {}, None)

    axis, columns, left_out = swept_columns(psf)
    dim = axis.name if axis is not None else "point"
    named = unique_names([axis or Column("dimension", dim, None), *columns])[1:]
    coordinates: Dict[str, Variable] = {} if axis is None else {dim: ((dim,), axis.data, axis.attrs)}
    coordinates.update((c.name, ((dim,), c.data, c.attrs)) for c in named if c.kind == "sweep")
    traces: Dict[str, Variable] = {c.name: ((dim,), c.data, c.attrs) for c in named if c.kind == "trace"}
    return XarrayParts(traces, coordinates, left_out)


def flat_columns(name: str, data: Any) -> List[Tuple[str, Any]]:
    """Real columns of one array: a struct one per field, complex in two."""
    if data.dtype.names is not None:
        return [c for field in data.dtype.names for c in flat_columns(f"{name}.{field}", data[field])]
    if data.dtype.kind == "c":
        return [(f"{name}.re", data.real), (f"{name}.im", data.imag)]
    return [(name, data)]


def is_array(x: Any) -> bool:
    """An array value: a tuple of str, or a NumPy array of numbers."""
    return isinstance(x, tuple) or hasattr(x, "dtype")


def flat_values(name: str, x: Any) -> List[Tuple[str, Union[int, float, str]]]:
    """Named scalars of one value, none complex: a struct's members, an
    array's elements ``name[k]`` (an empty array gives none), complex in two."""
    if isinstance(x, dict):
        return [row for member, v in x.items() for row in flat_values(f"{name}.{member}", v)]
    if is_array(x):
        items = x if isinstance(x, tuple) else x.tolist()
        return [row for k, v in enumerate(items) for row in flat_values(f"{name}[{k}]", v)]
    if isinstance(x, complex):
        return [(f"{name}.re", x.real), (f"{name}.im", x.imag)]
    return [(name, x)]
