"""SPICE raw files: the results of ngspice, Xyce and LTspice.

``read_raw(path)`` reads every plot of a raw file (binary or ``Values:``
text, ASCII or UTF-16LE headers) into one :class:`Psf` per plot.
``read_raw_plots(path)`` gives the same plots with their runs: an LTspice
``.step`` run writes one plot whose sweep starts again for each step, and the
step parameters are the ``.step`` lines of the ``.log`` file beside it.
"""

from __future__ import annotations

import os
import re
import warnings
from pathlib import Path
from typing import Any, Dict, List, Mapping, NamedTuple, Union

from ._errors import caller_level
from ._karvo import Psf, _read_raw

__all__ = [
    "RawPlot", "RawRun", "RawSignal", "RawPart", "read_raw", "read_raw_plots", "run_data", "plot_kind", "begins_as_raw",
    "looks_raw",
]

_PathLike = Union[str, "os.PathLike[str]"]


class RawRun(NamedTuple):
    """One run of a plot: its points ``start:stop`` and, for a step of an
    LTspice ``.step`` run, the step's parameters (``{}`` otherwise)."""

    start: int
    stop: int
    parameters: dict[str, float | str]


class RawPlot(NamedTuple):
    """A plot of a raw file, and its runs (one for a plot that is not stepped)."""

    psf: Psf
    runs: tuple[RawRun, ...]


class RawSignal(NamedTuple):
    """A sweep, trace or value of one run of a stepped plot: a view of the
    plot's samples over the run's points (a value: the run's one sample)."""

    name: str
    data: Any
    properties: Mapping[str, Union[str, int, float]]

    @property
    def units(self) -> Union[str, None]:
        units = self.properties.get("units")
        return units if isinstance(units, str) else None


class RawPart(NamedTuple):
    """One run of a stepped plot, shaped as a :class:`Psf` is (``header``,
    ``sweeps``, ``traces``, ``values``); its header's ``No. Points`` is the
    run's. ``plot`` is the whole plot."""

    header: Dict[str, Union[str, int, float]]
    sweeps: List[RawSignal]
    traces: List[RawSignal]
    values: List[RawSignal]
    plot: Psf


def run_data(plot: RawPlot, run: RawRun) -> Union[Psf, RawPart]:
    """The data of `run` of `plot`: the plot's own `Psf` when the run is the
    whole plot, else a `RawPart` of views over the run's points."""
    psf = plot.psf
    if (run.start, run.stop) == (0, int(psf.header["No. Points"])):
        return psf
    cut = slice(run.start, run.stop)

    def part(signals: Any) -> List[RawSignal]:
        return [RawSignal(s.name, s.data[cut], s.properties) for s in signals]

    header = dict(psf.header)
    header["No. Points"] = run.stop - run.start
    values = []
    for v in psf.values:
        data: Any = v.data  # an array: a stepped operating point holds one point per step
        values.append(RawSignal(v.name, data[run.start].item() if run.stop - run.start == 1 else data[cut], v.properties))
    return RawPart(header, part(psf.sweeps), part(psf.traces), values, psf)


# How an analysis is named after its plot's Plotname: the first of these
# words it holds (any case) gives the name; a Plotname of none keeps its own.
KINDS = (
    ("transient", "tran"), ("ac analysis", "ac"), ("dc transfer", "dc"), ("operating point", "op"),
    ("integrated noise", "noise_total"), ("noise", "noise"), ("transfer function", "tf"), ("sensitivity", "sens"),
    ("pole-zero", "pz"), ("distortion", "disto"), ("s-parameter", "sp"),
)  # fmt: skip


def plot_kind(plotname: str) -> str:
    """The analysis name of a plot: ``tran``, ``ac``, ``dc``, ``op``,
    ``noise``, ``noise_total``, ``tf``, ``sens``, ``pz``, ``disto``, ``sp``,
    or the Plotname itself (stripped) for any other."""
    low = plotname.lower()
    for words, kind in KINDS:
        if words in low:
            return kind
    return plotname.strip() or "plot"


# How a raw file begins: its Title or Plotname line, in 8-bit text or UTF-16LE
# (after a byte order mark, if any).
_STARTS = tuple(word.encode(enc) for word in ("Title:", "Plotname:") for enc in ("ascii", "utf-16-le"))


def begins_as_raw(head: bytes) -> bool:
    """Whether the first bytes of a file (24 suffice) begin as raw files do."""
    for mark in (b"\xef\xbb\xbf", b"\xff\xfe"):
        head = head[len(mark) :] if head.startswith(mark) else head
    return head.startswith(_STARTS)


