#!/usr/bin/env python3
"""The figures of `karvo plot` in the README and the docs, drawn from
examples/ by the command itself.

    python docs/scripts/plot_figures.py [--out DIR]

Needs matplotlib (pip install 'karvo[plot]').
"""

from __future__ import annotations

import argparse
from pathlib import Path

from karvo.cli import main as karvo

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
FIGURES = {
    "plot_ac.png": [str(EXAMPLES / "rc_ac.psf"), "out"],
    "plot_family.png": [str(EXAMPLES / "rc_study"), "--analysis", "ac", "out"],
    "plot_tran_family.png": [str(EXAMPLES / "rc_study"), "--analysis", "tran", "out"],
}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "_static")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    for name, arguments in FIGURES.items():
        status = karvo(["plot", *arguments, "-o", str(args.out / name)])
        if status:
            raise SystemExit(status)
        print(f"wrote {args.out / name}")


if __name__ == "__main__":
    main()
