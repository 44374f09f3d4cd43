"""karvo export FILE|DIR... [--to csv|npz|nc] [-o OUT] [--analysis NAME] [--pad]:
the data of files, or of an analysis over the runs of result folders."""

from __future__ import annotations

import argparse
import importlib.util
import os
from typing import IO, Any, Dict, List, Optional, Union

from .._errors import PAD, UnequalSweeps, warn_left_out
from .._karvo import Psf, read_psf
from ..results import Grid, LongForm, open_results
from .reading import Reads
from .writing import netcdf_engine, replacing, write

__all__ = ["HELP", "DESCRIPTION", "add_arguments", "run"]

HELP = "write the data of files, or an analysis of result folders, as CSV, NPZ or netCDF"

DESCRIPTION = """\
Write the data of FILE to stdout, or to the file OUT with -o. With several
FILEs, -o names an existing directory and each FILE is written to
OUT/NAME.csv or OUT/NAME.npz, NAME being the FILE's own name (a.psf gives
a.psf.csv); when two FILEs have the same name, nothing is written and the
exit status is 2.

csv (the default unless a single FILE goes to an OUT ending in .npz): swept
files give one column per sweep and trace in file order; a complex signal
gives the two columns NAME.re and NAME.im, a struct trace one column
NAME.FIELD per field. Every number is written with Python's repr, so reading
it back with float() gives the same binary64 (except that every NaN is
written as nan, its sign and payload not kept). A signal with fewer points
than the longest one leaves its last cells empty. Non-swept and empty files
give "name,value" rows, one per value; struct members are rows NAME.MEMBER,
complex values two rows NAME.re and NAME.im, and the elements of an array
rows NAME[0], NAME[1], ... (an empty array gives no row).

npz (NumPy's .npz archive): one array per sweep and trace, keyed by its
name; a struct trace is its structured array. Non-swept files give one 0-d
array per value (an array value a 1-d array; a struct value is a 0-d
structured array with one field per member, an array member a field of its
length). Keys are made unique as by karvo.to_xarray: a trace that repeats a
sweep's name with the same data is left out (the sweep's array holds it);
any other repeated name gets " (trace)" appended, or " (trace 2)",
" (trace 3)", ... when that is taken too (" (sweep)", " (value)" for sweeps
and values).

Each output file is written under a temporary name in its folder and renamed
when complete: an export that fails leaves no partial file, and the file it
was to replace stays as it was (through a symbolic link, the file it names is
replaced). A device or pipe, such as /dev/null, is written to directly.

A DIR is a result folder; --analysis NAME names the analysis whose family
(the analysis over every run and every leaf of its sweep tree, as
karvo.Results gives it) is written; NAME is a logFile entry name ("ac-ac")
or its short name ("ac"). csv is the long form (Results.to_dataframe): one
column per run parameter and sweep tree variable, the sweep, then the
variables, one row per point. npz holds the grid (Results.to_xarray): first
one array per coordinate, outer to inner, then one array per variable whose
axes are the dimensions in that order. nc (also chosen by an OUT ending in
.nc) writes the grid with xarray's to_netcdf (netCDF4 or scipy must be
installed): a complex variable becomes two, NAME.re and NAME.im. A study
whose sweeps differ in length (transients) needs --pad for npz and nc: the
innermost dimension is then "point" and the sweep a coordinate over every
dimension, padded with NaN. The column (coordinate) "status" says of each
run whether it was read ("read") or why not ("failed": logStatus marks the
analysis failed; "missing": no logFile, entry or file; "unreadable"; in the
grid also "absent": no run there). Runs that were not read are NaN, each is
reported on stderr as "PATH: message", and the exit status is 1.

A file or folder that cannot be read is reported on stderr as "PATH:
message", and the others are still exported. Output that cannot be written
(a full disk, a missing or read-only folder, a closed pipe or a full device
as stdout) is reported in one line, "karvo: cannot write OUT: reason" or
"karvo: standard output: reason". The exit status is then 1."""


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("files", nargs="+", metavar="FILE|DIR", help="psfbin or PSF ASCII file, or result folder")
    parser.add_argument(
        "--to",
        choices=["csv", "npz", "nc"],
        help="output format (default: npz or nc when one input goes to an OUT ending in .npz or .nc, else csv;"
        " nc is for result folders)",
    )
    parser.add_argument(
        "--analysis", metavar="NAME", help="the analysis of result folders to export, over all their runs"
    )
    parser.add_argument(
        "--pad", action="store_true", help="npz, nc: pad sweeps of different lengths with NaN along a 'point' dimension"
    )
    parser.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="write to the file OUT instead of stdout; with several files, into the existing directory OUT",
    )


