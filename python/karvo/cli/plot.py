"""karvo plot FILE SIGNAL... | DIR --analysis NAME SIGNAL... [-o OUT]: signals
against their sweep, in a window or into a PNG, SVG or PDF file.

`load` picks the signals of a file or a family (a `drawing.Plotted`); the
figure is `drawing.draw`'s. matplotlib is imported only when the command
runs."""

from __future__ import annotations

import argparse
import os
from typing import IO, TYPE_CHECKING, Any, List, Mapping, Optional, Sequence, Tuple

from .._columns import Variable, xarray_parts
from .._errors import close_matches, need
from ..files import PsfFile
from ..files import open as open_file
from ..results import open_results
from .reading import Reads, layout
from .writing import replacing

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .drawing import Plotted

__all__ = ["HELP", "DESCRIPTION", "add_arguments", "run", "load", "FORMATS"]

HELP = "plot signals of a file, or an analysis of result folders, against their sweep"

DESCRIPTION = """\
Draw the SIGNALs of FILE against its sweep (time, freq, a dc sweep) in a
window, or into the file OUT with -o, whose suffix says the format: .png,
.svg or .pdf.

Real signals share one panel. Complex signals (ac, pac, a transfer function)
give two panels that share the sweep axis: the magnitude in dB (20*log10|x|;
with --linear, |x| in the signal's units) and the phase in degrees,
unwrapped. --db draws real signals in dB too. A frequency sweep, or any
positive sweep whose points are spaced by decades, is drawn on a log axis.
Axes are labelled with the names and the units the file gives; dB and deg
for the magnitude and phase. A struct trace's member is SIGNAL.MEMBER
(out.total); the struct's name alone draws every member.

A DIR is a result folder: --analysis NAME names the analysis whose family
(the analysis over every run and every leaf of its sweep tree, as
karvo.Results gives it) is drawn, one line per run, with a legend of the
parameters (cap=1e-12, res=1000): a color per run, and a line style per
SIGNAL; for one SIGNAL over two or more parameters whose innermost takes at
most four values, a color per value of the outer ones and a line style per
value of the innermost, so that runs giving the same curve both show. A
legend of many runs goes beside the panels and names the first and last
ones. Each run is drawn on its own points, so transients that end at
different times fit. Runs that hold no data (they could not be read) are
left out and named on stderr. An analysis without a sweep of its own (an
operating point) is drawn against the innermost parameter.

Without -o the plot opens in a window of matplotlib's default backend; where
no window can be opened (no display), the command says so: use -o OUT.
OUT is written under a temporary name and renamed when complete, as by
karvo export.

Needs matplotlib: pip install 'karvo[plot]'.

Exit status: 0 when drawn, 1 when FILE or DIR cannot be read, a SIGNAL or the
analysis is not in it, there is nothing to draw against a sweep, OUT cannot
be written or no window can be opened; 2 on bad usage."""

#: The formats of -o OUT, by OUT's suffix.
FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}

# matplotlib's backends that draw into files only: no window can be shown.
FILE_BACKENDS = {"agg", "cairo", "pdf", "pgf", "ps", "svg", "template"}

# The resolution of a PNG, in dots per inch.
DPI = 120


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("path", metavar="FILE|DIR", help="psfbin or PSF ASCII file, or result folder")
    parser.add_argument("signals", nargs="+", metavar="SIGNAL", help="a sweep or trace; a struct member as NAME.MEMBER")
    parser.add_argument("--analysis", metavar="NAME", help="the analysis of a result folder to draw, over all its runs")
    parser.add_argument("-o", "--output", metavar="OUT", help="write the plot to OUT (.png, .svg or .pdf)")
    parser.add_argument("--title", help="the title above the plot (default: the file or folder and analysis)")
    parser.add_argument(
        "--xlim", nargs=2, type=float, metavar=("MIN", "MAX"), help="the sweep range drawn, in the sweep's units"
    )
    scale = parser.add_mutually_exclusive_group()
    scale.add_argument("--db", action="store_true", help="draw real signals in dB (20*log10|x|) too")
    scale.add_argument("--linear", action="store_true", help="draw the magnitude of complex signals as |x|, not in dB")


