"""The ``karvo`` command (also ``python -m karvo``): look into psfbin and PSF
ASCII files and result folders, and export their data.

    karvo info FILE|DIR... [--json] [--stats]
    karvo export FILE... [--to csv|npz] [-o OUT]
    karvo export DIR... --analysis NAME [--to csv|npz|nc] [-o OUT] [--pad]

`main` is the entry point; it returns the exit status instead of exiting.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import importlib.util
import itertools
import json
import math
import os
import stat
import sys
import tempfile
import warnings
import zipfile
from typing import IO, Any, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple, Union

from ._karvo import Psf, Sweep, Trace, __version__, read_psf
from .files import PsfFile, SignalInfo
from .files import open as open_file
from .adapters import _Column, _signals, _unique_names
from .results import Results, open_results
from .results._family import Grid

__all__ = ["main", "layout", "describe", "describe_results"]

LAYOUT_HELP = """\
The layout is judged from what the file holds, since the binary layout word
is not exposed: "swept" when it has sweeps or traces (point records and
windowed frames alike), "non-swept" when it has values (an operating point),
"empty" when it has neither (header only)."""

INFO_HELP = f"""\
For each FILE print its layout, its header properties, and a table of its
sweeps and traces (name, dtype or struct fields, units, number of points)
or of its values (name, type, units, value; struct members on rows of their
own named VALUE.MEMBER). units is the signal's "units" property, blank where
it has none. Only the file's catalog is read, not its samples, so this is
fast on files of any size; --stats reads every signal once and adds the min
and max of its real part (NaN points left out).

{LAYOUT_HELP}

With --json each file gives one line holding one JSON object (JSON Lines):
  path, layout, header {{name: value}},
  sweeps and traces: [{{name, dtype, units, points, fields}}]; a struct
    signal has dtype "struct" and fields: [{{name, dtype}}]; a flat one has
    fields null; with --stats each signal (and field) also has min and max
    (a struct signal's are null),
  values: [{{name, type, units, value}}]; type is int, float, complex, str,
    array or struct; a complex is {{"re": .., "im": ..}}, an array a list of
    its elements, a struct value an object of member name to scalar or array.
min and max are null when a signal has no point that is not NaN. JSON has no
NaN or infinity: such floats are written as the strings "NaN", "Infinity"
and "-Infinity" (which float() reads back).

A DIR is a result folder (see karvo.open_results: a psf folder, a run
folder above it, or the top folder of a study of many runs). For it, info
prints where its index files are, whether the run finished (.simDone), the
design variables, a table of its analyses (name, kind, data file, sweep
variables, parent in a sweep tree, status from logStatus, description) and
a table of its runs (name, one column per parameter, corner, status, folder,
error). A study's analyses are those of its first run. --stats applies to
files only. With --json a DIR gives one object with the keys path, index,
finished, variables, parameters, analyses [{{name, kind, file, description,
sweep_variables, parent, properties, status}}] and runs [{{name, parameters,
corner, path, status, error}}].

A file or folder that cannot be read is reported on stderr as "PATH: message"
and the others are still shown; the exit status is then 1."""

EXPORT_HELP = """\
Write the data of FILE to stdout, or to the file OUT with -o. With several
FILEs, -o names an existing directory and each FILE is written to
OUT/NAME.csv or OUT/NAME.npz, NAME being the FILE's own name (a.psf gives
a.psf.csv); when two FILEs have the same name, nothing is written and the
exit status is 2.

csv (the default unless a single FILE goes to an OUT ending in .npz): swept
files give one column per sweep and trace in file order; a complex signal
gives the two columns NAME.re and NAME.im, a struct trace one column
NAME.FIELD per field. Every number is written with Python's repr, so reading
it back with float() gives the same binary64 (except that every NaN is
written as nan, its sign and payload not kept). A signal with fewer points
than the longest one leaves its last cells empty. Non-swept and empty files
give "name,value" rows, one per value; struct members are rows NAME.MEMBER,
complex values two rows NAME.re and NAME.im, and the elements of an array
rows NAME[0], NAME[1], ... (an empty array gives no row).

