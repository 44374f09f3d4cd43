"""The ``karvo`` command (also ``python -m karvo``): look into psfbin and PSF
ASCII files and result folders, and export their data.

    karvo info FILE|DIR... [--json] [--stats]
    karvo export FILE... [--to csv|npz] [-o OUT]
    karvo export DIR... --analysis NAME [--to csv|npz|nc] [-o OUT] [--pad]

`main` is the entry point; it returns the exit status instead of exiting.
Each command is a module of this package, listed in `COMMANDS`; what the
commands share is in `reading` (reading each input, reporting failures) and
`writing` (the export formats).
"""

from __future__ import annotations

import argparse
import os
import sys
from types import ModuleType
from typing import Dict, Optional, Sequence

from .._karvo import __version__
from . import export, info, plot
from .info import describe, describe_results
from .reading import layout

__all__ = ["main", "layout", "describe", "describe_results", "COMMANDS"]

# The commands, in the order --help lists them. Each module has HELP (one
# line), DESCRIPTION (its --help text), add_arguments(parser) and
# run(args, out, err) -> exit status.
COMMANDS: Dict[str, ModuleType] = {
    "info": info,
    "export": export,
    "plot": plot,
}


def _parser() -> argparse.ArgumentParser:
    formatter = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog="karvo",
        description="Look into psfbin and PSF ASCII circuit-simulation result files and result folders,"
        " and export their data.",
        epilog="Exit status: 0 on success, 1 when a file could not be read or written, 2 on bad usage.",
        formatter_class=formatter,
    )
    parser.add_argument("--version", action="version", version=f"karvo {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, command in COMMANDS.items():
        sub = commands.add_parser(name, help=command.HELP, description=command.DESCRIPTION, formatter_class=formatter)
        command.add_arguments(sub)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the karvo command with `argv` (default: sys.argv[1:]).

    Returns the exit status: 0 on success, 1 when a file could not be read
    (its message is printed on stderr as "FILE: message") or the output could
    not be written, 2 on bad usage, 130 when interrupted (Ctrl-C: one line,
    "karvo: interrupted"). --help and --version print and return 0.
    Nothing is raised for these cases.
    """
    try:
        parser = _parser()
        try:
            args = parser.parse_args(argv)
        except SystemExit as e:  # --help, --version and usage errors
            return e.code if isinstance(e.code, int) else (0 if e.code is None else 2)
        status = int(COMMANDS[args.command].run(args, sys.stdout, sys.stderr))
        sys.stdout.flush()
        return status
    except OSError as e:
        # The commands report the files they cannot read or write themselves:
        # what gets here failed to write stdout (a full device, a closed pipe
        # as in `karvo export f | head`).
        _drop_stdout()
        print(f"karvo: standard output: {e.strerror or e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        # What is still buffered for stdout is dropped: its reader may be
        # gone too, or wait for more than will come.
        _drop_stdout()
        print("karvo: interrupted", file=sys.stderr)
        return 130


def _drop_stdout() -> None:
    """Point stdout at devnull, so that the interpreter's final flush of what
    is still buffered cannot fail or wait."""
    try:
        fd = sys.stdout.fileno()
    except (AttributeError, OSError, ValueError):
        return  # not a file (a test's capture): nothing is flushed at exit
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, fd)
    os.close(devnull)