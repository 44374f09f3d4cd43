"""The figure of ``karvo plot``: signals against their sweep, one line per
run, drawn on a matplotlib Figure.

`Plotted` is what is drawn (the command makes it of a file or a family);
`draw` lays it out: one panel for real signals; for complex ones two that
share the sweep axis, the magnitude in dB and the phase in degrees (the
conversions of `karvo.measure`, whose units the labels give, never the
source's). Axes are labelled with names and units, linear ones in
engineering steps ("time [ns]"); the legend names the signals and the runs'
parameters, beside the panels when it is long.

matplotlib and NumPy are imported here, and this module only by the
command's functions, so that ``import karvo`` and the other commands never
import them.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Callable, Dict, Iterator, List, Literal, Optional, Sequence, Tuple

import matplotlib
import numpy as np
import numpy.typing as npt
from matplotlib.axes import Axes
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.ticker import EngFormatter, FuncFormatter, MaxNLocator, NullFormatter

from .. import measure

__all__ = ["Quantity", "Plotted", "draw", "SCALES"]

#: How magnitudes are drawn: "auto" (complex in dB, real as they are), "db"
#: (everything in dB), "linear" (complex as |x| in the signal's units).
SCALES = ("auto", "db", "linear")

# Units drawn with an engineering prefix ("ns", "mV"): plain SI units only;
# a prefix on "V^2/Hz" would say something else.
PREFIXED_UNITS = {"s", "V", "A", "Hz", "W", "F", "H", "Ohm", "ohm", "Ω", "S", "C", "J"}
PREFIXES = {-15: "f", -12: "p", -9: "n", -6: "µ", -3: "m", 0: "", 3: "k", 6: "M", 9: "G", 12: "T"}
# A legend of more entries than this goes beside the panels; of more runs,
# it names the first ones and says how many more there are.
LEGEND_INSIDE = 4
LEGEND_RUNS = 12
STYLES: Tuple[Literal["-", "--", ":", "-."], ...] = ("-", "--", ":", "-.")
# A y label of more characters than this gives a word ("phase") for the names.
LABEL_LENGTH = 28
# Up to this many lines of up to this many points mark their points.
FEW_LINES, FEW_POINTS = 8, 25


@dataclass(frozen=True)
class Quantity:
    """A named array and its units (None where the source gives none)."""

    name: str
    units: Optional[str]
    data: npt.NDArray[Any]


@dataclass(frozen=True)
class Plotted:
    """Signals against a sweep, over the cells of a family.

    ``runs``: the family's outer dimensions, outer to inner, as (name,
    coordinate values); empty for a file. Each signal's data has their
    lengths as its shape, then the points. ``sweep.data`` is the points
    alone (shared by every cell) or has the signals' shape, padded with NaN
    after a cell's last point.
    """

    title: str
    sweep: Quantity
    signals: List[Quantity]
    runs: List[Tuple[str, Sequence[Any]]] = field(default_factory=list)

    @property
    def shape(self) -> Tuple[int, ...]:
        return tuple(len(values) for _, values in self.runs)

    def cells(self) -> Iterator[Tuple[Tuple[int, ...], str]]:
        """Each cell's index and label ("cap=1e-12, res=1000"); dimensions of
        one value are left out of the labels (`constants` names them)."""
        for index in np.ndindex(self.shape):
            parts = [f"{name}={_text(values[i])}" for (name, values), i in zip(self.runs, index) if len(values) > 1]
            yield index, ", ".join(parts)

    def constants(self) -> str:
        """The dimensions of one value, "corner=nom", for the title."""
        return ", ".join(f"{name}={_text(values[0])}" for name, values in self.runs if len(values) == 1)

    def missing(self) -> List[str]:
        """The labels of the cells that hold no point of any signal (runs
        that could not be read, combinations no run holds)."""
        return [label for index, label in self.cells() if not any(_has_points(s.data[index]) for s in self.signals)]

    def sweep_of(self, index: Tuple[int, ...]) -> npt.NDArray[np.float64]:
        data = self.sweep.data
        return np.asarray(data if data.ndim == 1 else data[index], dtype=np.float64)


def _text(value: Any) -> str:
    """A coordinate value as a legend shows it: 1e-12, 1000, nom."""
    if isinstance(value, (float, np.floating)):
        return f"{float(value):.6g}"
    return str(value)


def _has_points(y: npt.NDArray[Any]) -> bool:
    return bool(np.any(~np.isnan(y))) if y.dtype.kind in "fc" else y.size > 0


# ------------------------------------------------------------------ panels


@dataclass(frozen=True)
class Panel:
    """One panel: the signals it draws (their positions in
    `Plotted.signals`), what it draws of them and in which units (None:
    theirs), and how its y label names a signal."""

    members: List[int]
    convert: Callable[[npt.NDArray[Any]], npt.NDArray[Any]]
    units: Optional[str]
    label: Callable[[str], str]
    phase: bool = False


def _real(data: npt.NDArray[Any]) -> npt.NDArray[Any]:
    return np.asarray(data, dtype=np.float64)


def _by_units(signals: Sequence[Quantity]) -> List[List[int]]:
    """The signals' positions grouped by units, in order of first appearance."""
    groups: Dict[Optional[str], List[int]] = {}
    for j, s in enumerate(signals):
        groups.setdefault(s.units, []).append(j)
    return list(groups.values())


