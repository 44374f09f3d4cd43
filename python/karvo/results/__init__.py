"""Result folders: ``karvo.open_results(path)``.

A simulation run leaves a folder of analyses and PSF ASCII index files that
say what is where; a parametric, corner or Monte Carlo study leaves many runs
tied together by a run tree; a periodic ac analysis or a netlist ``sweep``
leaves a sweep tree of files inside one run. `open_results` reads the index
files (never a data file) and gives a `Results`: the analyses, the runs with
their parameters and status, and families — one analysis over every run and
every leaf of its sweep tree, as one N-dimensional xarray Dataset or one long
pandas DataFrame.
"""

from __future__ import annotations

import difflib
import os
import warnings
from typing import TYPE_CHECKING, Any, Dict, List, Literal, Mapping, Optional, Union

from .._errors import PAD, UnequalSweeps, caller_level, need, warn_left_out
from ._cells import STATUSES, Grid, LongForm
from ._family import Family
from ._index import LOG_FILE, Analysis, Run, Scalar, find_index, read_log, read_runs, read_variables, variables_error
from ._raw import raw_files, raw_runs
from ._reading import check_workers
from ._status import ended

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]
    import xarray

__all__ = ["open_results", "Results", "Analysis", "Run", "Grid", "LongForm"]

PathLike = Union[str, "os.PathLike[str]"]
# Results.to_xarray(chunks=...): None (NumPy arrays, read now), "auto" or a
# dict of outer dimension -> runs per chunk (Dask arrays, read when computed).
Chunks = Union[None, Literal["auto"], Mapping[str, int]]


def open_results(
    path: PathLike, *, workers: Optional[int] = None, progress: Optional[bool] = None, partial: bool = False
) -> Results:
    """Open the result folder `path`: a psf folder, a run folder above it, or
    the top folder of a study of many runs.

    The index files are looked for in `path`, then in ``psf/``, ``*/psf/``
    and ``psf/*/psf/`` below it (the first that finds any folder decides, and
    must find only one); a ``runObjFile`` there gives the runs, else the
    ``logFile`` is the one run. Only index files are read now.

    `workers`: how many threads read the data files of a family (default:
    ``min(32, os.cpu_count() + 4)``; 1 reads them one after the other).
    `progress`: show a progress bar (tqdm or rich, when installed) for reads
    that take more than a second; None shows it when stderr is a terminal.
    `partial`: read data files without their trailer (runs still simulating,
    files cut short) up to their last whole point (see `karvo.open`); either
    way, ``Run.partial`` marks the runs that have such files once a family
    needs them. Lazy reads (``to_xarray(chunks=...)``) read whole files only.

    SPICE raw files (ngspice, Xyce, LTspice): `path` may be a raw file, or a
    folder of ``*.raw`` files without index files. They are read whole now;
    each plot is an analysis named after its Plotname (``tran``, ``ac``,
    ``dc``, ``op``, ...), the k-th plot of a name (of a loop, or of the
    folder's files in name order) belongs to run k (parameter ``run``), and
    each step of an LTspice ``.step`` run is a run whose parameters are the
    step's values from the ``.log`` beside the file.

    Raises FileNotFoundError when no index file is found, ValueError when
    several result folders are found or the index file is malformed (or a
    raw file given alone is malformed).
    """
    path = os.fspath(path)
    files = raw_files(path)
    if files is not None and os.path.isdir(path):
        try:
            find_index(path)
        except FileNotFoundError:
            pass
        else:
            files = None  # a result folder with raw files beside its index files
    if files is not None:
        return Results(path, workers=workers, progress=progress, runs=raw_runs(files))
    folder = find_index(path)
    return Results(folder, workers=workers, progress=progress, partial=partial)


