"""Families: one analysis across the runs of a study and the leaves of its
sweep tree, combined into one grid (`Family.grid`, behind ``to_xarray``) or
one long table (`Family.long`, behind ``to_dataframe``).

A family is a list of cells, one per (run, leaf): the cell's coordinates are
the run's parameters (outer, in run tree order), then the values of the sweep
tree's variables down to the leaf; its data are the leaf file's. Every
dimension's coordinate holds the distinct values of its cells, sorted.
Cells that could not be read are NaN in the grid and one row of NaN in the
long table; a ``status`` coordinate (a column of the long table) says of
each cell whether it was read and, if not, why (`STATUSES`).
"""

from __future__ import annotations

import math
import os
from collections import Counter
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterator, List, Mapping, Optional, Sequence, Set, Tuple

from .._columns import Column, Swept, swept_columns, unique_names
from .._errors import LeftOut, UnequalSweeps, Unread
from .._karvo import read_psf
from ..files import lacks_trailer, read_partial
from ._cells import (
    ABSENT, FAILED, MISSING, READ, STATUS, STATUSES, UNREADABLE, Cell, Grid, LongForm, concat, missing_dtype, on_grid,
    order, pad_value, scalar_values,
)
from ._index import Run, Scalar, log_exception
from ._reading import read_all
from ._sweeptree import leaves

if TYPE_CHECKING:
    from .._columns import Result