def _panels(signals: Sequence[Quantity], scale: str) -> List[Panel]:
    """Real signals: a panel per units (a current beside voltages would be
    flat on theirs); with scale "db", one panel in dB. Complex signals: the
    magnitude in dB (with "linear", a panel per units) and the phase."""
    every = list(range(len(signals)))
    db = Panel(every, measure.db20, "dB", lambda name: f"|{name}|")
    if not any(s.data.dtype.kind == "c" for s in signals):
        if scale == "db":
            return [db]
        return [Panel(group, _real, None, lambda name: name) for group in _by_units(signals)]
    magnitude = [db]
    if scale == "linear":
        magnitude = [Panel(group, np.abs, None, lambda name: f"|{name}|") for group in _by_units(signals)]
    return magnitude + [Panel(every, measure.phase, "deg", lambda name: f"phase({name})", phase=True)]


# ------------------------------------------------------------------ axes


def _engineering(low: float, high: float) -> Tuple[float, str]:
    """The scale and prefix that bring the outermost tick of the range
    [low, high] into [1, 1000): 0 to 0.998 V is ticked to 1 V, in V; 0 to
    200 ns in ns."""
    ticks = MaxNLocator().tick_values(low, high)
    top = float(np.max(np.abs(ticks)))
    if not math.isfinite(top) or top == 0.0:
        return 1.0, ""
    exponent = min(max(3 * math.floor(math.log10(top) / 3), min(PREFIXES)), max(PREFIXES))
    return 10.0**exponent, PREFIXES[exponent]


def _label_axis(axis: Any, names: str, units: Optional[str], log: bool = False) -> None:
    """Label `axis` "names [units]"; plain SI units in engineering steps:
    the ticks of a linear axis scaled to its range ("time [ns]"), of a log
    axis "10k". Call it once the axis's range is set."""
    if units is None:
        axis.set_label_text(names)
        return
    if units not in PREFIXED_UNITS:
        axis.set_label_text(f"{names} [{units}]")
        return
    if log:
        axis.set_major_formatter(EngFormatter(sep=""))
        axis.set_label_text(f"{names} [{units}]")
        return
    scale, prefix = _engineering(*axis.get_view_interval())
    minus = "\N{MINUS SIGN}" if matplotlib.rcParams["axes.unicode_minus"] else "-"
    axis.set_major_formatter(FuncFormatter(lambda v, _: f"{v / scale:.6g}".replace("-", minus)))
    axis.set_label_text(f"{names} [{prefix}{units}]")


def _log_sweep(x: npt.NDArray[np.float64], units: Optional[str], xlim: Optional[Tuple[float, float]]) -> bool:
    """Whether to draw the sweep on a log axis: it is positive and a
    frequency, or its points are spaced more evenly in log than in linear."""
    x = x[np.isfinite(x)]
    if x.size < 2 or x.min() <= 0 or (xlim is not None and min(xlim) <= 0):
        return False
    if units == "Hz":
        return True
    row = np.unique(x)
    if row.size < 3 or row[-1] / row[0] < 100:
        return False

    def spread(steps: npt.NDArray[np.float64]) -> float:
        return float(np.std(steps) / np.mean(steps))

    return spread(np.diff(np.log(row))) < spread(np.diff(row))


