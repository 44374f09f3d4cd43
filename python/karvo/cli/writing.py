"""The output formats of ``karvo export``: CSV, npz and netCDF, and the
output file that replaces its target only once complete."""

from __future__ import annotations

import contextlib
import csv
import importlib.util
import itertools
import os
import stat
import tempfile
import warnings
import zipfile
from typing import IO, Any, Dict, Iterator, List, Optional, Tuple, Union

from .._columns import Column, flat_columns, flat_values, signals, unique_names
from .._karvo import Psf
from ..results import Grid, LongForm
from .reading import layout

__all__ = ["write", "replacing", "netcdf_engine"]

# CSV numbers are formatted this many cells at a time, so that the text of a
# large file is never held whole.
CSV_BLOCK_CELLS = 1 << 16


def _write_csv(psf: Psf, out: IO[str]) -> None:
    """Write the CSV text block by block: the first rows go out at once and
    memory stays near the size of the arrays, however long the file."""
    if layout(psf) != "swept":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["name", "value"])
        for value in psf.values:
            writer.writerows((name, _cell_text(x)) for name, x in flat_values(value.name, value.data))
        return
    _write_columns([c for s in signals(psf) for c in flat_columns(s.name, s.data)], out)


def _cell_text(x: Any) -> str:
    """A cell of a column of objects (names, strings, missing values)."""
    return "" if x is None else x if isinstance(x, str) else repr(x)