def _export_to_stdout(data: Union[Psf, LongForm, Grid], to: str, out: IO[str], err: IO[str]) -> int:
    """Errors writing stdout are left to main, which reports them."""
    sink: Any = out
    if to == "npz":
        sink = getattr(out, "buffer", None)
        if sink is None:
            print("karvo: npz output needs a binary stdout; use -o OUT", file=err)
            return 1
        out.flush()
    write(data, to, sink)
    sink.flush()
    return 0


def _targets(args: argparse.Namespace, to: str) -> Union[str, List[Optional[str]]]:
    """Where each file is written (None: stdout), or why the command is refused."""
    if len(args.files) == 1:
        return [args.output]
    folder = args.output
    if folder is None:
        return "several files need -o DIR"
    if not os.path.isdir(folder):
        return f"{folder} is not a directory (with several files -o names one)"
    targets: Dict[str, str] = {}
    for path in args.files:
        target = os.path.join(folder, f"{os.path.basename(os.path.normpath(path))}.{to}")
        if target in targets:
            return f"{targets[target]} and {path} would both be written to {target}"
        targets[target] = path
    return list(targets)


def _refused(args: argparse.Namespace, to: str) -> Optional[str]:
    """Why the export cannot begin, checked before anything is read."""
    folders = [p for p in args.files if os.path.isdir(p)]
    files = [p for p in args.files if not os.path.isdir(p)]
    if folders and args.analysis is None:
        return f"{folders[0]} is a result folder: name the analysis to export with --analysis NAME"
    if files and args.analysis is not None:
        return f"--analysis is for result folders, and {files[0]} is not one"
    if to == "nc" and files:
        return f"nc is for result folders, and {files[0]} is not one"
    if to == "nc" and args.output is None:
        return "nc output needs -o OUT"
    return None


def _read(path: str, args: argparse.Namespace, to: str) -> Union[Psf, LongForm, Grid]:
    """A file's Psf, or a folder's family: long for csv, else the grid (which
    fails here, before anything is written, when its sweeps need --pad)."""
    if not os.path.isdir(path):
        return read_psf(path)
    results = open_results(path)
    data: Union[LongForm, Grid]
    if to == "csv":
        data = results.long_form(args.analysis)
    else:
        try:
            data = results.grid(args.analysis, pad=args.pad)
        except UnequalSweeps as e:
            hint = f"export it --to csv (the long form), or with --pad to {PAD}"
            raise e.worded(f"{e.analysis!r}: {e.reason}; {hint}") from None
    for left_out in data.left_out:
        warn_left_out("export", left_out)
    return data


def run(args: argparse.Namespace, out: IO[str], err: IO[str]) -> int:
    single = len(args.files) == 1 and args.output
    suffix = os.path.splitext(args.output)[1].lower() if single else ""
    to = args.to or {".npz": "npz", ".nc": "nc"}.get(suffix, "csv")
    refused = _refused(args, to)
    targets = _targets(args, to) if refused is None else refused
    if isinstance(targets, str):
        print(f"karvo: {targets}", file=err)
        return 2
    if to == "nc" and (netcdf_engine() is None or importlib.util.find_spec("xarray") is None):
        print("karvo: nc output needs xarray and netCDF4 or scipy: pip install xarray netCDF4", file=err)
        return 1
    # Several files never share a target (refused above), so each path has one.
    target_of = dict(zip(args.files, targets))
    reads = Reads(args.files, lambda path: _read(path, args, to), err)
    status = 0
    for path, data in reads:
        if isinstance(data, (Grid, LongForm)) and data.unread:
            # Written all the same: what could be read, with NaN for the rest.
            for unread in data.unread:
                print(unread.message, file=err)
            status = 1
        target = target_of[path]
        if target is None:
            status = max(status, _export_to_stdout(data, to, out, err))
            continue
        try:
            with replacing(target, binary=to != "csv") as f:
                write(data, to, f)
        except OSError as e:
            print(f"karvo: cannot write {target}: {e.strerror or e}", file=err)
            status = 1
        except ValueError as e:  # what the netCDF writer refuses (a '/' in a name for netCDF4)
            print(f"karvo: cannot write {target}: {e}", file=err)
            status = 1
    return max(status, reads.status)
