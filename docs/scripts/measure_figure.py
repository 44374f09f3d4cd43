#!/usr/bin/env python3
"""The figure of the measurements page (docs/user_guide/measure.md): the
shared 9-run study measured with karvo.measure.

    python docs/scripts/measure_figure.py [--study DIR] [--out PNG]

Needs matplotlib (pip install 'karvo[plot]') and the study folder, by default
../shared/corpus/runs/tran_dc_ac_param beside the project.
"""

from __future__ import annotations

import argparse
import warnings
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import karvo  # noqa: E402
from karvo import measure  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
STUDY = ROOT.parent / "shared" / "corpus" / "runs" / "tran_dc_ac_param"
OUT = ROOT / "docs" / "_static" / "measure_study.png"
COLORS = ["#1b6ca8", "#d1495b", "#2e933c"]  # one per capacitor
STYLES = ["-", "--", ":"]  # one per resistor


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--study", type=Path, default=STUDY)
    parser.add_argument("--out", type=Path, default=OUT)
    args = parser.parse_args()

    study = karvo.open_results(args.study)
    ac = study.to_xarray("ac")
    tran = study.to_xarray("tran", pad=True)
    bw = measure.bandwidth(ac["vo2"])
    gain = measure.db20(ac["vo2"])
    # each run's step ends at its dc gain: the ac magnitude at the lowest frequency
    final = measure.mag(ac["vo2"]).isel(freq=0, drop=True)
    edge = measure.cross(tran["vin"], 0.5)
    window = {"stop": 50e-9}  # the input pulse falls at 50 ns
    low = measure.cross(tran["vo2"], 0.1 * final, **window)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # slow runs: no 90 %, no settling before 50 ns
        high = measure.cross(tran["vo2"], 0.9 * final, **window)
        rise = measure.rise_time(tran["vo2"], bottom=0, top=final, **window)
        settle = measure.settling_time(tran["vo2"], 1, initial=0, final=final, start=edge, **window)

    plt.rcParams.update({"axes.titlesize": 10, "axes.labelsize": 9, "legend.fontsize": 8})
    fig, axes = plt.subplots(2, 2, figsize=(11, 8), layout="constrained")
    (a, b), (c, d) = axes
    for i, cap in enumerate(ac.cap.values):
        for j, res in enumerate(ac.res.values):
            style = {"color": COLORS[i], "linestyle": STYLES[j]}
            cell = {"cap": cap, "res": res}
            a.semilogx(ac.freq, gain.sel(cell), **style)
            a.plot(bw.sel(cell), gain.sel(cell)[0] - 3, "o", color=COLORS[i], markersize=5)
            run = tran.sel(cell)
            c.plot(run.time * 1e9, run["vo2"], **style)
            for level, at in ((0.1, low), (0.9, high)):
                c.plot(at.sel(cell) * 1e9, level * final.sel(cell), "o", color=COLORS[i], markersize=4)
    a.set(title="|vo2| (ac); dots: bandwidth(ac['vo2']), 3 dB down", xlabel="frequency [Hz]",
          ylabel="magnitude [dB]", ylim=(-60, 0))
    colors = [plt.Line2D([], [], color=color, label=f"{cap * 1e12:g} pF") for color, cap in zip(COLORS, ac.cap.values)]
    styles = [plt.Line2D([], [], color="0.3", linestyle=style, label=f"{res / 1e3:g} kΩ")
              for style, res in zip(STYLES, ac.res.values)]
    a.legend(handles=colors + styles, ncol=2, loc="lower left", title="cap, res\n(equal RC: same curve)")
    a.grid(True, which="both", alpha=0.3)

    bw.plot.line(ax=b, x="res", hue="cap", marker="o", xscale="log", yscale="log", add_legend=False)
    for line, color in zip(b.get_lines(), COLORS):
        line.set_color(color)
    b.legend([f"{cap * 1e12:g} pF" for cap in bw.cap.values], title="cap")
    b.set(title="bw = bandwidth(ac['vo2']): cap × res; bw.plot.line(x='res', hue='cap')", xlabel="res [Ω]")

    for level in (0.1, 0.9):
        c.axhline(level / 3, color="0.6", linewidth=0.7, linestyle=":")
    c.axvline(50, color="0.6", linewidth=0.7)
    c.set(title="vo2 (tran, pad=True: each run on its own points); dots: 10 and 90 %",
          xlabel="time [ns]", ylabel="vo2 [V]", xlim=(0, 100))

    for i, cap in enumerate(rise.cap.values):
        d.plot(rise.res, rise.sel(cap=cap) * 1e9, "o-", color=COLORS[i])
        d.plot(settle.res, settle.sel(cap=cap) * 1e9, "s--", color=COLORS[i])
    d.set(xscale="log", yscale="log", xlabel="res [Ω]", ylabel="time [ns]",
          title="rise_time (10-90 %) and settling_time(tol=1) before 50 ns;\nno point: the run never gets there")
    d.legend(handles=[plt.Line2D([], [], color="0.3", marker="o", label="rise time"),
                      plt.Line2D([], [], color="0.3", marker="s", linestyle="--", label="settling time, 1 %")],
             loc="lower right")
    for ax in (b, d):
        ax.set_xticks(bw.res.values, [f"{r:g}" for r in bw.res.values])
        ax.minorticks_off()
        ax.grid(True, which="major", alpha=0.3)
    d.set_yticks([1, 2, 5, 10, 20, 50], ["1", "2", "5", "10", "20", "50"])
    d.set_ylim(0.8, 70)
    c.grid(True, alpha=0.3)

    fig.suptitle("karvo.measure over the 9-run study runs/tran_dc_ac_param (cap × res): one call per measurement",
                 fontsize=11)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(args.out, dpi=110)
    print(f"wrote {args.out}")
    np.set_printoptions(precision=4)
    print("bandwidth [Hz]:", bw.values, "rise [s]:", rise.values, "settle [s]:", settle.values, sep="\n")


if __name__ == "__main__":
    main()