npz (NumPy's .npz archive): one array per sweep and trace, keyed by its
name; a struct trace is its structured array. Non-swept files give one 0-d
array per value (an array value a 1-d array; a struct value is a 0-d
structured array with one field per member, an array member a field of its
length). Keys are made unique as by karvo.to_xarray: a trace that repeats a
sweep's name with the same data is left out (the sweep's array holds it);
any other repeated name gets " (trace)" appended, or " (trace 2)",
" (trace 3)", ... when that is taken too (" (sweep)", " (value)" for sweeps
and values).

Each output file is written under a temporary name in its folder and renamed
when complete: an export that fails leaves no partial file, and the file it
was to replace stays as it was (through a symbolic link, the file it names is
replaced). A device or pipe, such as /dev/null, is written to directly.

A DIR is a result folder; --analysis NAME names the analysis whose family
(the analysis over every run and every leaf of its sweep tree, as
karvo.Results gives it) is written; NAME is a logFile entry name ("ac-ac")
or its short name ("ac"). csv is the long form (Results.to_dataframe): one
column per run parameter and sweep tree variable, the sweep, then the
variables, one row per point. npz holds the grid (Results.to_xarray): first
one array per coordinate, outer to inner, then one array per variable whose
axes are the dimensions in that order. nc (also chosen by an OUT ending in
.nc) writes the grid with xarray's to_netcdf (netCDF4 or scipy must be
installed): a complex variable becomes two, NAME.re and NAME.im. A study
whose sweeps differ in length (transients) needs --pad for npz and nc: the
innermost dimension is then "point" and the sweep a coordinate over every
dimension, padded with NaN. Runs that could not be read are NaN.

A file or folder that cannot be read is reported on stderr as "PATH:
message", and the others are still exported. Output that cannot be written
(a full disk, a missing or read-only folder, a closed pipe or a full device
as stdout) is reported in one line, "karvo: cannot write OUT: reason" or
"karvo: standard output: reason". The exit status is then 1."""


def layout(psf: Union[Psf, PsfFile]) -> str:
    """Return "swept", "non-swept" or "empty", judged from what `psf` (a Psf
    or an open file) holds."""
    if psf.sweeps or psf.traces:
        return "swept"
    if psf.values:
        return "non-swept"
    return "empty"


# ---------------------------------------------------------------- info


def _json_float(x: float) -> Any:
    """A float JSON can hold: non-finite values become strings."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "Infinity" if x > 0 else "-Infinity"
    return x


def _is_array(x: Any) -> bool:
    """An array value: a tuple of str, or a NumPy array of numbers."""
    return isinstance(x, tuple) or hasattr(x, "dtype")


def _scalar_json(x: Any) -> Any:
    if _is_array(x):
        return [_scalar_json(v) for v in (x if isinstance(x, tuple) else x.tolist())]
    if isinstance(x, (int, str)):
        return x
    if isinstance(x, float):
        return _json_float(x)
    if isinstance(x, complex):
        return {"re": _json_float(x.real), "im": _json_float(x.imag)}
    raise TypeError(f"unexpected value type {type(x).__name__}")


def _type_name(x: Any) -> str:
    if _is_array(x):
        return "array"
    return "struct" if isinstance(x, dict) else type(x).__name__


def _min_max(column: Any) -> Tuple[Optional[float], Optional[float]]:
    """Min and max of the real part, NaN points left out; None if no point is left.

    fmin/fmax skip NaN and reduce the array (or the real view of a complex
    one) in place: no mask or copy as large as the signal is made.
    """
    import numpy as np

    real = column.real
    if real.size == 0:
        return None, None
    lo, hi = float(np.fmin.reduce(real)), float(np.fmax.reduce(real))
    if math.isnan(lo):
        return None, None
    return lo, hi