def _y_label(panel: Panel, signals: Sequence[Quantity]) -> Tuple[str, Optional[str]]:
    """The y label's names and units: "|out| [dB]", "in, out [V]"; a
    generic word where the names would not fit beside the panel."""
    names = ", ".join(panel.label(signals[j].name) for j in panel.members)
    units = panel.units if panel.units is not None else signals[panel.members[0]].units
    word = "phase" if panel.phase else "magnitude" if panel.units == "dB" else "value"
    return (names if len(names) <= LABEL_LENGTH else word), units


# ------------------------------------------------------------------ figure


@dataclass(frozen=True)
class Looks:
    """How the lines differ: ``color[i][j]`` and ``style[i][j]`` of signal j
    in cell i index ``colors`` and ``styles``, the legend's labels of each
    color and line style (no style entries where all lines are solid).
    ``paired``: color k goes with line style k (one label for both)."""

    colors: List[str]
    styles: List[str]
    color: List[List[int]]
    style: List[List[int]]
    paired: bool = False


def _looks(plotted: Plotted, cells: Sequence[Tuple[Tuple[int, ...], str]]) -> Looks:
    """One cell: a color and a line style per signal. Several signals over
    several cells: a color per cell, a line style per signal. One signal over
    two or more varying dimensions whose innermost has at most len(STYLES) values: a
    color per value of the outer ones, a line style per innermost value (so
    runs that give the same curve still show both). Else a color per cell."""
    names = [s.name for s in plotted.signals]
    signals = range(len(names))
    if len(cells) == 1:
        # a style too: signals that give the same curve still both show
        return Looks(names if len(names) > 1 else [], [], [list(signals)], [list(signals)], paired=True)
    varying = [k for k, (_, values) in enumerate(plotted.runs) if len(values) > 1]
    inner = varying[-1] if varying else -1
    if len(names) == 1 and len(varying) >= 2 and len(plotted.runs[inner][1]) <= len(STYLES):
        outer: Dict[Tuple[int, ...], int] = {}
        labels: List[str] = []
        color: List[List[int]] = []
        for index, _ in cells:
            key = tuple(index[k] for k in varying[:-1])
            if key not in outer:
                outer[key] = len(outer)
                parts = [(plotted.runs[k][0], plotted.runs[k][1][index[k]]) for k in varying[:-1]]
                labels.append(", ".join(f"{name}={_text(value)}" for name, value in parts))
            color.append([outer[key]])
        name, values = plotted.runs[inner]
        styles = [f"{name}={_text(v)}" for v in values]
        return Looks(labels, styles, color, [[index[inner]] for index, _ in cells])
    return Looks(
        [label for _, label in cells], names if len(names) > 1 else [],
        [[i for _ in signals] for i in range(len(cells))], [list(signals) for _ in cells],
    )


def _palette(n: int) -> List[Any]:
    """n colors told apart: the default cycle, a sequential map beyond it."""
    if n <= 10:
        return [f"C{i}" for i in range(n)]
    colormap = matplotlib.colormaps["viridis"]
    return [colormap(v) for v in np.linspace(0.0, 0.92, n)]


def _legend(looks: Looks, palette: Sequence[Any]) -> List[Any]:
    """The legend's entries: the colors (of more than LEGEND_RUNS, the first
    and last ones and how many lie between), then the line styles in grey."""
    shown = list(enumerate(looks.colors))
    if len(shown) > LEGEND_RUNS:
        head = (LEGEND_RUNS - 1) // 2
        tail = LEGEND_RUNS - 1 - head
        skipped = len(shown) - head - tail
        shown = shown[:head] + [(-1, f"⋮ {skipped} more")] + shown[-tail:]
    handles: List[Any] = [
        Line2D([], [], color=palette[i], linestyle=STYLES[i % len(STYLES)] if looks.paired else "-", label=label)
        if i >= 0 else Line2D([], [], linestyle="none", label=label)
        for i, label in shown
    ]
    handles += [
        Line2D([], [], color="0.35", linestyle=STYLES[k % len(STYLES)], label=label)
        for k, label in enumerate(looks.styles)
    ]
    return handles


