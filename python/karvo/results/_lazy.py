"""Families as Dask arrays: ``Results.to_xarray(analysis, chunks=...)``.

The files' catalogs and first sweeps are read at once (`open_catalog`); each
swept variable is a Dask array over the grid in blocks of whole leaf files
(one file per block unless `chunks` groups more along an outer dimension).
A block reads its files' signal when computed, in whatever process computes
it: its task holds file references (`SignalRef`), never open files, and
every function here is a module-level name, so the graphs pickle.
"""

from __future__ import annotations

from functools import partial
from typing import TYPE_CHECKING, Any, Dict, Iterable, Mapping, Optional, Sequence, Tuple, Union

import dask.array as da
import numpy as np
from dask.base import tokenize
from xarray.backends import CachingFileManager

from ..files import PsfFile
from ..xarray_backend import SignalRef, open_catalog, read_signal

if TYPE_CHECKING:
    from .._columns import Result

__all__ = ["chunk_sizes", "blocks", "family_array", "in_blocks", "closer", "open_catalog"]

Blocks = Tuple[Tuple[int, ...], ...]


def chunk_sizes(chunks: Union[str, Mapping[str, int]], dims: Sequence[str]) -> Dict[str, int]:
    """Runs per block along each outer dimension named in `chunks` ("auto" or
    ``{}``: one run file per block). Raises TypeError for another kind of
    value, ValueError for a name that is no outer dimension or a size that is
    neither a positive int nor -1 (all)."""
    if isinstance(chunks, str) and chunks == "auto":
        return {}
    if not isinstance(chunks, Mapping):
        raise TypeError(f"chunks must be None, 'auto' or a dict of dimension to runs per chunk, not {chunks!r}")
    for d, size in chunks.items():
        if d not in dims:
            outer = ", ".join(map(repr, dims)) or "none"
            raise ValueError(
                f"chunks: {d!r} is no dimension of the runs or sweep tree (those are: {outer}); "
                "a leaf file's own sweep is read whole"
            )
        if isinstance(size, bool) or not isinstance(size, int) or not (size > 0 or size == -1):
            raise ValueError(f"chunks[{d!r}] must be a positive int or -1 (all), not {size!r}")
    return dict(chunks)


def blocks(dims: Sequence[str], shape: Sequence[int], sizes: Mapping[str, int]) -> Blocks:
    """Dask's chunks along the outer dimensions."""
    out = []
    for d, n in zip(dims, shape):
        size = sizes.get(d, 1)
        size = n if size == -1 else size
        out.append(tuple(min(size, n - k) for k in range(0, n, size)) or (0,))
    return tuple(out)


def read_block(cells: Any, points: int, kind: np.dtype, fill: Any) -> Any:
    """One block of a swept variable: each cell's signal (a SignalRef, or
    None where no file was read) fills its row, padded with `fill` (NaN) to
    `points`."""
    block = np.full(cells.shape + (points,), fill, dtype=kind)
    for index in np.ndindex(cells.shape):
        ref = cells[index]
        if ref is not None:
            data = read_signal(ref)
            block[index + (slice(0, len(data)),)] = data
    return block


def family_array(
    name: str,
    shape: Tuple[int, ...],
    dtype: np.dtype,
    fill: Any,
    refs: Dict[Tuple[int, ...], SignalRef],
    chunks: Blocks,
) -> Any:
    """The Dask array of one swept variable over the grid (outer dimensions,
    then the leaf's sweep), `fill` where a cell has no data. Each block is a task of its own that holds its
    cells' file references only, so a graph grows with the runs, not with
    their square, and no task waits for another."""
    cells = np.empty(shape[:-1], dtype=object)
    for index, ref in refs.items():
        cells[index] = ref
    token = tokenize(name, shape, dtype.str, chunks, sorted((k, r.__dask_tokenize__()) for k, r in refs.items()))
    files = f"karvo-files-{token}"
    grid = da.from_array(cells, chunks=chunks[:-1], name=files)  # type: ignore[no-untyped-call, unused-ignore]
    return grid.map_blocks(
        read_block, points=shape[-1], kind=dtype, fill=fill, new_axis=len(shape) - 1, chunks=chunks, dtype=dtype,
        meta=np.empty((0,) * len(shape), dtype=dtype), name=f"karvo-{name}-{token}",
    )  # fmt: skip


def in_blocks(name: str, array: Any, chunks: Blocks) -> Any:
    """A variable already in memory (an operating point's values), in the
    same blocks as the runs."""
    name = f"karvo-{name}-{tokenize(array, chunks)}"
    return da.from_array(array, chunks=chunks, name=name)  # type: ignore[no-untyped-call, unused-ignore]


def close_files(files: Iterable[CachingFileManager[PsfFile]]) -> None:
    """Close the files a family's Dataset holds open (its ``close()``)."""
    for manager in files:
        manager.close()


def closer(catalogs: Iterable[Optional[Result]]) -> partial[None]:
    """``close()`` of a family's Dataset: closes the files its arrays hold
    (`catalogs`: the cells' catalogs, None where a cell has none)."""
    files: Dict[int, CachingFileManager[PsfFile]] = {}
    for catalog in catalogs:
        for signal in [*catalog.sweeps, *catalog.traces] if catalog is not None else []:
            if isinstance(signal.data, SignalRef):
                files[id(signal.data.manager)] = signal.data.manager
    return partial(close_files, list(files.values()))