# ------------------------------------------------------------------ choosing


def _units(attrs: Mapping[str, Any]) -> Optional[str]:
    units = attrs.get("units")
    return units if isinstance(units, str) and units else None


def _choose(requests: Sequence[str], available: Mapping[str, Variable], sweep: str, where: str) -> List[str]:
    """The names of `available` that `requests` name: each as it is, or a
    struct by its name (every member). KeyError naming close matches for a
    name not there; ValueError for the sweep itself."""
    chosen: List[str] = []
    for name in requests:
        if name in available:
            members = [name]
        else:
            members = [n for n in available if n.startswith(name + ".")]
        if not members:
            if name == sweep:
                raise ValueError(f"{name!r} is the sweep, which the signals are drawn against")
            raise KeyError(f"{where}no signal {name!r}{close_matches(name, available)}")
        chosen += [m for m in members if m not in chosen]
    return chosen


def _file_names(f: PsfFile, requests: Sequence[str]) -> Optional[List[str]]:
    """The signals of `f` to read for `requests` (with the first sweep, the
    axis), judged from its catalog; None: read them all (a name the catalog
    alone cannot place, or a trace that shares the axis's name)."""
    if layout(f) != "swept":
        what = f"{len(f.values)} values" if f.values else "no signals"
        raise ValueError(f"not swept: the file holds {what}, nothing to draw against a sweep (karvo info lists them)")
    chosen = [f.sweeps[0].name] if f.sweeps else []
    if chosen and chosen[0] in {t.name for t in f.traces}:
        return None
    values = {v.name for v in f.values}
    for name in requests:
        held = name if name in f else name.rpartition(".")[0]
        if held not in f or held in values:
            return None
        chosen.append(held)
    return chosen


def _of_file(path: str, requests: Sequence[str]) -> Plotted:
    """The file's signals, named as karvo.to_xarray names them; only the
    chosen ones are read."""
    import numpy as np

    from .drawing import Plotted, Quantity

    with open_file(path) as f:
        psf = f.read(_file_names(f, requests))
    data_vars, coords, left_out = xarray_parts(psf)
    # the first sweep, when flat, is the coordinate of its own dimension
    axis = next((name for name, (dims, _, _) in coords.items() if dims == (name,)), None)
    available = {**{k: v for k, v in coords.items() if k != axis}, **data_vars}
    for name in requests:
        if left_out is not None and name in left_out.names:
            raise ValueError(f"{name!r} has no points, while {left_out.axis!r} has {left_out.points}")
    chosen = _choose(requests, available, axis or "", "")
    if axis is not None:
        _, x, attrs = coords[axis]
        sweep = Quantity(axis, _units(attrs), np.asarray(x))
    else:
        sweep = Quantity("point", None, np.arange(len(available[chosen[0]][1]), dtype=np.float64))
    signals = [Quantity(n, _units(available[n][2]), np.asarray(available[n][1])) for n in chosen]
    kind = psf.header.get("analysis type")
    title = os.path.basename(path) + (f" ({kind})" if isinstance(kind, str) and kind else "")
    return Plotted(title, sweep, signals)


def _of_family(path: str, analysis: str, requests: Sequence[str]) -> Plotted:
    """The family of `analysis`: each run on its own points (padded grid)."""
    import numpy as np

    from .drawing import Plotted, Quantity

    results = open_results(path)
    entry = results.analysis(analysis)
    grid = results.grid(analysis, pad=True)
    dims = next(iter(grid.variables.values()), ((), None, {}))[0]
    if not dims:
        raise ValueError(
            f"{entry.name!r} holds no sweep: nothing to draw its values against (karvo export writes them)"
        )
    inner = dims[-1]
    if inner == "point":  # padded sweeps: a coordinate over every dimension (files without one: none)
        inner = next((name for name, (d, _, _) in grid.coords.items() if d == dims), "point")
    n = np.shape(next(iter(grid.variables.values()))[1])[-1]
    _, x, attrs = grid.coords.get(inner, (dims[-1:], np.arange(n, dtype=np.float64), {}))
    if np.asarray(x).dtype.kind not in "iuf":
        raise ValueError(f"{entry.name!r}: its innermost dimension {inner!r} is not numeric: nothing to draw against")
    chosen = _choose(requests, grid.variables, inner, f"{entry.name!r} has ")
    signals = [Quantity(n, _units(grid.variables[n][2]), np.asarray(grid.variables[n][1])) for n in chosen]
    runs: List[Tuple[str, Sequence[Any]]] = [(d, list(np.asarray(grid.coords[d][1]).tolist())) for d in dims[:-1]]
    folder = os.path.basename(os.path.abspath(path))
    sweep = Quantity(inner, _units(attrs), np.asarray(x, dtype=np.float64))
    return Plotted(f"{folder}: {entry.name}", sweep, signals, runs)


