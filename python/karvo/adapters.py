"""Conversion of a read file into a pandas DataFrame or an xarray Dataset.

pandas and xarray are optional: each is imported only when its function is
called, so ``import karvo`` stays free of them (and of NumPy).

Naming, shared with the command line's CSV export:

- a flat sweep or trace keeps its name; complex data stay complex;
- a struct trace (noise contributions) gives one column or variable per field,
  named ``{trace}.{field}``;
- a struct value of a non-swept file gives one entry per member, named
  ``{member}`` (data frame column) or ``{value}.{member}`` (Dataset variable).
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Tuple, Union

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]
    import xarray

    from ._karvo import Psf, Sweep, Trace

__all__ = ["to_dataframe", "to_xarray"]


def _need(function: str, module: str, extra: str) -> Any:
    try:
        return __import__(module)
    except ImportError as e:
        raise ImportError(f"{function} needs {module}: pip install 'karvo[{extra}]'") from e


def _columns(data: Any, name: str) -> Iterator[Tuple[str, Any]]:
    """(column name, 1-D array) pairs of one signal: a struct gives its fields."""
    names = data.dtype.names
    if names is None:
        yield name, data
    else:
        for field in names:
            yield f"{name}.{field}", data[field]


def _signals(psf: Psf) -> List[Union[Sweep, Trace]]:
    """The sweeps, then the traces, in file order."""
    return [*psf.sweeps, *psf.traces]


def _signal_columns(psf: Psf, skip_first_sweep: bool) -> List[Tuple[str, Any]]:
    signals = _signals(psf)[1:] if skip_first_sweep else _signals(psf)
    return [c for signal in signals for c in _columns(signal.data, signal.name)]


def _check_lengths(columns: List[Tuple[str, Any]], first: str, n: int) -> None:
    """Every column must have the n points of `first` (the sweep axis)."""
    for name, column in columns:
        if len(column) != n:
            raise ValueError(f"'{name}' has {len(column)} points but '{first}' has {n}")


def _index_sweep(psf: Psf) -> Optional[Sweep]:
    """The first sweep when it is flat (it becomes the index), else None."""
    if psf.sweeps and psf.sweeps[0].data.dtype.names is None:
        return psf.sweeps[0]
    return None


def to_dataframe(psf: Psf) -> pandas.DataFrame:
    """Return the results of `psf` (from `read_psf`) as a pandas DataFrame.

    Swept files: the index is the first sweep, named after it (a default
    RangeIndex when the file has no sweep, or when the first sweep is a struct);
    then one column per further sweep and per trace, in file order. Complex
    traces stay complex; a struct trace gives one float64 column per field,
    named ``trace.field``. The columns are copies of the arrays.

    Non-swept files (operating points): one row per value, the index being
    the value names (index name ``name``). Scalar values fill the column
    ``value``; struct values spread their members into columns named after
    the members, in order of first appearance (a member named ``value``
    shares the scalars' column). Cells a value has no entry
    for are missing (NaN), so such columns may change dtype (int to float).
    Files with neither give an empty DataFrame.

    Raises ImportError when pandas is not installed, and ValueError when a
    sweep or trace has another number of points than the index sweep.
    """
    pd = _need("to_dataframe", "pandas", "pandas")
    if psf.sweeps or psf.traces:
        axis = _index_sweep(psf)
        columns = _signal_columns(psf, skip_first_sweep=axis is not None)
        if axis is not None:
            _check_lengths(columns, axis.name, len(axis.data))
            index = pd.Index(axis.data, name=axis.name)
        else:
            n = len(columns[0][1]) if columns else 0
            _check_lengths(columns, columns[0][0] if columns else "", n)
            index = pd.RangeIndex(n)
        # Keyed by position, so that repeated names stay separate columns.
        frame: pandas.DataFrame = pd.DataFrame({i: column for i, (_, column) in enumerate(columns)}, index=index, copy=True)
        frame.columns = pd.Index([name for name, _ in columns])
        return frame
    rows = []
    for value in psf.values:
        data = value.data
        rows.append(dict(data) if isinstance(data, dict) else {"value": data})
    index = pd.Index([value.name for value in psf.values], name="name")
    table: pandas.DataFrame = pd.DataFrame.from_records(rows, index=index) if rows else pd.DataFrame()
    return table


def _check_unique(names: List[str]) -> None:
    seen = set()
    for name in names:
        if name in seen:
            raise ValueError(f"the name '{name}' appears more than once; an xarray Dataset needs unique names")
        seen.add(name)


def to_xarray(psf: Psf) -> xarray.Dataset:
    """Return the results of `psf` (from `read_psf`) as an xarray Dataset.

    Swept files: the first sweep is the dimension and its coordinate (when it
    is a struct, or the file has no sweep, the dimension is ``point`` without
    coordinate); further sweeps are coordinates along it. Each trace is a data
    variable; a struct trace gives one float64 variable per field, named
    ``trace.field``. Complex traces stay complex. The variables share memory
    with the arrays of `psf` (no copy is made).

    Non-swept files: one 0-dimensional variable per value, a struct value one
    per member, named ``value.member``.

    ``attrs`` holds the header properties (str, int and float values).

    Raises ImportError when xarray is not installed; ValueError when two
    sweeps, traces or values give the same name, or when a sweep or trace
    has another number of points than the dimension.
    """
    xr = _need("to_xarray", "xarray", "xarray")
    attrs = dict(psf.header)
    if not (psf.sweeps or psf.traces):
        variables: List[Tuple[str, Any]] = []
        for value in psf.values:
            data = value.data
            if isinstance(data, dict):
                variables.extend((f"{value.name}.{member}", x) for member, x in data.items())
            else:
                variables.append((value.name, data))
        _check_unique([name for name, _ in variables])
        values: xarray.Dataset = xr.Dataset({name: ((), x) for name, x in variables}, attrs=attrs)
        return values

    axis = _index_sweep(psf)
    dim = axis.name if axis is not None else "point"
    coords_from = psf.sweeps[1:] if axis is not None else psf.sweeps
    coords = [c for s in coords_from for c in _columns(s.data, s.name)]
    data_vars = [c for t in psf.traces for c in _columns(t.data, t.name)]
    _check_unique([dim, *(name for name, _ in coords), *(name for name, _ in data_vars)])
    columns = coords + data_vars
    coordinates: Dict[str, Any] = {}
    if axis is not None:
        _check_lengths(columns, axis.name, len(axis.data))
        coordinates[dim] = (dim, axis.data)
    elif columns:
        _check_lengths(columns, columns[0][0], len(columns[0][1]))
    coordinates.update((name, (dim, column)) for name, column in coords)
    swept: xarray.Dataset = xr.Dataset(
        {name: (dim, column) for name, column in data_vars}, coords=coordinates, attrs=attrs
    )
    return swept
