#!/usr/bin/env python3
"""A windowed file of 5 GiB, written as a simulator that keeps psfbin's
32-bit offsets would write it (each offset beyond 4 GiB wrapped), then read
whole and through karvo.open.

    python3 bench/big_file.py [--dir FOLDER]     # needs 5.4 GB of free disk

psfbin stores every offset (container ends, the trailer's start) in 32 bits,
so no file beyond 4 GiB can say where its sections end; karvo refuses such a
file with a ValueError that says so, and this script shows it. (A PSF ASCII
file has no offsets and has no such limit.)
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import karvo
from karvo.testing.shapes import windowed_file

GiB = 1 << 30


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dir", default=None, help="folder for the file (default: system temp)")
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="karvo-big-", dir=args.dir) as folder:
        path = Path(folder) / "big.psf"
        t = time.perf_counter()
        # 64 traces of 10,000,000 points in frames of 511: 5.2 GB.
        windowed_file(path, 10_000_000, 64, 511, wrap_offsets=True)
        size = path.stat().st_size
        print(f"wrote {size / GiB:.2f} GiB in {time.perf_counter() - t:.0f} s: {path}")
        for what, read in [("read_psf", lambda: karvo.read_psf(path)),
                           ("karvo.open", lambda: karvo.open(path).read(["v0", "v63"]))]:  # fmt: skip
            try:
                read()
                print(f"{what}: read, which it must not: the offsets beyond 4 GiB were wrapped")
                sys.exit(1)
            except ValueError as e:
                print(f"{what}: ValueError: {e}")


if __name__ == "__main__":
    main()
