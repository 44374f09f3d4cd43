"""Families: one analysis across the runs of a study and the leaves of its
sweep tree, combined into one grid (`Family.grid`, behind ``to_xarray``) or
one long table (`Family.long`, behind ``to_dataframe``).

A family is a list of cells, one per (run, leaf): the cell's coordinates are
the run's parameters (outer, in run tree order), then the values of the sweep
tree's variables down to the leaf; its data are the leaf file's. Every
dimension's coordinate holds the distinct values of its cells, sorted.
Cells that could not be read are NaN in the grid and one row of NaN in the
long table.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Mapping, Optional, Sequence, Set, Tuple

from .._columns import Column, swept_columns, unique_names, value_columns
from .._errors import LeftOut, UnequalSweeps
from .._karvo import read_psf
from ._index import Analysis, Run, Scalar, log_exception, tidy
from ._reading import read_all

if TYPE_CHECKING:
    from .._columns import Result


@dataclass
class Cell:
    run: Run
    values: Dict[str, Scalar]  # the cell's coordinate of each dimension it has one of
    leaf: Optional[Analysis] = None
    error: Optional[str] = None
    exception: Optional[Exception] = None
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
    attrs); ``attrs`` is the header of the first file read; ``left_out`` says,
    per file, which signals were left out for having no points where the
    file's sweep has some."""

    coords: Dict[str, Tuple[Tuple[str, ...], Any, Dict[str, Any]]]
    variables: Dict[str, Tuple[Tuple[str, ...], Any, Dict[str, Any]]]
    attrs: Dict[str, Any]
    left_out: List[LeftOut] = field(default_factory=list)


@dataclass
class LongForm:
    """A family in long form, what `Results.to_dataframe` makes its DataFrame
    of: ``columns`` is a list of (name, 1-D NumPy array), all of one length:
    the dimensions, the sweep, the variables; ``attrs`` and ``left_out`` as
    in `Grid`."""

    columns: List[Tuple[str, Any]]
    attrs: Dict[str, Any]
    left_out: List[LeftOut] = field(default_factory=list)


def _order(value: Any) -> Tuple[int, Any]:
    """Sort key of a coordinate value: numbers by value, then strings."""
    if isinstance(value, str):
        return (1, value)
    return (0, float(value))


def _pad_value(dtype: Any) -> Any:
    """A missing value of the given kind: NaN, NaN+NaNj, or None."""
    return None if dtype.kind == "O" else (complex(math.nan, math.nan) if dtype.kind == "c" else math.nan)


def _missing(dtype: Any) -> Any:
    """The dtype that can hold both `dtype` and a missing value."""
    import numpy as np

    if dtype.kind in "fc":
        return dtype
    if dtype.kind in "iub":
        return np.dtype(np.float64)
    return np.dtype(object)


