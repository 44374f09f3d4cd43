"""karvo info FILE|DIR... [--json] [--stats]: the layout, header and signals
of files (from their catalogs), the analyses and runs of result folders."""

from __future__ import annotations

import argparse
import json
import math
import os
from typing import IO, Any, Dict, List, Optional, Sequence, Tuple, Union

from .._columns import is_array
from .._karvo import Psf, Sweep, Trace
from ..files import PsfFile, SignalInfo
from ..files import open as open_file
from ..raw import looks_raw, plot_kind, read_raw_plots
from ..results import Results, open_results
from .reading import Reads, layout

__all__ = ["describe", "describe_raw", "describe_results", "PlotCatalog", "HELP", "DESCRIPTION", "add_arguments", "run"]

HELP = "show the layout, header and signals of files, the analyses and runs of result folders"

LAYOUT_HELP = """\
The layout is judged from what the file holds, since the binary layout word
is not exposed: "swept" when it has sweeps or traces (point records and
windowed frames alike), "non-swept" when it has values (an operating point),
"empty" when it has neither (header only)."""

DESCRIPTION = f"""\
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
prints where its index files are, whether the run finished (its .simDone,
the simulator's log or logStatus says so), the design variables, a table of
its analyses (name, kind, data file, sweep variables, parent in a sweep
tree, status from logStatus, description) and a table of its runs (name,
one column per parameter, corner, status, folder, error). A study's
analyses are those of its first run. --stats applies to files only. With
--json a DIR gives one object with the keys path, index, finished,
variables, parameters, analyses [{{name, kind, file, description,
sweep_variables, parent, properties, status}}] and runs [{{name, parameters,
corner, path, status, error}}].

A SPICE raw file (ngspice, Xyce, LTspice: named *.raw, or beginning with
its Title: line) is read whole and shown plot by plot, each as a file is,
its first line naming the plot's number and its analysis name (as
karvo.open_results names it: tran, ac, dc, op, ...); a stepped plot (LTspice
.step) adds a table of its steps (points start:stop, parameters from the
.log beside it). With --json each plot gives one line, with the extra keys
plot, analysis and runs [{{start, stop, parameters}}] (empty unless stepped).
A DIR of raw files without index files is a result folder of them.

--partial also reads psfbin files without their trailer and PSF ASCII
without END (a simulation still running, a file cut short) up to their last
whole point, and prints "points: N read so far" for such a file ("points:
N, complete" for a whole one); --json then adds the keys complete and points.

A file or folder that cannot be read is reported on stderr as "PATH: message"
and the others are still shown; the exit status is then 1."""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE|DIR", help="psfbin, PSF ASCII or SPICE raw file, or result folder")
    parser.add_argument("--json", action="store_true", help="print one JSON object per file, one per line")
    parser.add_argument("--stats", action="store_true", help="read every signal and show its min and max")
    parser.add_argument(
        "--partial", action="store_true", help="also read files still written (or cut short) up to their last whole point"
    )