def _signal_info(signal: SignalInfo, data: Any = None) -> Dict[str, Any]:
    """A sweep's or trace's entry; with its data, also min and max."""
    names = signal.dtype.names
    entry: Dict[str, Any] = {
        "name": signal.name,
        "dtype": "struct" if names else str(signal.dtype),
        "units": signal.units,
        "points": signal.points,
    }
    if names:
        entry["fields"] = [{"name": field, "dtype": str(signal.dtype[field])} for field in names]
    else:
        entry["fields"] = None
    if data is None:
        return entry
    if names:
        entry.update(min=None, max=None)
        for field in entry["fields"]:
            field["min"], field["max"] = _min_max(data[field["name"]])
    else:
        entry["min"], entry["max"] = _min_max(data)
    # Key order: name, dtype, units, points, min, max, fields.
    return {k: entry[k] for k in ("name", "dtype", "units", "points", "min", "max", "fields")}


def describe(file: PsfFile, path: str, stats: bool = False) -> Dict[str, Any]:
    """Return what `karvo info` shows for one open file, as plain Python objects.

    Without `stats` only the catalog is used (no sample is read); with it,
    every signal is read once and its min and max (of the real part, NaN
    left out) are added. Floats are left as they are (NaN and infinities
    included); the --json output passes them through the NaN-free encoding
    documented there.
    """
    data: Dict[int, Any] = {}
    if stats:
        psf = file.read()
        read: List[Union[Sweep, Trace]] = [*psf.sweeps, *psf.traces]
        data = {i: s.data for i, s in enumerate(read)}
    signals = [_signal_info(s, data.get(i)) for i, s in enumerate(file.sweeps + file.traces)]
    values = []
    for value in file.values:
        x = value.data
        values.append({"name": value.name, "type": _type_name(x), "units": value.units, "value": x})
    return {
        "path": path,
        "layout": layout(file),
        "header": dict(file.header),
        "sweeps": signals[: len(file.sweeps)],
        "traces": signals[len(file.sweeps) :],
        "values": values,
    }


def _to_json(obj: Any) -> Any:
    if isinstance(obj, dict):
        return {k: _to_json(v) for k, v in obj.items()}
    if isinstance(obj, list):
        return [_to_json(v) for v in obj]
    if obj is None:
        return None
    return _scalar_json(obj)


def _text(x: Any) -> str:
    """A name or scalar for the text tables: one line, control characters escaped."""
    if isinstance(x, str):
        return x if x.isprintable() else repr(x)
    if _is_array(x) and not isinstance(x, tuple):
        return repr(tuple(x.tolist()))  # one line, however long
    return repr(x)


def _units(units: Optional[str]) -> str:
    return "" if units is None else _text(units)


def _number(x: Optional[float]) -> str:
    return "-" if x is None else format(x, ".6g")