class Results:
    """The runs and analyses of a result folder (see `open_results`).

    - ``path``: the folder of the index files found (the raw file or folder given, for raw files);
    - ``runs``: the `Run` list, in run tree order (one for a single run);
    - ``analyses``: name -> `Analysis`, in logFile order: those of the first
      run whose logFile could be read (each run has its own in ``Run.analyses``;
      for raw files, every analysis any run holds);
    - ``variables``: the design variables of the study or run, from the
      ``variables_file`` of the folder (empty without one; a UserWarning
      names it when it cannot be read); each run's own are ``Run.variables``;
    - ``finished``: whether the run or study of the folder ended (its
      ``.simDone``, the simulator's closing line in its log, or logStatus
      ending every analysis of its logFile);
    - ``parameters``: the names of the run parameters, outer to inner;
    - ``to_xarray(analysis)``, ``to_dataframe(analysis)``: the analysis's family;
      ``grid(analysis)``, ``long_form(analysis)``: the same as NumPy arrays.

    An analysis is named by its logFile entry name (``"ac-ac"``), or by the
    part of it before the first ``-`` (``"ac"``) when exactly one entry at
    the top of its sweep tree (without parent) has that short name.

    A Results holds no file open: the index files are read when it is made,
    the data files while a method reads them. It is a context manager all
    the same (``with karvo.open_results(path) as r:``), as `karvo.open` is,
    and it pickles (to worker processes, Dask) with what it has read of the
    index files; the data files are read again where it is unpickled.
    """

    runs: List[Run]
    analyses: Dict[str, Analysis]
    variables: Dict[str, Scalar]
    finished: bool

    def __init__(
        self,
        folder: str,
        *,
        workers: Optional[int] = None,
        progress: Optional[bool] = None,
        runs: Optional[List[Run]] = None,
        partial: bool = False,
    ) -> None:
        self.workers = check_workers(workers)
        self.progress = progress
        self.partial = partial
        self.path = folder
        self._raw = runs is not None
        if runs is not None:
            # Raw files: no index files, variables or logs; what was read is all there is.
            self.runs = runs
            # Every analysis of the files, each as its first run holds it.
            self.analyses = {}
            for run in runs:
                for name, entry in run.analyses.items():
                    self.analyses.setdefault(name, entry)
            self.variables = {}
            self.finished = True
            return
        self.runs = read_runs(folder)
        first = next((run for run in self.runs if run.analyses), None)
        self.analyses = dict(first.analyses) if first is not None else {}
        self.variables, unread = read_variables(folder)
        _warn_of_variables(unread, self.runs)
        self.finished = ended(folder, self._own_statuses())

    def _own_statuses(self) -> List[Optional[str]]:
        """What logStatus says of the analyses of the folder's own logFile
        (a study's top folder has none)."""
        own = self.runs[0] if len(self.runs) == 1 else None
        if own is not None and os.path.realpath(own.path) == os.path.realpath(self.path):
            return [a.status for a in own.analyses.values()]
        if not os.path.isfile(os.path.join(self.path, LOG_FILE)):
            return []
        try:
            return [a.status for a in read_log(os.path.join(self.path, LOG_FILE)).values()]
        except (OSError, ValueError):
            return []

    @property
    def parameters(self) -> List[str]:
        """The names of the run parameters, outer to inner (first seen in run tree order)."""
        names: Dict[str, None] = {}
        for run in self.runs:
            names.update(dict.fromkeys(run.parameters))
        return list(names)

    def analysis(self, name: str) -> Analysis:
        """The analysis `name` (an entry name, or a short name, see `Results`).

        Raises KeyError for a name that matches none or, short, several.
        """
        return self.analyses[self._resolve(name)]

    def _resolve(self, name: str) -> str:
        if name in self.analyses:
            return name
        tops = [a.name for a in self.analyses.values() if a.parent is None]
        matches = [full for full in tops if full.split("-")[0] == name]
        if len(matches) == 1:
            return matches[0]
        if matches:
            raise KeyError(f"{name!r} names several analyses: {', '.join(map(repr, matches))}")
        known = list(self.analyses) + [full.split("-")[0] for full in tops]
        close = difflib.get_close_matches(name, known, n=3) if isinstance(name, str) else []
        hint = f" (close matches: {', '.join(map(repr, close))})" if close else ""
        raise KeyError(f"no analysis {name!r} in {self.path}{hint}")

    def _runs_of(self, name: str) -> List[Run]:
        """The runs of the family of `name`: all, or, for raw files, those
        that hold it (and those whose file could not be read)."""
        if not self._raw:
            return self.runs
        return [run for run in self.runs if name in run.analyses or not run.analyses]

    def _family(self, analysis: str, strict: bool) -> Family:
        name = self._resolve(analysis)
        family = Family(name, self._runs_of(name), analysis)
        family.read(self.workers, self.progress, strict, partial=self.partial)
        return family

    def grid(self, analysis: str, *, pad: bool = False, strict: bool = False) -> Grid:
        """The family of `analysis` on its grid, as NumPy arrays: what
        `to_xarray` makes its Dataset of (`pad`, `strict` as there), without
        xarray. The signals a file leaves out for having no points are listed
        in ``left_out`` (`to_xarray` warns of them).

        Raises KeyError for an unknown analysis, ValueError when not one run
        of it could be read or, without `pad`, when the leaves' sweeps differ.
        """
        try:
            return self._family(analysis, strict).grid(pad)
        except UnequalSweeps as e:
            raise e.worded(_unequal_text(e, "grid", "long_form")) from None

    def long_form(self, analysis: str, *, strict: bool = False) -> LongForm:
        """The family of `analysis` in long form, as NumPy arrays: the columns
        `to_dataframe` makes its DataFrame of (`strict` as there), without
        pandas. The signals a file leaves out for having no points are listed
        in ``left_out`` (`to_dataframe` warns of them).

        Raises KeyError for an unknown analysis, ValueError when not one run
        of it could be read.
        """
        return self._family(analysis, strict).long()

    def to_xarray(
        self, analysis: str, *, pad: bool = False, strict: bool = False, chunks: Chunks = None
    ) -> xarray.Dataset:
        """The family of `analysis` as one xarray Dataset.

        Dimensions, outer to inner: the run parameters (``corner`` first when
        the runs' corners differ), the sweep tree's variables (``harmonic`` of
        a periodic ac analysis, the variables of nested netlist sweeps), then
        the leaf file's own sweep (``freq``, ``time``). Each coordinate holds
        the distinct values, sorted by value; a combination no run holds, or
        whose run could not be read, is NaN (NaN+NaNj for complex data). The
        coordinate ``status`` over the outer dimensions says why: ``read``,
        ``failed`` (logStatus marks the analysis failed; its file is not
        read), ``missing`` (no logFile, entry or file), ``unreadable`` (a
        damaged file, or one of another kind than the family's), ``absent``
        (no run there). Variables are named and split as `karvo.to_xarray` names them (a
        struct trace gives ``trace.field``), with their properties in
        ``attrs``; the Dataset's ``attrs`` is the header of the first file read.
        An analysis without sweeps (an operating point) gives one variable per
        scalar value over the run dimensions only.

        When the leaves' sweeps differ (transients that stop at different
        times), they share no coordinate: a ValueError says so, unless `pad`
        is true; then the innermost dimension is ``point`` and the sweep is a
        coordinate over every dimension, both padded with NaN. `strict`: for
        any run not read, whatever the cause, raise the first run's error
        (OSError as raised, others as ValueError) instead of filling its
        place with NaN.

        `chunks`: None reads every file now into NumPy arrays. ``"auto"`` or
        ``{}`` reads only the files' catalogs and sweeps now and gives Dask
        arrays of one chunk per leaf file, read when computed (in any process:
        the arrays pickle as file paths); a dict of outer dimension to runs
        per chunk (-1: all) puts several files in a chunk. A file whose
        samples cannot be read when computed raises then. (Raw files were
        read when opened: their arrays are in memory, in these chunks.) ``close()`` of the
        Dataset closes the files it holds open.

        Raises ImportError without xarray (or, with `chunks`, without dask),
        KeyError for an unknown analysis, ValueError when not one run of it
        could be read, TypeError or ValueError for `chunks` of another form
        or naming another dimension.
        """
        xr = need("to_xarray", "xarray", "xarray")
        if chunks is None:
            grid = _grid_of_to_xarray(self._family(analysis, strict), pad)
            dataset: xarray.Dataset = _dataset(xr, grid)
            return dataset
        need("to_xarray(chunks=...)", "dask", "dask")
        from . import _lazy

        name = self._resolve(analysis)
        family = Family(name, self._runs_of(name), analysis)
        sizes = _lazy.chunk_sizes(chunks, family.dims)
        if self._raw:
            # Raw files were read when opened: their grid, in the blocks asked for.
            family.read(self.workers, self.progress, strict)
            grid = _grid_of_to_xarray(family, pad)
            whole: xarray.Dataset = _dataset(xr, grid)
            return whole.chunk({d: sizes.get(d, 1) for d in family.dims})
        family.read(self.workers, self.progress, strict, _lazy.open_catalog)
        grid = _grid_of_to_xarray(family, pad, sizes)
        lazy: xarray.Dataset = _dataset(xr, grid)
        lazy.set_close(_lazy.closer(cell.psf for cell in family.cells))
        return lazy

    def to_dataframe(self, analysis: str, *, strict: bool = False) -> pandas.DataFrame:
        """The family of `analysis` in long form, one pandas DataFrame: a
        column per dimension of `to_xarray` (parameters, sweep tree
        variables), ``status`` (as in `to_xarray`), the sweep, then the
        variables; one row per point of every leaf of every run, in the order
        of the sorted coordinates. Sweeps of any lengths fit. A run that could
        not be read gives one row with its parameters, its status and NaN
        (with `strict`, its error is raised). An analysis
        without sweeps gives one row per run. ``attrs`` holds the header of
        the first file read.

        Raises ImportError without pandas, KeyError for an unknown analysis,
        ValueError when not one run of it could be read.
        """
        pd = need("to_dataframe", "pandas", "pandas")
        family = self._family(analysis, strict)
        try:
            long = family.long()
        finally:
            for left_out in family.left_out:
                warn_left_out("to_dataframe", left_out)
        frame: pandas.DataFrame = pd.DataFrame(dict(long.columns), copy=False)
        frame.attrs = long.attrs
        return frame

    def __enter__(self) -> Results:
        return self

    def __exit__(self, *exc: object) -> None:
        # Nothing is held open between calls; the with block only ends the
        # use of the object, as with karvo.open.
        return None

    def __repr__(self) -> str:
        names = list(self.analyses)
        more = len(names) - _REPR_ANALYSES
        shown = ", ".join(map(repr, names[:_REPR_ANALYSES])) + (f", ... {more} more" if more > 0 else "")
        parameters = f" parameters={self.parameters!r}" if self.parameters else ""
        return f"<Results {self.path!r} runs={len(self.runs)}{parameters} analyses=[{shown}]>"