def _json_float(x: float) -> Any:
    """A float JSON can hold: non-finite values become strings."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "Infinity" if x > 0 else "-Infinity"
    return x


def _scalar_json(x: Any) -> Any:
    if is_array(x):
        return [_scalar_json(v) for v in (x if isinstance(x, tuple) else x.tolist())]
    if isinstance(x, (int, str)):
        return x
    if isinstance(x, float):
        return _json_float(x)
    if isinstance(x, complex):
        return {"re": _json_float(x.real), "im": _json_float(x.imag)}
    raise TypeError(f"unexpected value type {type(x).__name__}")


def _type_name(x: Any) -> str:
    if is_array(x):
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


class PlotCatalog:
    """A plot of a raw file (already read) as `describe` reads an open file."""

    def __init__(self, psf: Psf) -> None:
        self.psf, self.header, self.values = psf, psf.header, psf.values
        self.sweeps = [SignalInfo(s.name, "sweep", s.data.dtype, len(s.data), s.properties) for s in psf.sweeps]
        self.traces = [SignalInfo(s.name, "trace", s.data.dtype, len(s.data), s.properties) for s in psf.traces]

    def read(self) -> Psf:
        return self.psf


def describe_raw(path: str, stats: bool = False) -> List[Dict[str, Any]]:
    """What `karvo info` shows for a raw file: `describe` of each plot, with
    ``plot`` (its number, from 1), ``analysis`` (its name in
    `karvo.open_results`) and ``runs`` (a stepped plot's: start, stop and
    parameters of each; empty for a plot that is not stepped)."""
    out = []
    for number, plot in enumerate(read_raw_plots(path), 1):
        info = describe(PlotCatalog(plot.psf), path, stats)
        info["plot"] = number
        info["analysis"] = plot_kind(str(plot.psf.header.get("Plotname", "")))
        stepped = len(plot.runs) > 1 or "stepped" in str(plot.psf.header.get("Flags", "")).split()
        runs = [{"start": r.start, "stop": r.stop, "parameters": dict(r.parameters)} for r in plot.runs]
        info["runs"] = runs if stepped else []
        out.append(info)
    return out


def describe(
    file: Union[PsfFile, PlotCatalog], path: str, stats: bool = False, partial: bool = False
) -> Dict[str, Any]:
    """Return what `karvo info` shows for one open file, as plain Python objects.

    Without `stats` only the catalog is used (no sample is read); with it,
    every signal is read once and its min and max (of the real part, NaN
    left out) are added. Floats are left as they are (NaN and infinities
    included); the --json output passes them through the NaN-free encoding
    documented there. With `partial`, the keys complete and points tell
    whether the file was whole and how many points were read.
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
    info: Dict[str, Any] = {
        "path": path,
        "layout": layout(file.psf if isinstance(file, PlotCatalog) else file),
        "header": dict(file.header),
        "sweeps": signals[: len(file.sweeps)],
        "traces": signals[len(file.sweeps) :],
        "values": values,
    }
    if partial:
        info.update(complete=file.complete, points=file.points)
    return info


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
    if is_array(x) and not isinstance(x, tuple):
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
    if "plot" in info:
        lines[0] += f" (plot {info['plot']}: {_text(info['analysis'])})"
        runs = info["runs"]
        if runs:
            lines.append(f"  steps: {len(runs)}")
            rows = [["step", "points", "parameters"]]
            for k, r in enumerate(runs, 1):
                values = ", ".join(f"{_text(n)}={_value_text(v)}" for n, v in r["parameters"].items())
                rows.append([str(k), f"{r['start']}:{r['stop']}", values])
            lines += ["    " + line for line in _table(rows)]
    kind = info["layout"]
    if kind == "swept":
        counts = f"{_plural(len(info['sweeps']), 'sweep')}, {_plural(len(info['traces']), 'trace')}"
    elif kind == "non-swept":
        counts = _plural(len(info["values"]), "value")
    else:
        counts = "no sweeps, traces or values"
    lines.append(f"  layout: {kind} ({counts})")
    if "complete" in info:
        lines.append(f"  points: {info['points']}" + (", complete" if info["complete"] else " read so far"))
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
    # A result folder's analyses are those of its first run; a folder of raw
    # files gathers them from the files that hold them.
    first = runs[0]["path"] if runs else ""
    of_first = all(_below(a["file"], first) != a["file"] or a["file"] == first for a in analyses)
    where = f" (of run {_text(runs[0]['name'])})" if len(runs) > 1 and analyses and of_first else ""
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
    # The run's own name, under another heading where a parameter is named run.
    rows = [["name" if "run" in parameters else "run", *map(_text, parameters), *(["corner"] if corners else []),
             "status", "folder"]]
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


def run(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    def read(path: str) -> List[Tuple[Dict[str, Any], str]]:
        if os.path.isdir(path):
            info = describe_results(open_results(path), path)
            return [(info, _results_text(info))]
        if looks_raw(path):
            return [(info, _info_text(info)) for info in describe_raw(path, stats=args.stats)]
        with open_file(path, partial=args.partial) as file:
            info = describe(file, path, stats=args.stats, partial=args.partial)
        return [(info, _info_text(info))]

    reads = Reads(args.files, read, err)
    first = True
    for _, described in reads:
        for info, text in described:
            if args.json:
                out.write(json.dumps(_to_json(info), allow_nan=False) + "\n")
            else:
                out.write(("" if first else "\n") + text)
            first = False
        out.flush()
    return reads.status
