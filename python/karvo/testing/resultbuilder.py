"""Writes result folders for the tests: the PSF ASCII index files a simulator
and its front end leave beside the data files, laid out as real folders are.

    logFile          HEADER, the analysisInst STRUCT type, one value per analysis:
                     "name" "analysisInst" ( type file "PSF" parent (sweeps) description )
                     PROP( "data_type" ... [sweep_tree_type, parent variable's value] )
    runObjFile       the runObject STRUCT type, one value per tree node:
                     "name" "runObject" ( (logs) parent (sweep variables) ) [PROP( values )]
    variables_file   "name" "variable" ( value ) PROP( )
    logStatus        "time<TAB>analysis<TAB>START|PASS|FAIL" lines (the
                     simulator's +logstatus)
    spectre.out      the simulator's own log, ending with its closing line
                     ("spectre completes with ..." or "... terminated
                     prematurely ...")
    .simDone         empty, left by the front end's run script when the run ended

Folders (each writer returns what it wrote, for the tests to check against):

    single_run       one psf folder: ac, tran, dcOp, with its runObjFile "Run1"
    netlist_sweep    one psf folder whose dc analysis sits in nested netlist
                     sweeps: sweep1 over va, sweep2 over vb
    study            many runs: "numbered" as N/test/psf with the tree in
                     psf/test/psf/runObjFile, or "named" (an older front end)
                     as one folder per run named after its values, each with
                     a psf -> . link and no .simDone, the tree in
                     psf/runObjFile; a failed run, a damaged file and a file
                     of another kind may be among them
    command_line_run a NAME.raw folder as the simulator run from the command
                     line leaves it: logFile and data files only, its log
                     NAME.log beside the folder

Data files are written by psfbuilder.
"""

from __future__ import annotations

import math
import os
import re
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

from . import psfbuilder as pb

STAMP = "Jan 11 23:02:59 2017"


def quote(s: str) -> str:
    """A quoted name as simulators print it: a backslash is doubled only where
    the reader would take it for an escape (before ", \\, n, t, r or the
    closing quote); MN63\\&48 is printed as it is."""
    return '"' + re.sub(r'\\(?=["\\ntr]|$)', r"\\\\", s).replace('"', '\\"') + '"'


def text_value(x) -> str:
    if isinstance(x, str):
        return quote(x)
    if isinstance(x, float):
        return f"{x:e}"
    return str(x)


def printed(x) -> str:
    """A value as logFile PROP blocks print it: floats to six significant
    digits (-7.00000, 3.66667, 1.00000e-12), the exact value being in the
    data files."""
    return f"{x:#.6g}" if isinstance(x, float) else text_value(x)


def prop_block(props: Sequence[tuple], opener: str = "PROP(", indent: str = "", number=text_value) -> str:
    lines = [opener] + [f"{indent}{quote(k)} {number(v)}" for k, v in props] + [")"]
    return "\n".join(lines)


def strings(items: Sequence[str], multiline: bool = False) -> str:
    if multiline and len(items) > 1:
        return "(\n" + "\n".join(quote(s) for s in items) + "\n)"
    return "(" + " ".join(quote(s) for s in items) + ")"


# ---------------------------------------------------------------- index files


@dataclass
class Entry:
    """One analysis of a logFile."""

    name: str
    kind: str
    file: str
    parent: str = ""
    sweep: Sequence[str] = ()
    description: str = ""
    props: Sequence[tuple] = ()


def log_file(entries: Sequence[Entry]) -> str:
    out = [
        "HEADER",
        '"PSFversion" "1.00"',
        '"Log Generator" "drlLog rev. 1.0"',
        f'"Log Time Stamp" "Wed {STAMP}"',
        '"simulator" "spectre"',
        '"measdgt" 0',
        "TYPE",
        '"analysisInst" STRUCT(',
        '"analysisType" STRING *',
        '"dataFile" STRING *',
        '"format" STRING *',
        '"parent" STRING *',
        '"sweepVariable" ARRAY ( * ) STRING *',
        '"description" STRING *',
        ")",
        "VALUE",
    ]
    for e in entries:
        out += [f'{quote(e.name)} "analysisInst" (', quote(e.kind), quote(e.file), '"PSF"', quote(e.parent),
                strings(e.sweep), quote(e.description)]
        out.append(") " + prop_block(e.props, number=printed) + "\n" if e.props else ")")
    return "\n".join(out + ["END", ""])


