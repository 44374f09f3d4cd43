"""The runs of SPICE raw files: ``open_results`` on a raw file or a folder
of them.

A raw file is read whole when opened (its plots are known only then). Its
plots become analyses and runs:

- an analysis is named after its plot's Plotname (`karvo.raw.plot_kind`:
  ``tran``, ``ac``, ``dc``, ``op``, ...);
- a name that repeats in a file (a ``foreach`` or ``alter`` loop writes one
  plot per pass) makes runs: the k-th plot of each name belongs to run k, a
  stepped plot (LTspice ``.step``) counting each of its steps as one plot;
- a run's parameters: ``file``, the file's name, in a folder of several
  files; then its step's ``.step`` values, from the LTspice ``.log``; a run
  without step values is numbered instead, ``run`` = 1, 2, ..., wherever a
  file holds several such runs (a single run of a single file has no
  parameters);
- the family of an analysis spans the runs that hold it (and the files
  that could not be read).
"""

from __future__ import annotations

import os
from typing import Dict, List, Optional, Tuple

from ..raw import RawPlot, RawRun, looks_raw, plot_kind, read_raw_plots, run_data
from ._index import Analysis, Run, Scalar, unread_run

__all__ = ["raw_files", "raw_runs", "RUN", "FILE"]

# The parameters that number runs without step values, and name the file of
# each run of a folder.
RUN, FILE = "run", "file"
def raw_files(path: str) -> Optional[List[str]]:
    """The raw files `open_results` reads for `path`: `path` itself when it is
    a file that is one (named ``*.raw``, or beginning as raw files begin),
    the ``*.raw`` files of a folder in name order; None when there is none."""
    if os.path.isfile(path):
        return [path] if looks_raw(path) else None
    if not os.path.isdir(path):
        return None
    try:
        names = sorted(e.name for e in os.scandir(path) if e.name.lower().endswith(".raw") and e.is_file())
    except OSError:
        return None
    return [os.path.join(path, name) for name in names] or None


class _Piece:
    """One plot, or one step of a stepped plot, of a raw file."""

    def __init__(self, path: str, number: int, plot: RawPlot, run: RawRun, step: Optional[int]) -> None:
        self.path, self.number, self.plot, self.run, self.step = path, number, plot, run, step

    def analysis(self, kind: str) -> Analysis:
        psf = self.plot.psf
        sweeps = (psf.sweeps[0].name,) if psf.sweeps else ()
        properties: Dict[str, Scalar] = {"plot": self.number}
        if self.step is not None:
            properties.update(step=self.step, start=self.run.start, stop=self.run.stop)
        entry = Analysis(kind, kind, self.path, str(psf.header.get("Plotname", "")), sweeps, None, properties, None)
        entry.data = run_data(self.plot, self.run)
        return entry


def _file_runs(path: str, plots: List[RawPlot]) -> List[List[Tuple[str, _Piece]]]:
    """The runs of one file: the k-th plot (or step) of each analysis name
    in the k-th, each as (name, piece)."""
    pieces: Dict[str, List[_Piece]] = {}
    for number, plot in enumerate(plots, 1):
        kind = plot_kind(str(plot.psf.header.get("Plotname", "")))
        stepped = len(plot.runs) > 1 or "stepped" in str(plot.psf.header.get("Flags", "")).split()
        for step, run in enumerate(plot.runs, 1):
            pieces.setdefault(kind, []).append(_Piece(path, number, plot, run, step if stepped else None))
    count = max((len(p) for p in pieces.values()), default=0)
    return [[(kind, p[k]) for kind, p in pieces.items() if k < len(p)] for k in range(count)]


def raw_runs(files: List[str]) -> List[Run]:
    """The runs of the raw `files` (see the module's text). A file that cannot
    be read raises for a single file; in a folder it becomes a run of its own
    without analyses, its error said."""
    read: List[Tuple[str, List[List[Tuple[str, _Piece]]]]] = []
    runs: List[Run] = []
    for path in files:
        try:
            plots = read_raw_plots(path)
        except (OSError, ValueError) as e:
            if len(files) == 1:
                raise
            runs.append(unread_run(os.path.basename(path), {FILE: os.path.basename(path)}, path, e))
            continue
        read.append((path, _file_runs(path, plots)))
    # Runs without step values are numbered wherever a file holds several.
    numbered = any(sum(1 for here in own if not _steps(here)) > 1 for _, own in read)
    for path, own in read:
        for k, here in enumerate(own, 1):
            parameters: Dict[str, Scalar] = {FILE: os.path.basename(path)} if len(files) > 1 else {}
            steps = _steps(here)
            parameters.update(steps if steps else {RUN: k} if numbered else {})
            first = here[0][1]
            name = os.path.basename(path)
            if first.step is not None:
                name += f" step {first.step}"
            elif len(own) > 1:
                name += f" run {k}"
            analyses = {kind: piece.analysis(kind) for kind, piece in here}
            runs.append(Run(name, parameters, None, path, "passed", analyses=analyses))
    return runs


def _steps(here: List[Tuple[str, _Piece]]) -> Dict[str, Scalar]:
    """The step values of a run (those of its first step that has any)."""
    return next((dict(p.run.parameters) for _, p in here if p.run.parameters), {})
