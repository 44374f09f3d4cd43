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
from typing import NamedTuple, Union

from ._karvo import Psf, _read_raw

__all__ = ["RawPlot", "RawRun", "read_raw", "read_raw_plots"]

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
            stacklevel=3,
        )
        return [{} for _ in range(runs)]
    steps = parse_step_log(data)
    if len(steps) != runs:
        warnings.warn(
            f"{raw}: plot {plot} has {runs} runs, but {log.name} lists {len(steps)} .step lines: "
            "runs without parameters",
            UserWarning,
            stacklevel=3,
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