@dataclass
class Node:
    """One node of a run tree; a leaf names its run's logFile in `logs`."""

    name: str
    parent: str = ""
    sweep: Sequence[str] = ()
    logs: Sequence[str] = ("",)
    props: Sequence[tuple] = ()


def run_tree(nodes: Sequence[Node], opener: str = "PROP(", header: Sequence[tuple] = ()) -> str:
    """A runObjFile; `opener` is how its PROP blocks begin (older front ends
    write "PROP (")."""
    out = ["HEADER", '"PSFversion" "1.00"', '"Run Generator" "drlRun rev. 1.0"', f'"Run Time Stamp" "{STAMP}"']
    out += [f"{quote(k)} {text_value(v)}" for k, v in header]
    out += [
        "TYPE",
        '"runObject" STRUCT(',
        '"logName" ARRAY( * ) STRING *',
        '"parent" STRING *',
        '"sweepVariable" ARRAY( * ) STRING *',
        ') PROP( "key" "runObject" )',
        "VALUE",
    ]
    for n in nodes:
        out += [f'{quote(n.name)} "runObject" (', strings(n.logs, multiline=True), quote(n.parent), strings(n.sweep)]
        out.append(") " + prop_block(n.props, opener, indent=" ") + "\n" if n.props else ")\n")
    return "\n".join(out + ["END", ""])


def variables_file(values: Dict[str, float], after_end: str = "") -> str:
    """`after_end`: text a writer left after END (a real one ends "END\\n.s")."""
    out = ["HEADER", '"PSFversion" "1.00"', f'"Time Stamp" "{STAMP}"', "TYPE", '"variable" STRUCT(',
           '"value" FLOAT DOUBLE', ') PROP( "key" "element" )', "VALUE"]
    out += [f'{quote(k)} "variable" ( {v!r} ) PROP( )' for k, v in values.items()]
    return "\n".join(out + ["END", ""]) + after_end


def log_status(analyses: Sequence[str], failed: Sequence[str] = (), started: Sequence[str] = ()) -> str:
    """`started` analyses have a START line only (the run stopped in them)."""
    lines = []
    for name in analyses:
        lines.append(f"11:02:57 PM, Wed Jan 11, 2017\t{name}\tSTART")
        if name not in started:
            lines.append(f"11:02:57 PM, Wed Jan 11, 2017\t{name}\t{'FAIL' if name in failed else 'PASS'}")
    return "\n".join(lines) + "\n"


def simulator_log(end: str = "completed", errors: int = 0) -> str:
    """The end of the simulator's log (spectre.out): `end` is "completed",
    "terminated" (a fatal error) or "cut" (the log stops mid-run)."""
    out = [
        "spectre (ver. 15.1.0.644.isr13 -- 11 Jan 2017).",
        "Simulating `input.scs' on host at 11:02:56 PM, Wed Jan 11, 2017 (process id: 4242).",
        "",
        "Time accumulated: CPU = 670.897 ms, elapsed = 830.704 ms.",
        "Peak resident memory used = 72.5 Mbytes.",
        "",
    ]
    if end == "cut":
        return "\n".join(out + ["    tran: time = 10 ns      (10 %), step = 100 ps     (1 %)", ""])
    if end == "terminated":
        out += ["ERROR (SPECTRE-16080): Fatal error found by spectre.", "",
                "spectre terminated prematurely due to fatal error.", ""]
    out += [
        "Aggregate audit (11:02:57 PM, Wed Jan 11, 2017):",
        "Time used: CPU = 723 ms, elapsed = 895 ms, util. = 80.7%.",
        "Simulation started at: 11:02:56 PM, Wed Jan 11, 2017, ended at: 11:02:57 PM, Wed Jan 11, 2017, "
        "with elapsed time (wall clock): 895 ms.",
    ]
    if end == "completed":
        plural = "error" if errors == 1 else "errors"
        out.append(f"spectre completes with {errors} {plural}, 0 warnings, and 0 notices.")
    return "\n".join(out + [""])


# ---------------------------------------------------------------- data files

FLOAT_SWEEP = pb.TypeDef(10, "sweep", pb.FLOAT64)
NODE = pb.TypeDef(11, "V", pb.FLOAT64, props=[("key", "node"), ("units", "V")])
NODE_AC = pb.TypeDef(12, "V", pb.COMPLEX, props=[("key", "node"), ("units", "V")])
NOISE = pb.struct_type(13, "noise", [("total", pb.FLOAT64), ("R1", pb.FLOAT64)])