# Analyses a repr names before it shortens the list.
_REPR_ANALYSES = 8


def _warn_of_variables(unread: Optional[str], runs: List[Run]) -> None:
    """One UserWarning for the folder's variables_file that cannot be read
    (`unread`: its message), one for the runs' own that cannot be."""
    level = caller_level()
    if unread is not None:
        warnings.warn(f"cannot read the design variables: {unread}; Results.variables is empty", UserWarning, level)
    failed = [(run.name, variables_error(run)) for run in runs]
    failed = [(name, e) for name, e in failed if e is not None and e != unread]
    if len(failed) == 1:
        name, e = failed[0]
        warnings.warn(f"cannot read the design variables of run {name!r}: {e}; its Run.variables is empty",
                      UserWarning, level)  # fmt: skip
    elif failed:
        name, e = failed[0]
        warnings.warn(f"cannot read the design variables of {len(failed)} runs ({e}; and {len(failed) - 1} more);"
                      " their Run.variables are empty", UserWarning, level)  # fmt: skip


def _grid_of_to_xarray(family: Family, pad: bool, chunks: Optional[Mapping[str, int]] = None) -> Grid:
    """`family.grid` as `Results.to_xarray` reports it: the signals the files
    left out are warned of, unequal sweeps are said in its terms."""
    try:
        return family.grid(pad, chunks)
    except UnequalSweeps as e:
        raise e.worded(_unequal_text(e, "to_xarray", "to_dataframe")) from None
    finally:
        for left_out in family.left_out:
            warn_left_out("to_xarray", left_out)