def draw(
    plotted: Plotted, figure: Optional[Figure] = None, *, scale: str = "auto",
    xlim: Optional[Tuple[float, float]] = None, title: Optional[str] = None,
) -> Figure:
    """Draw `plotted` on `figure` (a new one by default) and return it.

    Each signal of each cell is one line, on the cell's own points (cells
    without a point are left out), colored and styled as `_looks` says.
    `scale`: one of `SCALES`. `xlim`: the sweep range shown (the y axes fit
    what is in it). `title`: instead of the plotted's own.
    """
    if scale not in SCALES:
        raise ValueError(f"scale must be one of {', '.join(SCALES)}, not {scale!r}")
    panels = _panels(plotted.signals, scale)
    cells = list(plotted.cells())
    looks = _looks(plotted, cells)
    palette = _palette(max(1, len(looks.colors)))
    handles = _legend(looks, palette)
    outside = len(handles) > LEGEND_INSIDE
    if figure is None:
        figure = Figure(layout="constrained")
    figure.set_size_inches(8.0 + (2.6 if outside else 0.0), 1.4 + min(3.4, 7.0 / len(panels)) * len(panels))
    axes: List[Axes] = list(figure.subplots(len(panels), 1, sharex=True, squeeze=False)[:, 0])

    lines = len(cells) * len(plotted.signals)
    width = 1.5 if lines <= 10 else (1.0 if lines <= 50 else 0.6)
    points = int(np.isfinite(plotted.sweep.data).sum(axis=-1).max(initial=0))
    marker = "o" if points <= FEW_POINTS and lines <= FEW_LINES else ""
    for panel, ax in zip(panels, axes):
        for j in panel.members:
            signal = plotted.signals[j]
            values = panel.convert(signal.data)
            for i, (index, _) in enumerate(cells):
                x, y = plotted.sweep_of(index), np.asarray(values[index])
                kept = np.isfinite(x)
                if not _has_points(np.asarray(signal.data[index])[kept]):
                    continue
                k = looks.style[i][j]
                # broken lines over solid ones: where two runs give one curve, both show
                ax.plot(
                    x[kept], y[kept], color=palette[looks.color[i][j]], linestyle=STYLES[k % len(STYLES)],
                    linewidth=width, zorder=2 + 0.1 * (k % len(STYLES)),
                    marker=marker, markersize=2.5,
                )
    _finish_axes(plotted, panels, axes, xlim)
    if handles:
        if outside:
            axes[0].legend(handles=handles, loc="upper left", bbox_to_anchor=(1.02, 1.0), borderaxespad=0.0)
        else:
            axes[0].legend(handles=handles, loc="best")
    constants = plotted.constants()
    axes[0].set_title(title if title is not None else f"{plotted.title} ({constants})" if constants else plotted.title)
    return figure


def _finish_axes(
    plotted: Plotted, panels: Sequence[Panel], axes: Sequence[Axes], xlim: Optional[Tuple[float, float]]
) -> None:
    """Scales, ranges, grids and labels (these last once the ranges are set)."""
    sweep = plotted.sweep
    log = _log_sweep(np.asarray(sweep.data, dtype=np.float64), sweep.units, xlim)
    bottom = axes[-1]
    if log:
        bottom.set_xscale("log")
    if xlim is not None:
        bottom.set_xlim(*xlim)
    for panel, ax in zip(panels, axes):
        if xlim is not None:
            _fit_y(ax, xlim)
        ax.autoscale_view()
        if panel.phase:
            ax.yaxis.set_major_locator(MaxNLocator(nbins=8, steps=[1, 1.5, 3, 4.5, 9, 10]))
        _label_axis(ax.yaxis, *_y_label(panel, plotted.signals))
        ax.grid(True, alpha=0.3)
        if log:
            ax.grid(True, which="minor", alpha=0.12)
    _label_axis(bottom.xaxis, sweep.name, sweep.units, log=log)
    if log:
        low, high = bottom.get_xlim()
        decades = math.log10(high / low)
        bottom.xaxis.set_minor_formatter(EngFormatter(sep="") if decades < 1 else NullFormatter())


def _fit_y(ax: Axes, xlim: Tuple[float, float]) -> None:
    """Fit the y axis to the points inside `xlim` (matplotlib fits all)."""
    low, high = min(xlim), max(xlim)
    shown: List[npt.NDArray[np.float64]] = []
    for line in ax.get_lines():
        x = np.asarray(line.get_xdata(), dtype=np.float64)
        y = np.asarray(line.get_ydata(), dtype=np.float64)
        shown.append(y[(x >= low) & (x <= high) & np.isfinite(y)])
    y = np.concatenate(shown) if shown else np.zeros(0)
    if y.size:
        bottom, top = float(y.min()), float(y.max())
        margin = 0.05 * (top - bottom) or 0.05 * abs(top) or 1.0
        ax.set_ylim(bottom - margin, top + margin)
