"""Writes SPICE raw plots for tests and fuzz seeds: the layouts that the real
files of the corpus do not show (fastaccess, LTspice's double flag, UTF-16
Values text, ...), and damaged headers."""

from __future__ import annotations

import numpy as np

# How a variable's values are stored in a binary body.
F64, F32, C128 = "<f8", "<f4", "<c16"


def raw_plot(
    names: list[tuple[str, str]],
    data,
    *,
    flags: str = "real",
    body: str = "binary",
    sources: list[str] | None = None,
    fastaccess: bool = False,
    encoding: str = "ascii",
    plotname: str = "Transient Analysis",
    title: str = "karvo test",
    command: str | None = None,
    extra: tuple[str, ...] = (),
    points: int | None = None,
) -> bytes:
    """One plot: `names` are (name, type) pairs, `data` an array of shape
    (points, variables), real or complex. `sources` gives each variable's
    binary dtype (default float64, complex128 for complex data); `points`
    overrides the No. Points line; `extra` adds header lines before
    Variables:."""
    data = np.asarray(data)
    n = data.shape[1]
    complex_data = np.iscomplexobj(data)
    lines = [f"Title: {title}", "Date: Thu Jan  1 00:00:00 2026", f"Plotname: {plotname}", f"Flags: {flags}",
             f"No. Variables: {n}", f"No. Points: {len(data) if points is None else points}", *extra]
    if command is not None:
        lines.append(f"Command: {command}")
    lines.append("Variables:")
    lines += [f"\t{i}\t{name}\t{kind}" for i, (name, kind) in enumerate(names)]
    lines.append("Binary:" if body == "binary" else "Values:")
    head = ("\n".join(lines) + "\n").encode(encoding)
    if body != "binary":
        out = []
        for p, row in enumerate(data):
            cells = [f"{float(v.real)!r},{float(v.imag)!r}" if complex_data else repr(float(v)) for v in row]
            out.append(f"{p}\t\t{cells[0]}\n" + "".join(f"\t{c}\n" for c in cells[1:]))
        return head + "".join(out).encode(encoding)
    sources = sources or [C128 if complex_data else F64] * n
    columns = [np.asarray(data[:, j].real if s != C128 else data[:, j], dtype=s) for j, s in enumerate(sources)]
    if fastaccess:
        return head + b"".join(c.tobytes() for c in columns)
    rows = np.empty(len(data), dtype=[(f"v{j}", s) for j, s in enumerate(sources)])
    for j, c in enumerate(columns):
        rows[f"v{j}"] = c
    return head + rows.tobytes()