def header(analysis: str, **more) -> list:
    return [("PSFversion", "1.1"), ("simulator", "spectre"), ("analysis type", analysis), *more.items()]


def swept_file(analysis: str, sweep: str, xs: Sequence[float], traces: Dict[str, Sequence], kind=NODE) -> bytes:
    """A swept file: the sweep `sweep` over `xs` and one trace per entry of
    `traces` (floats, complex numbers, or tuples for the noise struct)."""
    types = [FLOAT_SWEEP, NODE, NODE_AC, NOISE]
    encode = {pb.FLOAT64: pb.f64, pb.COMPLEX: pb.c128, pb.STRUCT: lambda t: b"".join(pb.f64(x) for x in t)}[
        kind.datatype
    ]
    points = {1: [pb.f64(x) for x in xs]}
    decls = []
    for k, (name, values) in enumerate(traces.items(), 2):
        points[k] = [encode(v) for v in values]
        decls.append(pb.Decl(k, name, kind.id))
    return pb.build(
        pb.SWEPT,
        header=header(analysis),
        types=types,
        sweeps=[pb.Decl(1, sweep, FLOAT_SWEEP.id, props=[("units", "Hz" if sweep == "freq" else "s")])],
        traces=decls or None,
        value=pb.Swept(pb.swept_records(points, list(points))),
    )


def op_file(values: Dict[str, float]) -> bytes:
    entries = [pb.Entry(k, name, NODE.id, pb.f64(v)) for k, (name, v) in enumerate(values.items(), 1)]
    return pb.build(pb.NONSWEPT, header=header("dc"), types=[NODE], value=pb.NonSwept(entries))


def rc(r: float, c: float, n_tran: int) -> Dict[str, Tuple[Entry, bytes]]:
    """ac, noise, tran and dc operating point of an RC low-pass: what one run holds."""
    pole = 1 / (2 * math.pi * r * c)
    freqs = [10 ** (3 + k / 2) for k in range(9)]
    times = [k * r * c / 4 for k in range(n_tran)]
    ac = {"in": [1 + 0j] * len(freqs), "out": [1 / (1 + 1j * f / pole) for f in freqs]}
    noise = {"out": [(4e-21 * r / (1 + (f / pole) ** 2), 4e-21 * r) for f in freqs]}
    tran = {"in": [1.0] * n_tran, "out": [1 - math.exp(-t / (r * c)) for t in times]}
    swept = [("data_type", "swept_scalar")]
    return {
        "ac": (Entry("ac-ac", "ac", "ac.ac", sweep=("freq",), description="AC Analysis `ac'", props=swept),
               swept_file("ac", "freq", freqs, ac, NODE_AC)),
        "noise": (Entry("noise-noise", "noise", "noise.noise", sweep=("freq",), description="Noise Analysis `noise'",
                        props=swept),
                  swept_file("noise", "freq", freqs, noise, NOISE)),
        "tran": (Entry("tran-tran", "tran", "tran.tran.tran", sweep=("time",), description="Transient Analysis `tran'",
                       props=swept),
                 swept_file("tran", "time", times, tran)),
        "dcOp": (Entry("dcOp-dc", "dc", "dcOp.dc", description="DC Analysis `dcOp'", props=[("data_type", "scalar")]),
                 op_file({"in": 1.0, "out": 0.5, "I(R1)": 0.5 / r})),
    }


# ---------------------------------------------------------------- folders


def write_run(
    folder: Path,
    analyses: Dict[str, Tuple[Entry, Optional[bytes]]],
    variables: Dict[str, float],
    failed: Sequence[str] = (),
    done: bool = True,
    run_obj: bool = True,
    log: Optional[str] = None,
    status: bool = True,
) -> None:
    """A psf folder: the data files (None: left out), logFile, logStatus
    (when `status`), variables_file, .simDone when `done`, a runObjFile of
    one run, and the simulator's log spectre.out ending as `log` says
    ("completed", "terminated", "cut"; None: no log)."""
    folder.mkdir(parents=True, exist_ok=True)
    for entry, data in analyses.values():
        if data is not None:
            (folder / entry.file).write_bytes(data)
    (folder / "logFile").write_text(log_file([e for e, _ in analyses.values()]))
    if status:
        (folder / "logStatus").write_text(log_status(list(analyses), failed))
    (folder / "variables_file").write_text(variables_file(variables))
    if run_obj:
        (folder / "runObjFile").write_text(run_tree([Node("Run1", logs=("logFile", "artistLogFile"))]))
    if log is not None:
        (folder / "spectre.out").write_text(simulator_log(log, errors=len(failed)))
    if done:
        (folder / ".simDone").write_bytes(b"")