class Family:
    """One analysis (`name`, a logFile entry name; `asked`, the name the caller
    gave) over the runs of `runs`."""

    def __init__(self, name: str, runs: Sequence[Run], asked: Optional[str] = None) -> None:
        self.name = name
        self.asked = name if asked is None else asked
        self.cells: List[Cell] = []
        corners = {run.corner for run in runs}
        by_corner = len(corners) > 1
        dims: List[str] = ["corner"] if by_corner else []
        for run in runs:
            for d in run.parameters:
                if d not in dims:
                    dims.append(d)
        outer = list(dims)
        for run in runs:
            base: Dict[str, Scalar] = dict(run.parameters)
            if by_corner and run.corner is not None:
                base["corner"] = run.corner
            if run.error is not None and not run.analyses:
                self.cells.append(Cell(run, base, error=run.error, exception=log_exception(run)))
                continue
            entry = run.analyses.get(name)
            if entry is None:
                log = os.path.join(run.path, "logFile")
                self.cells.append(Cell(run, base, error=f"{log}: no analysis {name!r}"))
                continue
            try:
                leaves = _leaves(run.analyses, entry, ())
            except (OSError, ValueError) as e:
                self.cells.append(Cell(run, base, error=str(e), exception=e))
                continue
            for values, leaf in leaves:
                for d in values:
                    if d not in dims:
                        dims.append(d)
                self.cells.append(Cell(run, {**base, **values}, leaf=leaf))
        self.dims = dims
        self.run_dims = outer
        self.header: Dict[str, Any] = {}
        self.left_out: List[LeftOut] = []

    def errors(self) -> List[Cell]:
        return [c for c in self.cells if c.error is not None]

    def read(
        self, workers: int, progress: Optional[bool], strict: bool, read: Callable[[str], Result] = read_psf
    ) -> None:
        """Read every cell's data file (`read_psf`, or another `read`: the
        catalogs of a lazy family); a cell that cannot be read keeps the
        error. With `strict`, raise the first error in run order (reading no
        cell after one already known to have failed)."""
        cells = self.cells
        if strict:
            known = next((k for k, c in enumerate(cells) if c.error is not None), len(cells))
            cells = cells[:known]
        files = list(dict.fromkeys(c.leaf.file for c in cells if c.error is None and c.leaf is not None))
        outcomes = dict(zip(files, read_all(files, workers, progress, f"reading {self.name}", read)))
        for cell in cells:
            if cell.error is not None or cell.leaf is None:
                continue
            outcome = outcomes[cell.leaf.file]
            if isinstance(outcome, Exception):
                self._fail(cell, outcome)
            else:
                cell.psf = outcome
        if strict:
            self._raise_first()
        for cell in self.cells:
            if cell.error is not None and cell.run.error is None:
                cell.run.error = cell.error

    def _fail(self, cell: Cell, e: Exception) -> None:
        path = cell.leaf.file if cell.leaf is not None else cell.run.path
        text = str(e)
        cell.error = text if path in text else f"{path}: {text}"
        cell.exception = e

    def _raise_first(self) -> None:
        for cell in self.cells:
            if cell.error is None:
                continue
            e = cell.exception
            if isinstance(e, OSError):
                raise e
            raise ValueError(f"run {cell.run.name!r}: {cell.error}") from e

    # ------------------------------------------------------------ the cells' data

    def _cut(self) -> Tuple[bool, Optional[str], Dict[str, Any], Dict[str, Any]]:
        """Cut each read cell into its axis and named columns; learn the
        variables (name -> dtype, first attrs) in order of first appearance,
        and what each file left out (`left_out`).

        Returns (swept, axis name, axis attrs, variables).
        """
        import numpy as np

        swept: Optional[bool] = None
        axis_name: Optional[str] = None
        axis_attrs: Dict[str, Any] = {}
        variables: Dict[str, Any] = {}
        self.left_out = []
        prefix = [Column("parameter", d, None) for d in self.dims]
        for cell in self.cells:
            psf = cell.psf
            if psf is None:
                continue
            is_swept = bool(psf.sweeps or psf.traces)
            if swept is None:
                swept = is_swept
                self.header = dict(psf.header)
            if is_swept != swept:
                cell.error = f"{cell.leaf.file if cell.leaf else cell.run.path}: " + (
                    "holds sweeps, while the family's first file holds values"
                    if is_swept
                    else "holds values, while the family's first file holds sweeps"
                )
                cell.psf = None
                cell.run.error = cell.run.error or cell.error
                continue
            if is_swept:
                try:
                    axis, columns, left_out = swept_columns(psf)
                except ValueError as e:
                    self._fail(cell, e)
                    cell.psf = None
                    cell.run.error = cell.run.error or cell.error
                    continue
                if left_out is not None:
                    self.left_out.append(left_out)
                point = Column("dimension", "point", None)
                named = unique_names([*prefix, axis or point, *columns])
                cell.axis = named[len(prefix)]._replace(data=None if axis is None else axis.data)
                cell.columns = {c.name: c for c in named[len(prefix) + 1 :]}
                if axis_name is None:
                    axis_name = cell.axis.name
                    axis_attrs = dict(cell.axis.attrs)
            else:
                named = unique_names([*prefix, *_scalar_values(psf)])
                cell.columns = {c.name: c for c in named[len(prefix) :]}
            for c in cell.columns.values():
                dtype = getattr(c.data, "dtype", None)  # a SignalRef's, without reading it
                if not isinstance(dtype, np.dtype):
                    dtype = np.asarray(c.data).dtype
                if dtype.kind == "U":
                    dtype = np.dtype(object)
                held = variables.get(c.name)
                if held is None:
                    variables[c.name] = [c.kind, dtype, dict(c.attrs)]
                elif held[1] != dtype:
                    mixed = np.dtype(object) in (held[1], dtype)
                    held[1] = np.dtype(object) if mixed else np.result_type(held[1], dtype)
        if swept is None:
            first = next((c.error for c in self.cells if c.error), "no run has it")
            raise ValueError(f"no data of {self.name!r} could be read: {first}")
        return swept, axis_name, axis_attrs, variables

    def _coordinates(self) -> Dict[str, List[Scalar]]:
        values: Dict[str, Set[Any]] = {d: set() for d in self.dims}
        for cell in self.cells:
            for d, v in cell.values.items():
                values[d].add(v)
        return {d: sorted(vs, key=_order) for d, vs in values.items()}

    def _place(self, coordinates: Dict[str, List[Scalar]]) -> None:
        """Each read cell's position in the grid; two in one place are an error."""
        position = {d: {_order(v): k for k, v in enumerate(vs)} for d, vs in coordinates.items()}
        taken: Dict[Tuple[int, ...], Cell] = {}
        for cell in self.cells:
            if cell.psf is None:
                continue
            lacking = [d for d in self.dims if d not in cell.values]
            if lacking:
                cell.error = f"run {cell.run.name!r} has no value of {', '.join(map(repr, lacking))}"
                cell.run.error = cell.run.error or cell.error
                cell.psf = None
                continue
            index = tuple(position[d][_order(cell.values[d])] for d in self.dims)
            other = taken.get(index)
            if other is not None:
                where = ", ".join(f"{d}={cell.values[d]!r}" for d in self.dims)
                raise ValueError(
                    f"{self.name!r}: runs {other.run.name!r} and {cell.run.name!r} hold the same point "
                    f"({where or 'no parameters'}); use to_dataframe for the long form"
                )
            taken[index] = cell
            cell.index = index

    # ------------------------------------------------------------ the grid

    def grid(self, pad: bool, chunks: Optional[Mapping[str, int]] = None) -> Grid:
        """The family on its grid. With `chunks` (runs per block along outer
        dimensions; 1 where not given), the cells hold catalogs and the
        variables are Dask arrays whose blocks read their files when computed.

        Raises UnequalSweeps when the leaves' sweeps differ and `pad` is false."""
        import numpy as np

        swept, axis_name, axis_attrs, variables = self._cut()
        coordinates = self._coordinates()
        self._place(coordinates)
        placed = [(c.index, c) for c in self.cells if c.index is not None]
        shape = tuple(len(coordinates[d]) for d in self.dims)
        if chunks is not None:
            from . import _lazy

            blocks = _lazy.blocks(self.dims, shape, chunks)
        coords: Dict[str, Tuple[Tuple[str, ...], Any, Dict[str, Any]]] = {
            d: ((d,), np.asarray(vs, dtype=object if any(isinstance(v, str) for v in vs) else None), {})
            for d, vs in coordinates.items()
        }
        outer = tuple(self.dims)
        out: Dict[str, Tuple[Tuple[str, ...], Any, Dict[str, Any]]] = {}
        if not swept:
            for name, (kind, dtype, attrs) in variables.items():
                dtype = _missing(dtype)
                array = np.full(shape, _pad_value(dtype), dtype=dtype)
                for index, cell in placed:
                    if name in cell.columns:
                        array[index] = cell.columns[name].data
                out[name] = (outer, array if chunks is None else _lazy.in_blocks(name, array, blocks), attrs)
            return Grid(coords, out, self.header, self.left_out)

        assert axis_name is not None
        lengths = {cell.points() for _, cell in placed}
        shared = self._shared_axis([cell for _, cell in placed])
        if shared is None and not pad:
            raise UnequalSweeps(self.asked, axis_name, (min(lengths), max(lengths)))
        n = max(lengths, default=0)
        inner: Tuple[str, ...] = (axis_name,) if shared is not None else ("point",)
        dims = outer + inner
        if axis_name != "point":
            if shared is not None:
                coords[axis_name] = (inner, shared, axis_attrs)
            else:
                array = np.full(shape + (n,), math.nan)
                for index, cell in placed:
                    if cell.axis is not None and cell.axis.data is not None:
                        array[index + (slice(0, len(cell.axis.data)),)] = cell.axis.data
                coords[axis_name] = (dims, array, axis_attrs)
        for name, (kind, dtype, attrs) in variables.items():
            dtype = _missing(dtype)
            if chunks is not None:
                refs = {index: cell.columns[name].data for index, cell in placed if name in cell.columns}
                array = _lazy.family_array(name, shape + (n,), dtype, _pad_value(dtype), refs, blocks + ((n,),))
            else:
                array = np.full(shape + (n,), _pad_value(dtype), dtype=dtype)
                for index, cell in placed:
                    column = cell.columns.get(name)
                    if column is not None:
                        array[index + (slice(0, len(column.data)),)] = column.data
            (coords if kind == "sweep" else out)[name] = (dims, array, attrs)
        return Grid(coords, out, self.header, self.left_out)

    def _shared_axis(self, cells: List[Cell]) -> Any:
        """The sweep every one of `cells` has (same values, NaN equal to NaN), or None."""
        import numpy as np

        first: Any = None
        for cell in cells:
            data = cell.axis.data if cell.axis is not None else None
            if data is None:
                data = np.arange(cell.points(), dtype=np.float64)
            if first is None:
                first = data
            elif not (first.shape == data.shape and np.array_equal(first, data, equal_nan=True)):
                return None
        return np.arange(0) if first is None else first

    # ------------------------------------------------------------ the long table

    def long(self) -> LongForm:
        """The long form: columns of the dimensions, the sweep, the variables;
        one row per point of each cell, one row of NaN for a cell not read."""
        import numpy as np

        swept, axis_name, axis_attrs, variables = self._cut()
        coordinates = self._coordinates()
        rank = {d: {_order(v): k for k, v in enumerate(vs)} for d, vs in coordinates.items()}

        def key(cell: Cell) -> Tuple[int, ...]:
            return tuple(rank[d].get(_order(cell.values[d]), 0) if d in cell.values else -1 for d in self.dims)

        cells = sorted(self.cells, key=key)
        sizes = [cell.points() if swept and cell.psf is not None else 1 for cell in cells]
        columns: List[Column] = []
        for d in self.dims:
            values = coordinates[d]
            dtype = np.dtype(object) if any(isinstance(v, str) for v in values) else np.asarray(values).dtype
            if any(d not in c.values for c in cells):
                dtype = _missing(dtype)
            parts = [np.full(k, c.values.get(d, _pad_value(dtype)), dtype=dtype) for c, k in zip(cells, sizes)]
            columns.append(Column("parameter", d, _concat(parts, dtype)))
        if swept:
            assert axis_name is not None
            parts = []
            for cell, k in zip(cells, sizes):
                if cell.psf is None:
                    parts.append(np.full(k, math.nan))
                elif cell.axis is not None and cell.axis.data is not None:
                    parts.append(cell.axis.data)
                else:
                    parts.append(np.arange(k, dtype=np.float64))
            columns.append(Column("sweep", axis_name, _concat(parts, np.dtype(np.float64)), axis_attrs))
        for name, (kind, dtype, attrs) in variables.items():
            dtype = _missing(dtype)
            parts = []
            for cell, k in zip(cells, sizes):
                column = cell.columns.get(name) if cell.psf is not None else None
                if column is None:
                    parts.append(np.full(k, _pad_value(dtype), dtype=dtype))
                else:
                    parts.append(np.asarray(column.data if swept else [column.data], dtype=dtype))
            columns.append(Column(kind, name, _concat(parts, dtype), attrs))
        return LongForm([(c.name, c.data) for c in columns], self.header, self.left_out)