def _dataset(xr: Any, grid: Grid) -> xarray.Dataset:
    """The Dataset of `grid`: what ``xarray.Dataset(grid.variables,
    coords=grid.coords, attrs=grid.attrs)`` makes, without merging and
    aligning what a grid holds consistent by construction (the larger part
    of the constructor's time on a small family: 0.3 of 0.8 ms for nine
    runs). Each dimension coordinate gets the index xarray gives it by
    default (a `PandasIndex` of its values), made directly: xarray's own
    path there asks and copies more than a grid's plain 1-D arrays need
    (the nine runs' Dataset took 1.86 million instructions that way, 0.59
    million so). Where xarray lacks what this uses or refuses the
    arguments, its public constructor makes the Dataset."""
    direct = getattr(xr.Dataset, "_construct_direct", None)
    index_type = getattr(getattr(xr, "indexes", None), "PandasIndex", None)
    if direct is not None and index_type is not None and not set(grid.variables) & set(grid.coords):
        try:
            variables = {name: _variable(xr, *v) for name, v in grid.variables.items()}
            indexes: Dict[str, Any] = {}
            for name, v in grid.coords.items():
                variable = _variable(xr, *v)
                if variable.dims == (name,):
                    index = index_type(_pandas_index(variable.data, name), name, coord_dtype=variable.dtype)
                    variables.update(index.create_variables({name: variable}))
                    indexes[name] = index
                else:
                    variables[name] = variable
            dims: Dict[str, int] = {}
            for variable in variables.values():
                dims.update(zip(variable.dims, variable.shape))
            attrs = dict(grid.attrs) if grid.attrs else None
            # By keyword: a constructor whose parameters changed refuses them.
            made: xarray.Dataset = direct(variables, coord_names=set(grid.coords), dims=dims, attrs=attrs,
                                          indexes=indexes)  # fmt: skip
            return made
        except TypeError:
            pass
    public: xarray.Dataset = xr.Dataset(grid.variables, coords=grid.coords, attrs=grid.attrs)
    return public