def command_line_run(folder: Path, name: str = "input", end: Optional[str] = "completed") -> Path:
    """What the simulator run from the command line (``spectre input.scs``)
    leaves in `folder`: the folder NAME.raw of data files and logFile, and
    its log NAME.log beside it (`end` as for `simulator_log`; None: no log).
    Returns the NAME.raw folder."""
    raw = folder / f"{name}.raw"
    analyses = rc(1e3, 1e-9, 12)
    raw.mkdir(parents=True)
    for entry, data in analyses.values():
        (raw / entry.file).write_bytes(data)
    (raw / "logFile").write_text(log_file([e for e, _ in analyses.values()]))
    if end is not None:
        (folder / f"{name}.log").write_text(simulator_log(end))
    return raw


def single_run(folder: Path, r: float = 1e3, c: float = 1e-9) -> Path:
    """A run folder with its psf folder below; returns the psf folder."""
    psf = folder / "psf"
    write_run(psf, rc(r, c, 12), {"r": r, "c": c, "temp": 27.0})
    return psf


@dataclass
class Leaf:
    values: Dict[str, float]  # the sweep tree's values leading to it
    file: Path


def netlist_sweep(folder: Path, va: Sequence[float], vb: Sequence[float], props: bool = True) -> List[Leaf]:
    """A psf folder whose dc analysis dc1 runs inside "sweep1" over va and,
    inside that, "sweep2" over vb. The parents' files hold their sweep values
    (no traces); with `props`, each child's PROP gives its parent variable's
    value, else only the parents' files tell them."""
    v1 = [0.0, 0.5, 1.0, 1.5]
    node = [("sweep_tree_type", "sweepNode"), ("data_type", "swept_scalar")]
    leaf_props = [("data_type", "swept_scalar"), ("sweep_tree_type", "leafNode")]
    top = Entry("sweep1_dc1-sweep", "sweep", "sweep1_dc1.sweep", sweep=("va",), props=node)
    analyses: Dict[str, Tuple[Entry, Optional[bytes]]] = {
        "sweep1": (top, swept_file("sweep", "va", [a for a in va for _ in vb], {})),
    }
    leaves = []
    for i, a in enumerate(va):
        middle = Entry(f"sweep1-{i:03d}_sweep2_dc1-sweep", "sweep", f"sweep1-{i:03d}_sweep2_dc1.sweep",
                       parent=top.name, sweep=("vb",), props=node + ([("va", a)] if props else []))
        analyses[middle.name] = (middle, swept_file("sweep", "vb", list(vb), {}))
        for j, b in enumerate(vb):
            name = f"sweep1-{i:03d}_sweep2-{j:03d}_dc1"
            entry = Entry(f"{name}-dc", "dc", f"{name}.dc", parent=middle.name, sweep=("v1",),
                          description=f"DC Analysis `{name}'", props=leaf_props + ([("vb", b)] if props else []))
            out = {"out": [a * x + b for x in v1], "I(R1)": [a - b * x for x in v1]}
            analyses[entry.name] = (entry, swept_file("dc", "v1", v1, out))
            leaves.append(Leaf({"va": a, "vb": b}, folder / entry.file))
    write_run(folder, analyses, {"va": va[0], "vb": vb[0]})
    status = folder / "logStatus"
    status.write_text(log_status(["sweep1"]))
    return leaves


@dataclass
class StudyRun:
    parameters: Dict[str, float]
    folder: Path  # its psf folder
    # "failed": FAIL of ac and tran, a shorter tran file and no other data file;
    # "damaged": a cut ac file; "wrong kind": its ac entry names an operating point
    broken: Optional[str] = None
    files: Dict[str, Path] = field(default_factory=dict)  # analysis -> data file