def _write_columns(columns: List[Tuple[str, Any]], out: IO[str]) -> None:
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow([name for name, _ in columns])
    rows = max((len(column) for _, column in columns), default=0)
    step = max(1, CSV_BLOCK_CELLS // max(1, len(columns)))
    for start in range(0, rows, step):
        # repr of a Python float is the shortest text that reads back to the same bits.
        texts = [
            map(_cell_text if column.dtype.kind in "OU" else repr, column[start : start + step].tolist())
            for _, column in columns
        ]
        writer.writerows(itertools.zip_longest(*texts, fillvalue=""))


def _value_array(x: Any) -> Any:
    import numpy as np

    if not isinstance(x, dict):
        return np.asarray(x, dtype=_text_dtype(x) if isinstance(x, tuple) else None)
    fields: List[Any] = []
    for member, v in x.items():
        if isinstance(v, str):
            fields.append((member, _text_dtype(v)))
        elif isinstance(v, tuple):
            fields.append((member, _text_dtype(v), (len(v),)))
        else:
            a = np.asarray(v)
            fields.append((member, a.dtype.str, a.shape) if a.ndim else (member, a.dtype.str))
    return np.array(tuple(x.values()), dtype=fields)


def _text_dtype(x: Union[str, Tuple[str, ...]]) -> str:
    """A NumPy str dtype wide enough for a string or a tuple of strings."""
    longest = max((len(s) for s in x), default=0) if isinstance(x, tuple) else len(x)
    return f"<U{max(longest, 1)}"


def _write_npz(psf: Psf, out: IO[bytes]) -> None:
    """Write the arrays as an npz archive. Names are made unique as for to_xarray."""
    if layout(psf) == "swept":
        arrays = [Column("sweep", s.name, s.data) for s in psf.sweeps]
        arrays += [Column("trace", t.name, t.data) for t in psf.traces]
    else:
        arrays = [Column("value", v.name, _value_array(v.data)) for v in psf.values]
    _write_arrays(unique_names(arrays), out)


def _new_file_mode(path: str) -> int:
    """The mode for the file written at `path`: that of the file it replaces,
    else what open() would give (not the temporary file's 0600)."""
    try:
        st = os.stat(path)
        if stat.S_ISREG(st.st_mode):
            return stat.S_IMODE(st.st_mode)
    except OSError:
        pass
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


@contextlib.contextmanager
def replacing(path: str, binary: bool) -> Iterator[IO[Any]]:
    """A file that becomes `path` only when completely written.

    It is written under a temporary name in the same folder and renamed over
    `path` at the end, so that an export that fails (full disk, interrupted)
    leaves no partial file and never empties the file that was there; the
    temporary file is removed on any failure. A symbolic link stays: the file
    it points to is replaced. A device, pipe or folder is opened as it is
    (renaming over /dev/null would replace the device with a file).
    """
    if os.path.exists(path) and not os.path.isfile(path):
        with open(path, "wb") if binary else open(path, "w", encoding="utf-8", newline="") as out:
            yield out
        return
    path = os.path.realpath(path)
    mode = _new_file_mode(path)
    f = tempfile.NamedTemporaryFile(
        "wb" if binary else "w",
        encoding=None if binary else "utf-8",
        newline=None if binary else "",
        dir=os.path.dirname(path),
        prefix=".karvo-",
        delete=False,
    )
    try:
        with f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.chmod(f.name, mode)
        os.replace(f.name, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(f.name)
        raise


def _plain(array: Any) -> Any:
    """An array npz can hold without pickling: objects (names, strings) become str."""
    import numpy as np

    if array.dtype.kind != "O":
        return array
    return np.array([_cell_text(x) for x in array.ravel().tolist()], dtype=str).reshape(array.shape)


def _write_arrays(arrays: List[Column], out: IO[bytes]) -> None:
    """Write named arrays as an npz archive straight into `out` (which need
    not be seekable), in the given order."""
    import numpy as np

    # What numpy.savez writes, without its keyword arguments that a signal
    # name such as "file" would collide with.
    with zipfile.ZipFile(out, "w", zipfile.ZIP_STORED) as archive:
        for array in arrays:
            with archive.open(array.name + ".npy", "w", force_zip64=True) as member, warnings.catch_warnings():
                # A struct of thousands of members needs the 2.0 format, which NumPy warns of.
                warnings.filterwarnings("ignore", "Stored array in format", UserWarning)
                np.lib.format.write_array(member, np.asanyarray(array.data), allow_pickle=False)


def _grid_arrays(grid: Grid) -> List[Column]:
    """The coordinates, outer to inner, then the variables (names are unique)."""
    return [Column("sweep", name, _plain(data)) for name, (_, data, _) in {**grid.coords, **grid.variables}.items()]


def _grid_dataset(grid: Grid, engine: str) -> Any:
    """The grid as a Dataset that netCDF holds: complex split in two, and for
    netCDF 3 (scipy) integer attributes beyond 32 bits as floats."""
    import xarray as xr

    def attrs(a: Dict[str, Any]) -> Dict[str, Any]:
        if engine != "scipy":
            return a
        return {k: float(v) if isinstance(v, int) and not -(2**31) <= v < 2**31 else v for k, v in a.items()}

    variables: Dict[str, Any] = {}
    for name, (dims, data, a) in grid.variables.items():
        variables.update((flat, (dims, part, attrs(a))) for flat, part in flat_columns(name, data))
    coords = {name: (dims, data, attrs(a)) for name, (dims, data, a) in grid.coords.items()}
    return xr.Dataset(variables, coords=coords, attrs=attrs(grid.attrs))


def netcdf_engine() -> Optional[str]:
    """xarray's engine for the first of netCDF4 and scipy that is installed."""
    modules = {"netCDF4": "netcdf4", "scipy": "scipy"}
    return next((engine for m, engine in modules.items() if importlib.util.find_spec(m) is not None), None)


def write(data: Union[Psf, LongForm, Grid], to: str, out: IO[Any]) -> None:
    """Write `data` (a file, or a family: its long form for csv, its grid
    for npz and nc) as `to`; nc is written by the netCDF library at out.name."""
    if isinstance(data, LongForm):
        _write_columns([flat for name, column in data.columns for flat in flat_columns(name, column)], out)
    elif isinstance(data, Grid):
        if to == "nc":
            engine = netcdf_engine()
            assert engine is not None
            # Written by the netCDF library at the temporary file's path.
            _grid_dataset(data, engine).to_netcdf(out.name, engine=engine)
        else:
            _write_arrays(_grid_arrays(data), out)
    elif to == "npz":
        _write_npz(data, out)
    else:
        _write_csv(data, out)
