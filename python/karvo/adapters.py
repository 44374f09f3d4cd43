"""Conversion of a read file into a pandas DataFrame or an xarray Dataset.

pandas and xarray are optional: each is imported only when its function is
called, so ``import karvo`` stays free of them (and of NumPy). The columns
and their names are `_columns`' (README "Names").
"""

from __future__ import annotations

from typing import TYPE_CHECKING

from ._columns import swept_columns, value_records, xarray_parts
from ._errors import need, warn_left_out

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]
    import xarray

    from ._karvo import Psf

__all__ = ["to_dataframe", "to_xarray"]


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
    pd = need("to_dataframe", "pandas", "pandas")
    if psf.sweeps or psf.traces:
        axis, columns, left_out = swept_columns(psf)
        warn_left_out("to_dataframe", left_out)
        if axis is not None:
            index = pd.Index(axis.data, name=axis.name)
        else:
            index = pd.RangeIndex(len(columns[0].data) if columns else 0)
        # Keyed by position, so that repeated names stay separate columns.
        frame: pandas.DataFrame = pd.DataFrame({i: c.data for i, c in enumerate(columns)}, index=index, copy=True)
        frame.columns = pd.Index([c.name for c in columns])
        frame.attrs = dict(psf.header)
        return frame
    rows = value_records(psf)
    index = pd.Index([value.name for value in psf.values], name="name")
    table: pandas.DataFrame = pd.DataFrame.from_records(rows, index=index) if rows else pd.DataFrame()
    table.attrs = dict(psf.header)
    return table


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
    xr = need("to_xarray", "xarray", "xarray")
    data_vars, coords, left_out = xarray_parts(psf)
    warn_left_out("to_xarray", left_out)
    dataset: xarray.Dataset = xr.Dataset(data_vars, coords=coords, attrs=dict(psf.header))
    return dataset
