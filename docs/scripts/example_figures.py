#!/usr/bin/env python3
"""The figures of the worked example (docs/example.md), drawn from the study
folder that ships in examples/rc_study, with the same calls the page shows.

    python docs/scripts/example_figures.py [--out DIR]

Needs matplotlib and xarray (pip install 'karvo[plot,xarray]').
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import karvo  # noqa: E402
from karvo import measure  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
STUDY = ROOT / "examples" / "rc_study"


def label(cap: float, res: float) -> str:
    return f"C = {cap * 1e12:g} pF, R = {res:g} Ω"


def bode(ac, bw, out: Path) -> None:
    """|out| in dB of every run, each run's bandwidth marked at -3 dB."""
    gain = measure.db20(ac["out"])
    fig, ax = plt.subplots(figsize=(7, 4.2), layout="constrained")
    for cap in ac["cap"].values:
        for res in ac["res"].values:
            line, = ax.semilogx(ac["freq"], gain.sel(cap=cap, res=res), marker="o", ms=3, label=label(cap, res))
            ax.plot(bw.sel(cap=cap, res=res), -3.0103, marker="x", ms=9, mew=2, color=line.get_color())
    ax.axhline(-3.0103, color="0.5", lw=0.8, ls="--")
    ax.annotate("-3 dB", (ac["freq"][0], -3.0103), xytext=(2, 4), textcoords="offset points", color="0.35")
    ax.set_xlabel("freq [Hz]")
    ax.set_ylabel("|out| [dB]")
    ax.set_title("rc_study, ac: each run's gain; × its bandwidth")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8, loc="lower left")
    fig.savefig(out, dpi=110)
    plt.close(fig)


def bandwidths(ac, bw, out: Path) -> None:
    """Measured bandwidths against the RC low-pass's 1/(2πRC)."""
    fig, ax = plt.subplots(figsize=(6, 4), layout="constrained")
    res = np.geomspace(ac["res"].min(), ac["res"].max(), 50)
    for cap in ac["cap"].values:
        line, = ax.loglog(ac["res"], bw.sel(cap=cap), "o", ms=7, label=f"measured, C = {cap * 1e12:g} pF")
        ax.loglog(res, 1 / (2 * math.pi * res * cap), color=line.get_color(), lw=1, label=f"1/(2πRC), C = {cap * 1e12:g} pF")
    ax.set_xlabel("res [Ω]")
    ax.set_ylabel("bandwidth [Hz]")
    ax.set_title("measure.bandwidth over the family")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    fig.savefig(out, dpi=110)
    plt.close(fig)


def steps(tran, tau, out: Path) -> None:
    """Each run's step response against time, and against time / RC."""
    fig, (left, right) = plt.subplots(1, 2, figsize=(9, 3.8), layout="constrained", sharey=True)
    x = np.linspace(0, 5.5, 100)
    right.plot(x, 1 - np.exp(-x), color="0.3", lw=1, label="1 - exp(-t/RC)", zorder=3)
    size = 14.0  # rings, each run's smaller than the one before: runs on one curve stay visible
    for cap in tran["cap"].values:
        for res in tran["res"].values:
            run = tran.sel(cap=cap, res=res)
            t, v = run["time"].values, run["out"].values
            keep = ~np.isnan(t)
            line, = left.plot(t[keep] * 1e6, v[keep], marker=".", ms=4, label=label(cap, res))
            right.plot(t[keep] / (cap * res), v[keep], marker="o", ms=size, mfc="none", ls="none", color=line.get_color())
            right.plot(tau.sel(cap=cap, res=res) / (cap * res), 1 - math.exp(-1), "x", ms=size, mew=1.5, color=line.get_color())
            size -= 2
    left.set_xlabel("time [µs]")
    left.set_ylabel("out [V]")
    left.set_title("each run on its own time points")
    left.legend(fontsize=7)
    right.set_xlabel("time / RC")
    right.set_title("against time / RC: one curve; × crossing of 1 - 1/e")
    right.legend(fontsize=8, loc="lower right")
    for ax in (left, right):
        ax.grid(True, alpha=0.3)
    fig.savefig(out, dpi=110)
    plt.close(fig)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "_static")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    study = karvo.open_results(STUDY)
    ac = study.to_xarray("ac")
    tran = study.to_xarray("tran", pad=True)
    bw = measure.bandwidth(ac["out"])
    tau = measure.cross(tran["out"], 1 - math.exp(-1))
    for name, draw in [
        ("example_bode.png", lambda p: bode(ac, bw, p)),
        ("example_bandwidth.png", lambda p: bandwidths(ac, bw, p)),
        ("example_steps.png", lambda p: steps(tran, tau, p)),
    ]:
        draw(args.out / name)
        print(f"wrote {args.out / name}")


if __name__ == "__main__":
    main()