def load(path: str, signals: Sequence[str], analysis: Optional[str] = None) -> Plotted:
    """What `karvo plot` draws of `signals` of the file `path`, or with
    `analysis`, of the family of that analysis in the result folder `path`.

    Raises OSError or ValueError for what cannot be read or drawn, KeyError
    for a signal or analysis not there (naming close matches)."""
    if analysis is not None:
        return _of_family(path, analysis, signals)
    return _of_file(path, signals)


def _draw(plotted: Plotted, args: argparse.Namespace, into: Optional[Figure] = None) -> Figure:
    """`drawing.draw` of `plotted` as the options `args` ask for."""
    from .drawing import draw

    scale = "db" if args.db else "linear" if args.linear else "auto"
    xlim = (args.xlim[0], args.xlim[1]) if args.xlim is not None else None
    return draw(plotted, into, scale=scale, xlim=xlim, title=args.title)


# ------------------------------------------------------------------ command


def _refused(args: argparse.Namespace) -> Optional[str]:
    """Why the plot cannot begin, checked before anything is read."""
    if os.path.isdir(args.path) and args.analysis is None:
        return f"{args.path} is a result folder: name the analysis to plot with --analysis NAME"
    if args.analysis is not None and not os.path.isdir(args.path):
        return f"--analysis is for result folders, and {args.path} is not one"
    if args.output is not None and os.path.splitext(args.output)[1].lower() not in FORMATS:
        return f"{args.output}: name a .png, .svg or .pdf file"
    if args.xlim is not None and not args.xlim[0] < args.xlim[1]:
        return f"--xlim {args.xlim[0]:g} {args.xlim[1]:g}: MIN must be less than MAX"
    return None


def _window() -> Optional[Any]:
    """pyplot, when its backend can show a window; else None."""
    import matplotlib
    import matplotlib.pyplot as pyplot

    return None if matplotlib.get_backend().lower() in FILE_BACKENDS else pyplot


def _note_missing(path: str, plotted: Plotted, err: IO[str]) -> None:
    missing = plotted.missing()
    if missing:
        shown = "; ".join(missing[:4]) + (f"; and {len(missing) - 4} more" if len(missing) > 4 else "")
        print(f"{path}: no data, left out: {shown}", file=err)


def run(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    refused = _refused(args)
    if refused is not None:
        print(f"karvo: {refused}", file=err)
        return 2
    try:
        need("karvo plot", "matplotlib", "plot")
    except ImportError as e:
        print(f"karvo: {e}", file=err)
        return 1
    pyplot = None
    if args.output is None:
        pyplot = _window()
        if pyplot is None:
            print("karvo: no display to open a window on; write the plot to a file with -o OUT.png", file=err)
            return 1
    reads = Reads([args.path], lambda path: load(path, args.signals, args.analysis), err)
    status = 0
    for path, plotted in reads:
        if len(plotted.missing()) == len(list(plotted.cells())):
            print(f"{path}: no data to draw", file=err)
            return 1
        _note_missing(path, plotted, err)
        if pyplot is not None:
            _draw(plotted, args, pyplot.figure(layout="constrained"))
            pyplot.show()
            continue
        drawn = _draw(plotted, args)
        try:
            with replacing(args.output, binary=True) as f:
                drawn.savefig(f, format=FORMATS[os.path.splitext(args.output)[1].lower()], dpi=DPI)
        except OSError as e:
            print(f"karvo: cannot write {args.output}: {e.strerror or e}", file=err)
            status = 1
    return max(status, reads.status)