def _concat(parts: List[Any], dtype: Any) -> Any:
    import numpy as np

    return np.concatenate(parts) if parts else np.zeros(0, dtype=dtype)


def _scalar_values(psf: Result) -> List[Column]:
    """The scalar values of a non-swept file (a struct's members as
    ``value.member``); array values have no place in a grid of scalars and
    are left out."""
    return [c for c in value_columns(psf) if isinstance(c.data, (int, float, complex, str))]


def _leaves(
    analyses: Dict[str, Analysis], entry: Analysis, seen: Tuple[str, ...]
) -> List[Tuple[Dict[str, Scalar], Analysis]]:
    """The leaves below `entry` in its sweep tree, each with the values of the
    tree's sweep variables that lead to it (outer to inner); `entry` alone
    when it has no children.

    A child's value of its parent's variable is the one its PROP block gives;
    where that is missing, the distinct values of the parent's data file's
    sweep, in file order, taken one per child in logFile order.
    """
    if entry.name in seen:
        raise ValueError(f"the sweep tree of {seen[0]!r} loops through {entry.name!r}")
    children = [a for a in analyses.values() if a.parent == entry.name]
    if not children:
        return [({}, entry)]
    from_file: Optional[Dict[str, List[Scalar]]] = None
    out = []
    for k, child in enumerate(children):
        own: Dict[str, Scalar] = {}
        for variable in entry.sweep_variables:
            if variable in child.properties:
                own[variable] = child.properties[variable]
                continue
            if from_file is None:
                from_file = _sweep_values(entry)
            values = from_file.get(variable)
            if values is None or len(values) != len(children):
                raise ValueError(
                    f"{tidy(entry.file)}: no value of {variable!r} for {child.name!r} "
                    f"(its PROP has none and the file's sweep does not give one per child)"
                )
            own[variable] = values[k]
        for values_below, leaf in _leaves(analyses, child, seen + (entry.name,)):
            out.append(({**own, **values_below}, leaf))
    return out


def _sweep_values(entry: Analysis) -> Dict[str, List[Scalar]]:
    """Sweep name -> its distinct values in file order, from `entry`'s data file."""
    psf = read_psf(entry.file)
    out: Dict[str, List[Scalar]] = {}
    for sweep in psf.sweeps:
        if sweep.data.dtype.names is None:
            out[sweep.name] = list(dict.fromkeys(sweep.data.tolist()))
    return out