def _variable(xr: Any, dims: Tuple[str, ...], data: Any, attrs: Dict[str, Any]) -> Any:
    """xarray's Variable of a grid's array. A NumPy array of numbers or text
    is kept as it is, which xarray's checks of what else data may be
    (pandas objects, masked arrays, dates among objects) would conclude at
    more cost than the Variable itself."""
    import numpy as np

    plain = type(data) is np.ndarray and data.dtype.kind not in "OMm"
    return xr.Variable(dims, data, attrs, fastpath=plain)


def _pandas_index(values: Any, name: str) -> Any:
    """The pandas Index xarray makes of a coordinate's `values`: numbers
    as they are, named here (else xarray copies the index to name it);
    anything else is left for xarray to convert (objects stay objects,
    dates may become cftime)."""
    import numpy as np
    import pandas as pd

    if type(values) is np.ndarray and values.dtype.kind in "iufc" and values.dtype != np.float16:
        return pd.Index(values, name=name)
    return values


def _unequal_text(e: UnequalSweeps, function: str, long_form: str) -> str:
    """The message of `e` for a caller of `function`, whose long form is `long_form`."""
    a = e.analysis
    hint = f"use {long_form}({a!r}) for the long form, or {function}({a!r}, pad=True) to {PAD}"
    return f"{function}({a!r}): {e.reason}; {hint}"