def looks_raw(path: str) -> bool:
    """Whether the file `path` is taken for a raw file: named ``*.raw``, or
    beginning as raw files begin."""
    if path.lower().endswith(".raw"):
        return True
    try:
        with open(path, "rb") as f:
            return begins_as_raw(f.read(24))
    except OSError:
        return False


def read_raw(path: _PathLike) -> list[Psf]:
    """Read a SPICE raw file: one :class:`Psf` per plot, in file order.

    A plot's first variable is its sweep (time, frequency, the swept source)
    and the others its traces; a plot of one point (an operating point) gives
    one value per variable (a plot named ``Operating Point`` of several
    points, as LTspice writes a stepped ``.op``, one array per variable). The header holds the plot's header lines
    (``Title``, ``Date``, ``Plotname``, ``Flags``, ``No. Variables``, ``No.
    Points``, ...). Malformed files raise ``ValueError`` naming the line or
    byte offset.
    """
    return [psf for psf, _ in _read_raw(path)]


def read_raw_plots(path: _PathLike) -> list[RawPlot]:
    """Read a SPICE raw file as :func:`read_raw` does, each plot with its runs.

    A plot flagged ``stepped`` (LTspice's ``.step``) holds one run per step,
    one after another: a run starts where the sweep is back at its first
    value (each point of a stepped operating point is a run). The
    parameters of each step come from the ``.step`` lines of the
    LTspice ``.log`` file of the same name beside the raw file; where that
    file is missing, or lists another number of steps, the runs have no
    parameters and a ``UserWarning`` says why.
    """
    plots = _read_raw(path)
    out = []
    for number, (psf, starts) in enumerate(plots, 1):
        points = int(psf.header["No. Points"])
        if not starts:
            out.append(RawPlot(psf, (RawRun(0, points, {}),)))
            continue
        steps = _step_parameters(Path(os.fspath(path)), number, len(starts))
        bounds = [*starts, points]
        out.append(RawPlot(psf, tuple(RawRun(bounds[i], bounds[i + 1], steps[i]) for i in range(len(starts)))))
    return out


def _step_parameters(raw: Path, plot: int, runs: int) -> list[dict[str, float | str]]:
    log = raw.with_suffix(".log")
    try:
        data = log.read_bytes()
    except OSError:
        warnings.warn(
            f"{raw}: plot {plot} is stepped ({runs} runs), but {log.name} cannot be read: runs without parameters",
            UserWarning,
            stacklevel=caller_level(),
        )
        return [{} for _ in range(runs)]
    steps = parse_step_log(data)
    if len(steps) != runs:
        warnings.warn(
            f"{raw}: plot {plot} has {runs} runs, but {log.name} lists {len(steps)} .step lines: "
            "runs without parameters",
            UserWarning,
            stacklevel=caller_level(),
        )
        return [{} for _ in range(runs)]
    return steps


# SPICE scale suffixes; letters after one (units) are ignored, as SPICE does.
_SCALES = {"f": 1e-15, "p": 1e-12, "n": 1e-9, "u": 1e-6, "\u00b5": 1e-6, "m": 1e-3,
           "k": 1e3, "meg": 1e6, "g": 1e9, "t": 1e12, "mil": 25.4e-6}
_NUMBER = re.compile(r"([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)(meg|mil|[fpnumkgt\u00b5])?[a-z]*", re.IGNORECASE)


def _step_value(text: str) -> float | str:
    found = _NUMBER.fullmatch(text)
    if found is None:
        return text
    scale = found.group(2)
    return float(found.group(1)) * (_SCALES[scale.lower()] if scale else 1.0)


def parse_step_log(data: bytes) -> list[dict[str, float | str]]:
    """The steps of an LTspice ``.log`` (UTF-16LE or 8-bit text): one dict
    per ``.step name=value ...`` line, in file order, values as floats (SPICE
    suffixes such as ``k`` and ``meg`` applied) or, where not numbers, text."""
    if data.startswith(b"\xff\xfe") or (len(data) > 1 and data[1:2] == b"\x00"):
        text = data.decode("utf-16-le", errors="replace").lstrip("\ufeff")
    else:
        text = data.decode("utf-8", errors="replace")
    steps = []
    for line in text.splitlines():
        words = line.split()
        if not words or words[0].lower() != ".step":
            continue
        step: dict[str, float | str] = {}
        for word in words[1:]:
            name, equals, value = word.partition("=")
            if equals:
                step[name] = _step_value(value)
        steps.append(step)
    return steps