# The most a grid's variables of one dtype share in one allocation: a
# variable kept alone keeps all of it.
SHARED_BLOCK_BYTES = 64 << 20

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
                status = MISSING if run.status == "missing" else UNREADABLE
                self.cells.append(Cell(run, base, error=run.error, exception=log_exception(run), status=status))
                continue
            entry = run.analyses.get(name)
            if entry is None:
                log = os.path.join(run.path, "logFile")
                self.cells.append(Cell(run, base, error=f"{log}: no analysis {name!r}", status=MISSING))
                continue
            try:
                found = leaves(run.analyses, entry)
            except (OSError, ValueError) as e:
                self.cells.append(Cell(run, base, error=str(e), exception=e, status=UNREADABLE))
                continue
            for values, leaf in found:
                for d in values:
                    if d not in dims:
                        dims.append(d)
                cell = Cell(run, {**base, **values}, leaf=leaf)
                if leaf.status == "failed":
                    cell.status = FAILED
                    cell.error = f"{leaf.file}: not read, since logStatus marks analysis {leaf.name!r} failed"
                self.cells.append(cell)
        self.dims = dims
        self.run_dims = outer
        self.header: Dict[str, Any] = {}
        self.left_out: List[LeftOut] = []
        self.strict = False
        self.status_name = STATUS

    def read(
        self,
        workers: int,
        progress: Optional[bool],
        strict: bool,
        read: Callable[[str], Result] = read_psf,
        partial: bool = False,
    ) -> None:
        """Read every cell's data file (`read_psf`, or another `read`: the
        catalogs of a lazy family); a cell that cannot be read keeps the
        error. With `strict`, `grid` and `long` raise the first error in run
        order (and no cell after one already known to have failed is read).
        A run with a file without its trailer is marked ``partial``; with
        `partial`, such files are read up to their last whole point."""
        self.strict = strict
        cells = self.cells
        if strict:
            known = next((k for k, c in enumerate(cells) if c.error is not None), len(cells))
            cells = cells[:known]
        # A raw file's plots were read when it was opened.
        unread = [c for c in cells if c.error is None and c.leaf is not None and c.leaf.data is None]
        files = list(dict.fromkeys(c.leaf.file for c in unread if c.leaf is not None))
        # A partial read reads whole files too.
        whole = read is read_psf
        reader: Callable[[str], Any] = read_partial if partial and whole else read
        outcomes = dict(zip(files, read_all(files, workers, progress, f"reading {self.name}", reader, whole)))
        for cell in cells:
            if cell.error is not None or cell.leaf is None:
                continue
            if cell.leaf.data is not None:
                cell.psf = cell.leaf.data
                cell.status = READ
                continue
            outcome = outcomes[cell.leaf.file]
            if isinstance(outcome, Exception):
                cell.run.partial |= isinstance(outcome, ValueError) and lacks_trailer(cell.leaf.file)
                self._fail(cell, outcome, MISSING if isinstance(outcome, FileNotFoundError) else UNREADABLE)
                continue
            if reader is read_partial:
                outcome, complete = outcome
                cell.run.partial |= not complete
            cell.psf = outcome
            cell.status = READ

    def _fail(self, cell: Cell, e: Exception, status: str = UNREADABLE) -> None:
        path = cell.leaf.file if cell.leaf is not None else cell.run.path
        text = str(e)
        cell.error = text if path in text else f"{path}: {text}"
        cell.exception = e
        self._drop(cell, status)

    def _drop(self, cell: Cell, status: str, error: Optional[str] = None) -> None:
        """`cell` is not in the family: its data are dropped, its status and error said."""
        cell.psf = None
        cell.status = status
        if error is not None:
            cell.error = error

    def _settle(self) -> List[Unread]:
        """Once every cell is read, cut and placed: each run's first error
        becomes its ``error``; with `strict`, the first error in run order is
        raised (an OSError as the reader raised it, else a ValueError naming
        the run). Returns the cells not read, as `Unread`, one per message."""
        for cell in self.cells:
            if cell.error is not None and cell.run.error is None:
                cell.run.error = cell.error
        if self.strict:
            for cell in self.cells:
                if cell.error is None:
                    continue
                e = cell.exception
                if isinstance(e, OSError):
                    raise e
                raise ValueError(f"run {cell.run.name!r}: {cell.error}") from e
        unread: Dict[str, Unread] = {}
        for cell in self.cells:
            if cell.error is not None and cell.error not in unread:
                path = cell.leaf.file if cell.leaf is not None else cell.run.path
                unread[cell.error] = Unread(cell.run.name, path, cell.status or UNREADABLE, cell.error)
        return list(unread.values())

    # ------------------------------------------------------------ the cells' data

    def _shapes(self) -> Tuple[Optional[bool], Optional[str], Dict[int, Swept]]:
        """What the family's files hold: sweeps or values, and the name of
        the sweep axis, each as most of the read cells hold it (the first in
        run order among equals). A cell that holds another kind is dropped
        as unreadable: a logFile entry may name a file of another analysis.

        Returns (swept, axis name, id(cell) -> its swept columns)."""
        cut: Dict[int, Swept] = {}
        kinds: Dict[int, Tuple[bool, Optional[str]]] = {}
        for cell in self.cells:
            psf = cell.psf
            if psf is None:
                continue
            if not (psf.sweeps or psf.traces):
                kinds[id(cell)] = (False, None)
                continue
            try:
                cut[id(cell)] = swept_columns(psf, copy_attrs=False)  # (what is kept is copied in _cut)
            except ValueError as e:
                self._fail(cell, e)
                continue
            axis = cut[id(cell)].axis
            kinds[id(cell)] = (True, None if axis is None else axis.name)
        if not kinds:
            return None, None, cut
        counts = Counter(kinds.values())
        swept, axis_name = max(counts, key=lambda kind: counts[kind])  # max keeps the first of equals
        for cell in self.cells:
            kind = kinds.get(id(cell))
            if kind is None or cell.psf is None:
                continue
            if kind[0] == swept and (kind[1] == axis_name or kind[1] is None or axis_name is None):
                continue  # (a file without a flat sweep is placed along 'point')
            path = cell.leaf.file if cell.leaf else cell.run.path
            if kind[0] != swept:
                held, wanted = ("sweeps", "values") if kind[0] else ("values", "sweeps")
                why = f"holds {held}, while the family's files hold {wanted}"
            else:
                why = f"its sweep is {kind[1]!r}, while the family's files sweep {axis_name!r}"
            self._drop(cell, UNREADABLE, f"{path}: {why}")
        return swept, axis_name, cut

    def _cut(self) -> Tuple[Optional[bool], Optional[str], Dict[str, Any], Dict[str, Any]]:
        """Cut each read cell into its axis and named columns; learn the
        variables (name -> dtype, first attrs) in order of first appearance,
        what each file left out (`left_out`) and the status coordinate's name.

        Returns (swept, axis name, axis attrs, variables); swept is None
        when no cell was read."""
        import numpy as np

        swept, _, cut = self._shapes()
        axis_name: Optional[str] = None
        axis_attrs: Dict[str, Any] = {}
        variables: Dict[str, Any] = {}
        self.left_out = []
        prefix = unique_names([*(Column("parameter", d, None) for d in self.dims), Column("cell", STATUS, None)])
        self.status_name = prefix[-1].name
        taken = {c.name for c in prefix}
        first = True
        for cell in self.cells:
            psf = cell.psf
            if psf is None:
                continue
            if first:
                self.header, first = dict(psf.header), False
            if swept:
                axis, columns, left_out = cut[id(cell)]
                if left_out is not None:
                    self.left_out.append(left_out)
                head = axis or Column("dimension", "point", None)  # (point's data is None)
                names = {c.name: c for c in columns}
                unique = len(names) == len(columns) and head.name not in names
                if unique and head.name not in taken and taken.isdisjoint(names):
                    cell.axis, cell.columns = head, names  # every name its own already
                else:
                    named = unique_names([*prefix, head, *columns])
                    cell.axis = named[len(prefix)]
                    cell.columns = {c.name: c for c in named[len(prefix) + 1 :]}
                if axis_name is None:
                    axis_name = cell.axis.name
                    axis_attrs = dict(cell.axis.attrs)
            else:
                named = unique_names([*prefix, *scalar_values(psf)])
                cell.columns = {c.name: c for c in named[len(prefix) :]}
            for c in cell.columns.values():
                dtype = getattr(c.data, "dtype", None)  # a SignalRef's, without reading it
                held = variables.get(c.name)
                if held is not None and dtype is not None and held[1] == dtype:
                    continue  # (a Python scalar has no dtype; None would compare equal to float64)
                if not isinstance(dtype, np.dtype):
                    dtype = np.asarray(c.data).dtype
                if dtype.kind == "U":
                    dtype = np.dtype(object)
                if held is None:
                    variables[c.name] = [c.kind, dtype, dict(c.attrs)]
                elif held[1] != dtype:
                    mixed = np.dtype(object) in (held[1], dtype)
                    held[1] = np.dtype(object) if mixed else np.result_type(held[1], dtype)
        return swept, axis_name, axis_attrs, variables

    def _no_data(self) -> ValueError:
        first = next((c.error for c in self.cells if c.error), "no run has it")
        return ValueError(f"no data of {self.name!r} could be read: {first}")

    def _coordinates(self) -> Dict[str, List[Scalar]]:
        values: Dict[str, Set[Any]] = {d: set() for d in self.dims}
        for cell in self.cells:
            for d, v in cell.values.items():
                values[d].add(v)
        return {d: sorted(vs, key=order) for d, vs in values.items()}

    def _place(self, coordinates: Dict[str, List[Scalar]]) -> None:
        """Each read cell's position in the grid; two in one place are an error."""
        position = {d: {order(v): k for k, v in enumerate(vs)} for d, vs in coordinates.items()}
        taken: Dict[Tuple[int, ...], Cell] = {}
        for cell in self.cells:
            if cell.psf is None:
                continue
            lacking = [d for d in self.dims if d not in cell.values]
            if lacking:
                self._drop(cell, UNREADABLE, f"run {cell.run.name!r} has no value of {', '.join(map(repr, lacking))}")
                continue
            index = tuple(position[d][order(cell.values[d])] for d in self.dims)
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
        unread = self._settle()
        if swept is None:
            raise self._no_data()
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
        coords[self.status_name] = (outer, self._status_grid(coordinates, shape), {})
        out: Dict[str, Tuple[Tuple[str, ...], Any, Dict[str, Any]]] = {}
        if not swept:
            for name, (kind, dtype, attrs) in variables.items():
                dtype = missing_dtype(dtype)
                array = np.full(shape, pad_value(dtype), dtype=dtype)
                for index, cell in placed:
                    if name in cell.columns:
                        array[index] = cell.columns[name].data
                out[name] = (outer, array if chunks is None else _lazy.in_blocks(name, array, blocks), attrs)
            if chunks is None:
                self._let_go()
            return Grid(coords, out, self.header, self.left_out, unread)

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
                coords[axis_name] = (inner, shared.copy(), axis_attrs)  # (not a part of one file's memory)
            else:
                array = np.full(shape + (n,), math.nan)
                for index, cell in placed:
                    if cell.axis is not None and cell.axis.data is not None:
                        array[index + (slice(0, len(cell.axis.data)),)] = cell.axis.data
                coords[axis_name] = (dims, array, axis_attrs)
        in_order = sorted(placed, key=lambda p: p[0])  # (indexes are unique: no cells are compared)
        # The variables of one dtype are parts of one allocation (up to
        # SHARED_BLOCK_BYTES), each its own contiguous array: fewer fresh pages
        # are faulted for one block than for many arrays of 100 KB given back
        # between calls (15 harmonics, at load 7: 780 to 840 page faults a call
        # against 1100 to 1490, system time 2.4 to 2.9 ms against 3.5 to 4.6).
        memory: Dict[Any, Iterator[Any]] = {}
        if chunks is None:
            kinds = [missing_dtype(dtype) for _, dtype, _ in variables.values()]
            for of in set(kinds):
                block = (kinds.count(of),) + shape + (n,)
                if math.prod(block) * of.itemsize <= SHARED_BLOCK_BYTES:
                    memory[of] = iter(np.empty(block, dtype=of))
        for name, (kind, dtype, attrs) in variables.items():
            dtype = missing_dtype(dtype)
            if chunks is not None:
                refs = {index: cell.columns[name].data for index, cell in placed if name in cell.columns}
                array = _lazy.family_array(name, shape + (n,), dtype, pad_value(dtype), refs, blocks + ((n,),))
            else:
                parts = [(index, cell.columns[name].data) for index, cell in in_order if name in cell.columns]
                own = next(memory[dtype]) if dtype in memory else np.empty(shape + (n,), dtype=dtype)
                array = on_grid(own, parts)
            (coords if kind == "sweep" else out)[name] = (dims, array, attrs)
        if chunks is None:
            self._let_go()
        return Grid(coords, out, self.header, self.left_out, unread)

    def _let_go(self) -> None:
        """Once the family's arrays are made: the cells' columns go, then
        their files, so that each file's arrays go with the file at once.
        The reader then hands a file's memory back whole, where arrays going
        one by one after their file would give it back page by page (for
        the 15 harmonics of a periodic ac analysis, 1 ms, and 600 pages
        faulted again at the next read)."""
        for cell in self.cells:
            cell.columns, cell.axis = {}, None
        for cell in self.cells:
            cell.psf = None

    def _status_grid(self, coordinates: Dict[str, List[Scalar]], shape: Tuple[int, ...]) -> Any:
        """Each point's status: ``read`` where a cell was placed, the status of
        a cell not read at its point (or, where it lacks a coordinate, along
        that dimension), else ``absent``; fixed-width text, as xarray makes a
        coordinate of a list of strings."""
        import numpy as np

        code = {s: k for k, s in enumerate(STATUSES)}
        absent = code[ABSENT]
        status = np.full(shape, absent, dtype=np.int8)
        position = {d: {order(v): k for k, v in enumerate(vs)} for d, vs in coordinates.items()}
        for cell in self.cells:
            if cell.index is not None:
                status[cell.index] = code[READ]
        for cell in self.cells:
            if cell.index is None and cell.status not in (None, READ):
                at = tuple(position[d][order(cell.values[d])] if d in cell.values else slice(None) for d in self.dims)
                view = status[at]
                if isinstance(view, np.ndarray):
                    view[view == absent] = code[cell.status]
                elif view == absent:
                    status[at] = code[cell.status]
        held = np.unique(status).tolist()
        width = max(len(STATUSES[k]) for k in held)
        return np.asarray(np.array(STATUSES, dtype=f"<U{width}")[status])  # (0-d without dimensions)

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
            elif first.shape != data.shape:
                return None
            elif not (first == data).all() and not np.array_equal(first, data, equal_nan=True):
                return None  # (NaN, unequal to itself, is looked at only where a value differs)
        return np.arange(0) if first is None else first

    # ------------------------------------------------------------ the long table

    def long(self) -> LongForm:
        """The long form: columns of the dimensions, the sweep, the variables;
        one row per point of each cell, one row of NaN for a cell not read."""
        import numpy as np

        swept, axis_name, axis_attrs, variables = self._cut()
        unread = self._settle()
        if swept is None:
            raise self._no_data()
        coordinates = self._coordinates()
        rank = {d: {order(v): k for k, v in enumerate(vs)} for d, vs in coordinates.items()}

        def key(cell: Cell) -> Tuple[int, ...]:
            return tuple(rank[d].get(order(cell.values[d]), 0) if d in cell.values else -1 for d in self.dims)

        cells = sorted(self.cells, key=key)
        sizes = [cell.points() if swept and cell.psf is not None else 1 for cell in cells]
        columns: List[Column] = []
        for d in self.dims:
            values = coordinates[d]
            dtype = np.dtype(object) if any(isinstance(v, str) for v in values) else np.asarray(values).dtype
            if any(d not in c.values for c in cells):
                dtype = missing_dtype(dtype)
            parts = [np.full(k, c.values.get(d, pad_value(dtype)), dtype=dtype) for c, k in zip(cells, sizes)]
            columns.append(Column("parameter", d, concat(parts, dtype)))
        statuses = [np.full(k, cell.status or UNREADABLE, dtype=object) for cell, k in zip(cells, sizes)]
        columns.append(Column("cell", self.status_name, concat(statuses, np.dtype(object))))
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
            columns.append(Column("sweep", axis_name, concat(parts, np.dtype(np.float64)), axis_attrs))
        for name, (kind, dtype, attrs) in variables.items():
            dtype = missing_dtype(dtype)
            parts = []
            for cell, k in zip(cells, sizes):
                column = cell.columns.get(name) if cell.psf is not None else None
                if column is None:
                    parts.append(np.full(k, pad_value(dtype), dtype=dtype))
                else:
                    parts.append(np.asarray(column.data if swept else [column.data], dtype=dtype))
            columns.append(Column(kind, name, concat(parts, dtype), attrs))
        self._let_go()
        return LongForm([(c.name, c.data) for c in columns], self.header, self.left_out, unread)