def _table(rows: List[List[str]], right: Sequence[int] = ()) -> List[str]:
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for row in rows:
        cells = [cell.rjust(w) if i in right else cell.ljust(w) for i, (cell, w) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
    return lines


def _plural(n: int, word: str) -> str:
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


def _info_text(info: Dict[str, Any]) -> str:
    lines = [info["path"]]
    kind = info["layout"]
    if kind == "swept":
        counts = f"{_plural(len(info['sweeps']), 'sweep')}, {_plural(len(info['traces']), 'trace')}"
    elif kind == "non-swept":
        counts = _plural(len(info["values"]), "value")
    else:
        counts = "no sweeps, traces or values"
    lines.append(f"  layout: {kind} ({counts})")
    header = info["header"]
    lines.append("  header:" if header else "  header: (none)")
    if header:
        lines += ["    " + line for line in _table([[_text(k), _text(v)] for k, v in header.items()])]
    if kind == "swept":
        stats = any("min" in s for s in info["sweeps"] + info["traces"])

        def extremes(entry: Dict[str, Any]) -> List[str]:
            return [_number(entry["min"]), _number(entry["max"])] if stats else []

        rows = [["kind", "name", "type", "units", "points"] + (["min (real)", "max (real)"] if stats else [])]
        for what, signals in (("sweep", info["sweeps"]), ("trace", info["traces"])):
            for s in signals:
                name, units, points = _text(s["name"]), _units(s["units"]), str(s["points"])
                if s["fields"] is None:
                    rows.append([what, name, s["dtype"], units, points] + extremes(s))
                    continue
                struct = f"struct, {_plural(len(s['fields']), 'field')}"
                rows.append([what, name, struct, units, points] + (["", ""] if stats else []))
                for f in s["fields"]:
                    field = _text(f"{s['name']}.{f['name']}")
                    rows.append(["", field, f["dtype"], units, points] + extremes(f))
        lines.append("  sweeps and traces:")
        lines += ["    " + line for line in _table(rows, right=(4, 5, 6))]
    elif kind == "non-swept":
        rows = [["name", "type", "units", "value"]]
        for v in info["values"]:
            data, units = v["value"], _units(v["units"])
            if isinstance(data, dict):
                rows.append([_text(v["name"]), "struct", units, _plural(len(data), "member")])
                rows += [[_text(f"{v['name']}.{m}"), _type_name(x), units, _text(x)] for m, x in data.items()]
            else:
                rows.append([_text(v["name"]), v["type"], units, _text(data)])
        lines.append("  values:")
        lines += ["    " + line for line in _table(rows)]
    return "\n".join(lines) + "\n"


def describe_results(results: Results, path: str) -> Dict[str, Any]:
    """Return what `karvo info` shows for a result folder, as plain Python objects."""
    analyses = [
        {
            "name": a.name,
            "kind": a.kind,
            "file": a.file,
            "description": a.description,
            "sweep_variables": list(a.sweep_variables),
            "parent": a.parent,
            "properties": dict(a.properties),
            "status": a.status,
        }
        for a in results.analyses.values()
    ]
    runs = [
        {
            "name": run.name,
            "parameters": dict(run.parameters),
            "corner": run.corner,
            "path": run.path,
            "status": run.status,
            "error": run.error,
        }
        for run in results.runs
    ]
    return {
        "path": path,
        "index": results.path,
        "finished": results.finished,
        "variables": dict(results.variables),
        "parameters": results.parameters,
        "analyses": analyses,
        "runs": runs,
    }


def _below(path: str, folder: str) -> str:
    """`path` relative to `folder` when it lies below it, else as it is."""
    relative = os.path.relpath(path, folder)
    return path if relative.startswith(os.pardir) else relative


def _results_text(info: Dict[str, Any]) -> str:
    path, runs = info["path"], info["runs"]
    lines = [path, f"  index: {_below(info['index'], path)}", f"  finished: {'yes' if info['finished'] else 'no'}"]
    variables = info["variables"]
    lines.append("  variables:" if variables else "  variables: (none)")
    if variables:
        lines += ["    " + line for line in _table([[_text(k), _text(v)] for k, v in variables.items()])]
    analyses = info["analyses"]
    where = f" (of run {_text(runs[0]['name'])})" if len(runs) > 1 and analyses else ""
    lines.append(f"  analyses{where}:" if analyses else "  analyses: (none)")
    if analyses:
        folder = os.path.dirname(analyses[0]["file"])
        rows = [["name", "kind", "file", "sweep", "parent", "status", "description"]]
        for a in analyses:
            rows.append([
                _text(a["name"]), _text(a["kind"]), _text(_below(a["file"], folder)),
                _text(", ".join(a["sweep_variables"])), _text(a["parent"] or ""), a["status"] or "-",
                _text(a["description"]),
            ])
        lines += ["    " + line for line in _table(rows)]
    parameters = info["parameters"]
    corners = any(run["corner"] is not None for run in runs)
    lines.append(f"  runs: {len(runs)}" + (f", parameters {', '.join(map(_text, parameters))}" if parameters else ""))
    errors = any(run["error"] is not None for run in runs)
    rows = [["run", *map(_text, parameters), *(["corner"] if corners else []), "status", "folder"]]
    rows[0] += ["error"] if errors else []
    for run in runs:
        values = ["" if p not in run["parameters"] else _value_text(run["parameters"][p]) for p in parameters]
        corner = [_text(run["corner"] or "")] if corners else []
        rows.append([_text(run["name"]), *values, *corner, run["status"], _text(_below(run["path"], path))])
        rows[-1] += [_text(run["error"] or "")] if errors else []
    lines += ["    " + line for line in _table(rows)]
    return "\n".join(lines) + "\n"


def _value_text(x: Any) -> str:
    return format(x, ".6g") if isinstance(x, float) else _text(x)


def _info(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    status = 0
    first = True
    for path in args.files:
        try:
            if os.path.isdir(path):
                info = describe_results(open_results(path), path)
                text = _results_text(info)
            else:
                with open_file(path) as file:
                    info = describe(file, path, stats=args.stats)
                text = _info_text(info)
        except (OSError, ValueError) as e:
            print(f"{path}: {e}", file=err)
            status = 1
            continue
        if args.json:
            out.write(json.dumps(_to_json(info), allow_nan=False) + "\n")
        else:
            out.write(("" if first else "\n") + text)
        out.flush()
        first = False
    return status


# ---------------------------------------------------------------- export

# CSV numbers are formatted this many cells at a time, so that the text of a
# large file is never held whole.
CSV_BLOCK_CELLS = 1 << 16


def _flat_columns(name: str, data: Any) -> List[Tuple[str, Any]]:
    """CSV columns of one signal: complex in two, a struct one per field."""
    if data.dtype.names is not None:
        return [c for field in data.dtype.names for c in _flat_columns(f"{name}.{field}", data[field])]
    if data.dtype.kind == "c":
        return [(f"{name}.re", data.real), (f"{name}.im", data.imag)]
    return [(name, data)]


def _value_rows(name: str, x: Any) -> List[Tuple[str, str]]:
    if isinstance(x, dict):
        return [row for member, v in x.items() for row in _value_rows(f"{name}.{member}", v)]
    if _is_array(x):
        items = x if isinstance(x, tuple) else x.tolist()
        return [row for k, v in enumerate(items) for row in _value_rows(f"{name}[{k}]", v)]
    if isinstance(x, complex):
        return [(f"{name}.re", repr(x.real)), (f"{name}.im", repr(x.imag))]
    if isinstance(x, str):
        return [(name, x)]
    return [(name, repr(x))]


def _write_csv(psf: Psf, out: IO[str]) -> None:
    """Write the CSV text block by block: the first rows go out at once and
    memory stays near the size of the arrays, however long the file."""
    if layout(psf) != "swept":
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["name", "value"])
        for value in psf.values:
            writer.writerows(_value_rows(value.name, value.data))
        return
    _write_columns([c for s in _signals(psf) for c in _flat_columns(s.name, s.data)], out)


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
        arrays = [_Column("sweep", s.name, s.data) for s in psf.sweeps]
        arrays += [_Column("trace", t.name, t.data) for t in psf.traces]
    else:
        arrays = [_Column("value", v.name, _value_array(v.data)) for v in psf.values]
    _write_arrays(_unique_names(arrays), out)


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
def _replacing(path: str, binary: bool) -> Iterator[IO[Any]]:
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


def _write_arrays(arrays: List[_Column], out: IO[bytes]) -> None:
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


class _Long(NamedTuple):
    """The long form of a family, as CSV columns."""

    columns: List[Tuple[str, Any]]


def _grid_arrays(grid: Grid) -> List[_Column]:
    """The coordinates, outer to inner, then the variables (names are unique)."""
    return [_Column("sweep", name, _plain(data)) for name, (_, data, _) in {**grid.coords, **grid.variables}.items()]


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
        if data.dtype.kind == "c":
            variables[f"{name}.re"] = (dims, data.real, attrs(a))
            variables[f"{name}.im"] = (dims, data.imag, attrs(a))
        else:
            variables[name] = (dims, data, attrs(a))
    coords = {name: (dims, data, attrs(a)) for name, (dims, data, a) in grid.coords.items()}
    return xr.Dataset(variables, coords=coords, attrs=attrs(grid.attrs))


def _netcdf_engine() -> Optional[str]:
    """xarray's engine for the first of netCDF4 and scipy that is installed."""
    modules = {"netCDF4": "netcdf4", "scipy": "scipy"}
    return next((engine for m, engine in modules.items() if importlib.util.find_spec(m) is not None), None)


def _export_to(data: Union[Psf, _Long, Grid], to: str, out: IO[Any]) -> None:
    if isinstance(data, _Long):
        _write_columns(data.columns, out)
    elif isinstance(data, Grid):
        if to == "nc":
            engine = _netcdf_engine()
            assert engine is not None
            # Written by the netCDF library at the temporary file's path.
            _grid_dataset(data, engine).to_netcdf(out.name, engine=engine)
        else:
            _write_arrays(_grid_arrays(data), out)
    elif to == "npz":
        _write_npz(data, out)
    else:
        _write_csv(data, out)


def _export_to_stdout(data: Union[Psf, _Long, Grid], to: str, out: IO[str], err: IO[str]) -> int:
    """Errors writing stdout are left to main, which reports them."""
    sink: Any = out
    if to == "npz":
        sink = getattr(out, "buffer", None)
        if sink is None:
            print("karvo: npz output needs a binary stdout; use -o OUT", file=err)
            return 1
        out.flush()
    _export_to(data, to, sink)
    sink.flush()
    return 0


def _targets(args: argparse.Namespace, to: str) -> Union[str, List[Optional[str]]]:
    """Where each file is written (None: stdout), or why the command is refused."""
    if len(args.files) == 1:
        return [args.output]
    folder = args.output
    if folder is None:
        return "several files need -o DIR"
    if not os.path.isdir(folder):
        return f"{folder} is not a directory (with several files -o names one)"
    targets: Dict[str, str] = {}
    for path in args.files:
        target = os.path.join(folder, f"{os.path.basename(os.path.normpath(path))}.{to}")
        if target in targets:
            return f"{targets[target]} and {path} would both be written to {target}"
        targets[target] = path
    return list(targets)


def _refused(args: argparse.Namespace, to: str) -> Optional[str]:
    """Why the export cannot begin, checked before anything is read."""
    folders = [p for p in args.files if os.path.isdir(p)]
    files = [p for p in args.files if not os.path.isdir(p)]
    if folders and args.analysis is None:
        return f"{folders[0]} is a result folder: name the analysis to export with --analysis NAME"
    if files and args.analysis is not None:
        return f"--analysis is for result folders, and {files[0]} is not one"
    if to == "nc" and files:
        return f"nc is for result folders, and {files[0]} is not one"
    if to == "nc" and args.output is None:
        return "nc output needs -o OUT"
    return None


def _read(path: str, args: argparse.Namespace, to: str) -> Union[Psf, _Long, Grid]:
    """A file's Psf, or a folder's family: long for csv, else the grid (which
    fails here, before anything is written, when its sweeps need --pad)."""
    if not os.path.isdir(path):
        return read_psf(path)
    results = open_results(path)
    if to == "csv":
        columns, _ = results._long(args.analysis, False, "export")
        return _Long([flat for c in columns for flat in _flat_columns(c.name, c.data)])
    return results._grid(args.analysis, args.pad, False, "export")


def _export(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    single = len(args.files) == 1 and args.output
    suffix = os.path.splitext(args.output)[1].lower() if single else ""
    to = args.to or {".npz": "npz", ".nc": "nc"}.get(suffix, "csv")
    refused = _refused(args, to)
    targets = _targets(args, to) if refused is None else refused
    if isinstance(targets, str):
        print(f"karvo: {targets}", file=err)
        return 2
    if to == "nc" and (_netcdf_engine() is None or importlib.util.find_spec("xarray") is None):
        print("karvo: nc output needs xarray and netCDF4 or scipy: pip install xarray netCDF4", file=err)
        return 1
    status = 0
    for path, target in zip(args.files, targets):
        try:
            data = _read(path, args, to)
        except (OSError, ValueError, KeyError) as e:
            print(f"{path}: {e.args[0] if isinstance(e, KeyError) else e}", file=err)
            status = 1
            continue
        if target is None:
            status = max(status, _export_to_stdout(data, to, out, err))
            continue
        try:
            with _replacing(target, binary=to != "csv") as f:
                _export_to(data, to, f)
        except OSError as e:
            print(f"karvo: cannot write {target}: {e.strerror or e}", file=err)
            status = 1
        except ValueError as e:  # what the netCDF writer refuses (a '/' in a name for netCDF4)
            print(f"karvo: cannot write {target}: {e}", file=err)
            status = 1
    return status


# ---------------------------------------------------------------- parser


def _parser() -> argparse.ArgumentParser:
    formatter = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog="karvo",
        description="Look into psfbin and PSF ASCII circuit-simulation result files and result folders,"
        " and export their data.",
        epilog="Exit status: 0 on success, 1 when a file could not be read or written, 2 on bad usage.",
        formatter_class=formatter,
    )
    parser.add_argument("--version", action="version", version=f"karvo {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    info = commands.add_parser(
        "info",
        help="show the layout, header and signals of files, the analyses and runs of result folders",
        description=INFO_HELP,
        formatter_class=formatter,
    )
    info.add_argument("files", nargs="+", metavar="FILE|DIR", help="psfbin or PSF ASCII file, or result folder")
    info.add_argument("--json", action="store_true", help="print one JSON object per file, one per line")
    info.add_argument("--stats", action="store_true", help="read every signal and show its min and max")
    info.set_defaults(run=_info)

    export = commands.add_parser(
        "export",
        help="write the data of files, or an analysis of result folders, as CSV, NPZ or netCDF",
        description=EXPORT_HELP,
        formatter_class=formatter,
    )
    export.add_argument("files", nargs="+", metavar="FILE|DIR", help="psfbin or PSF ASCII file, or result folder")
    export.add_argument(
        "--to",
        choices=["csv", "npz", "nc"],
        help="output format (default: npz or nc when one input goes to an OUT ending in .npz or .nc, else csv;"
        " nc is for result folders)",
    )
    export.add_argument(
        "--analysis", metavar="NAME", help="the analysis of result folders to export, over all their runs"
    )
    export.add_argument(
        "--pad", action="store_true", help="npz, nc: pad sweeps of different lengths with NaN along a 'point' dimension"
    )
    export.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="write to the file OUT instead of stdout; with several files, into the existing directory OUT",
    )
    export.set_defaults(run=_export)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the karvo command with `argv` (default: sys.argv[1:]).

    Returns the exit status: 0 on success, 1 when a file could not be read
    (its message is printed on stderr as "FILE: message") or the output could
    not be written, 2 on bad usage. --help and --version print and return 0.
    Nothing is raised for these cases.
    """
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # --help, --version and usage errors
        return e.code if isinstance(e.code, int) else (0 if e.code is None else 2)
    try:
        status = int(args.run(args, sys.stdout, sys.stderr))
        sys.stdout.flush()
        return status
    except OSError as e:
        # The commands report the files they cannot read or write themselves:
        # what gets here failed to write stdout (a full device, a closed pipe
        # as in `karvo export f | head`). Point stdout at devnull so that the
        # interpreter's final flush of what is still buffered cannot fail too.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        print(f"karvo: standard output: {e.strerror or e}", file=sys.stderr)
        return 1
