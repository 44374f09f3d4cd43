"""The xarray backend: ``xarray.open_dataset(path, engine="karvo")``.

karvo registers it through the ``xarray.backends`` entry point, so xarray
finds the engine once karvo is installed; ``import karvo`` imports neither
this module nor xarray. The Dataset is laid out as `karvo.to_xarray` lays
out ``read_psf(path)``, and it is lazy: opening reads the file's catalog
(header, names, dtypes, point counts, properties, and the values of an
operating point, which the catalog holds) and the first sweep, which
xarray's index needs. Every other sweep and trace is read when a value of it
is needed, and then alone: the reader copies that signal's records or frames
only.

What stands behind a variable holds the file's path, never an open file, so
lazy Datasets and the Dask graphs made of them pickle; in another process (a
Dask worker) the file is opened again by its path. Open files are kept in
xarray's cache of open files (``xarray.set_options(file_cache_maxsize=...)``,
per process) and closed by ``Dataset.close()``.
"""

from __future__ import annotations

import os
import stat
from typing import Any, Iterable, Optional, Tuple, Union

from xarray import Dataset, Variable
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from ._columns import xarray_parts
from ._errors import PAD, UnequalSweeps, warn_left_out
from .catalog import Catalog, SignalRef, catalog_of, file_manager, read_signal
from .raw import begins_as_raw, looks_raw

__all__ = ["KarvoBackendEntrypoint"]

PathLike = Union[str, "os.PathLike[str]"]


class KarvoBackendArray(BackendArray):
    """The samples of one sweep, trace or struct member, read when xarray asks
    for values: the whole signal is read (a file gives a signal whole), then
    indexed."""

    def __init__(self, ref: SignalRef) -> None:
        self.ref = ref
        self.shape = ref.shape
        self.dtype = ref.dtype

    def __getitem__(self, key: indexing.ExplicitIndexer) -> Any:
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC, self._basic)

    def _basic(self, key: Tuple[Any, ...]) -> Any:
        return read_signal(self.ref)[key]


def _lazy(data: Any) -> Any:
    return indexing.LazilyIndexedArray(KarvoBackendArray(data)) if isinstance(data, SignalRef) else data


def _dataset(catalog: Catalog, drop: Iterable[str]) -> Dataset:
    data_vars, coords, left_out = xarray_parts(catalog)
    warn_left_out("open_dataset", left_out)
    dropped = set(drop)
    variables = {k: Variable(d, _lazy(x), a) for k, (d, x, a) in data_vars.items() if k not in dropped}
    coordinates = {k: Variable(d, _lazy(x), a) for k, (d, x, a) in coords.items() if k not in dropped}
    return Dataset(variables, coords=coordinates, attrs=dict(catalog.header))


def _raw_dataset(path: str, group: Optional[str], pad: bool, drop: Iterable[str]) -> Dataset:
    """The Dataset of the analysis `group` of a raw file: its plot's, or the
    family of its runs (a stepped plot's steps, a loop's plots)."""
    from .results import open_results

    results = open_results(path)
    names = list(results.analyses)
    listed = ", ".join(map(repr, names))
    if group is None:
        if len(names) != 1:
            raise ValueError(f"{path} holds the plots of {len(names)} analyses ({listed}): choose one with group=")
        group = names[0]
    elif group not in results.analyses:
        raise ValueError(f"{path} has no plot {group!r}: group= is one of {listed}")
    runs = [run for run in results.runs if group in run.analyses]
    if len(runs) == 1:
        plot = runs[0].analyses[group].read()
        data_vars, coords, left_out = xarray_parts(plot)
        warn_left_out("open_dataset", left_out)
        dataset = Dataset(data_vars, coords=coords, attrs=dict(plot.header))
    else:
        try:
            dataset = results.to_xarray(group, pad=pad)
        except UnequalSweeps as e:
            hint = f"open_results(path).to_dataframe({group!r}) gives the long form; pad=True would {PAD}"
            raise e.worded(f"open_dataset(group={group!r}): {e.reason}; {hint}") from None
    return dataset.drop_vars([name for name in drop if name in dataset.variables])


class KarvoBackendEntrypoint(BackendEntrypoint):
    """``xarray.open_dataset(path, engine="karvo")`` for psfbin, PSF ASCII
    and SPICE raw files: the Dataset of `karvo.to_xarray`, lazy for PSF (see
    the module's text)."""

    description = "Open psfbin, PSF ASCII and SPICE raw circuit-simulation result files (karvo)"
    url = ""  # no site of its own yet: docs/user_guide documents the engine
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "group", "pad")

    def open_dataset(  # type: ignore[override]
        self,
        filename_or_obj: PathLike,
        *,
        drop_variables: Union[str, Iterable[str], None] = None,
        group: Optional[str] = None,
        pad: bool = False,
    ) -> Dataset:
        """The Dataset of the file at `filename_or_obj` (a path): the header
        as ``attrs``, the first sweep as dimension coordinate (read now),
        every other sweep and trace lazy, the values of an operating point
        as 0-d variables. `drop_variables`: names to leave out.

        A SPICE raw file is read whole. `group` names the analysis of its
        plots to open, as `karvo.open_results` names them (``"tran"``,
        ``"ac"``, ...); it may be left out when all plots are of one. An
        analysis of one plot gives that plot's Dataset; one of several runs
        (the steps of an LTspice ``.step``, a loop's plots) their family, as
        ``open_results(path).to_xarray(group, pad=pad)`` gives it.

        Raises what `karvo.open` (or `karvo.read_raw`) raises (TypeError for
        what is not a path, OSError, ValueError), ValueError when a signal
        has points but another number than the first sweep, and, for a raw
        file, when `group` is needed or names no analysis (the message lists
        them) or the runs' sweeps differ without `pad`.
        """
        drop = [drop_variables] if isinstance(drop_variables, str) else list(drop_variables or ())
        path = os.fspath(filename_or_obj)
        if isinstance(path, str) and os.path.isfile(path) and looks_raw(path):
            return _raw_dataset(path, group, pad, drop)
        if group is not None:
            raise ValueError(f"group= names an analysis of a SPICE raw file, and {path!r} is not one")
        manager = file_manager(filename_or_obj)
        try:
            with manager.acquire_context() as f:
                catalog = catalog_of(f, manager)
            dataset = _dataset(catalog, drop)
        except BaseException:
            manager.close()
            raise
        dataset.set_close(manager.close)
        return dataset

    def guess_can_open(self, filename_or_obj: Any) -> bool:
        """Whether `filename_or_obj` is the path of a regular file that ends
        as psfbin files end (``Clarissa`` 12 bytes before the end), begins
        as PSF ASCII does (``HEADER`` and white space) or as a SPICE raw file
        does (``Title:`` or ``Plotname:``, in 8-bit text or UTF-16LE). Reads
        32 bytes at most; anything else (other objects, unreadable paths) is
        False."""
        try:
            path = os.fspath(filename_or_obj)
            if not isinstance(path, str) or not stat.S_ISREG(os.stat(path).st_mode):
                return False
            with open(path, "rb") as f:
                head = f.read(24)
                size = f.seek(0, os.SEEK_END)
                tail = b""
                if size >= 12:
                    f.seek(size - 12)
                    tail = f.read(8)
        except (TypeError, ValueError, OSError):
            return False
        text = head[:6] == b"HEADER" and (len(head) == 6 or head[6:7].isspace())
        return tail == b"Clarissa" or text or begins_as_raw(head)