def study(
    folder: Path,
    layout: str,
    first: Sequence[float],
    second: Sequence[float],
    failed: Optional[int] = None,
    damaged: Optional[int] = None,
    kinds: Sequence[str] = ("ac", "noise", "tran", "dcOp"),
    wrong: Optional[int] = None,
    wrong_with: str = "dcOp",
) -> Tuple[Path, List[StudyRun]]:
    """A study over two parameters (`first` outer, `second` inner); run k (in
    tree order) is the failed, damaged or wrong one. Returns the top folder
    and the runs in tree order.

    "numbered": runs N/test/psf, numbered second-parameter first so that run
    numbers do not follow the tree; the tree psf/test/psf/runObjFile with
    Corner, dataDir and netlistDir on its leaves.
    "named": runs in folders named "P1=x,P2=y" with a psf -> . link and no
    .simDone (as an older front end leaves them); the tree psf/runObjFile,
    written with "PROP (".
    `kinds`: the analyses of each run (of those `rc` writes); the wrong
    run's ac file holds its `wrong_with` analysis instead.
    """
    p1, p2 = ("cap", "res") if layout == "numbered" else ("VDC1", "VDC2")
    combos = [(a, b) for a in first for b in second]
    numbers = {combo: k for k, combo in enumerate(sorted(combos, key=lambda ab: (ab[1], ab[0])), 1)}
    if layout == "numbered":
        index = folder / "psf" / "test" / "psf"
        up = "../../../"
    else:
        index = folder / "psf"
        up = "../"
    middle = {a: Node(f"{p1}={a}", parent="Root", sweep=(p2,), props=[(p1, a)]) for a in first}
    leaves: Dict[Tuple[float, float], Node] = {}
    runs = []
    for k, (a, b) in enumerate(combos):
        if layout == "numbered":
            where = f"{numbers[a, b]}/test"
            run_folder = folder / where / "psf"
            logs = (f"{up}{where}/psf/logFile", f"{up}{where}/psf/artistLogFile")
            props = [("Corner", "nom"), ("netlistDir", f"{up}{where}/netlist"), ("dataDir", f"{up}{where}"), (p2, b)]
        else:
            where = f"{p1}={a:g},{p2}={b:g}"
            run_folder = folder / where
            logs = (f"{up}{where}/psf/logFile",)
            props = [(p2, b)]
        leaves[a, b] = Node(f"{p1}={a},{p2}={b}", parent=f"{p1}={a}", logs=logs, props=props)
        broken = "failed" if k == failed else "damaged" if k == damaged else "wrong kind" if k == wrong else None
        r, c = (b, a) if layout == "numbered" else (1e3 * (1 + b), 1e-9 * (1 + a))
        analyses = rc(r, c, 8 + 3 * k)
        analyses = {n: analyses[n] for n in kinds}
        run = StudyRun({p1: a, p2: b}, run_folder, broken, {n: run_folder / e.file for n, (e, _) in analyses.items()})
        if broken == "failed":
            # The transient stopped early: its file holds the points up to there.
            partial = {n: (e, rc(r, c, 3)[n][1] if n == "tran" else None) for n, (e, _) in analyses.items()}
            analyses = partial
        elif broken == "damaged":
            entry, data = analyses["ac"]
            analyses["ac"] = (entry, data[: len(data) // 2])
        elif broken == "wrong kind":
            entry, _ = analyses["ac"]
            analyses["ac"] = (entry, rc(r, c, 3)[wrong_with][1])
        # An older front end (named) leaves no .simDone in the runs.
        write_run(run_folder, analyses, {p1: a, p2: b}, failed=["ac", "tran"] if broken == "failed" else (),
                  done=broken != "failed" and layout == "numbered", run_obj=layout == "numbered")
        if layout == "named":
            os.symlink(".", run_folder / "psf")
        runs.append(run)
    # Front ends write the tree as they start the runs: the inner parameter
    # outer, each node just before its first child, so that the file's order
    # is not the tree's.
    nodes = [Node("Root", sweep=(p1,))]
    for b in second:
        for a in first:
            if middle[a] not in nodes:
                nodes.append(middle[a])
            nodes.append(leaves[a, b])
    index.mkdir(parents=True, exist_ok=True)
    opener = "PROP(" if layout == "numbered" else "PROP ("
    (index / "runObjFile").write_text(run_tree(nodes, opener, header=[("netlistDir", "../netlist")]))
    (index / "variables_file").write_text(variables_file({p1: first[-1], p2: second[-1]}))
    (index / ".simDone").write_bytes(b"")
    return folder, runs
