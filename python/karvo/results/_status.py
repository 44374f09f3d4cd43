"""Whether a run ended, and how: what its psf folder says of it.

Three things in a psf folder tell how a run went, and real folders hold
different ones of them:

- ``logStatus``, written by the simulator (``+logstatus``) as it goes: a
  START line when an analysis begins, PASS or FAIL when it ends;
- the simulator's own log, which ends with a line such as ``spectre
  completes with 0 errors, 1 warning, and 1 notice.``, or says it
  ``terminated prematurely``: ``spectre.out`` beside the data files where
  a front end runs the simulator, ``*.log`` there, or ``NAME.log`` beside
  the folder ``NAME.raw`` that a run from the command line leaves;
- ``.simDone``, an empty file that the front end's run script leaves when
  the simulator has exited (command-line runs and older front ends leave
  none).

A run has ended when any of them says so (every analysis of its logFile
ended in logStatus, the log's closing line, ``.simDone``); it failed when
logStatus logs a FAIL or the log says the simulator stopped prematurely.
"""

from __future__ import annotations

import os
import re
from typing import Collection, Dict, List, Optional

STATUS, DONE = "logStatus", ".simDone"

# The simulator's log, by its name in the psf folder; also any *.log there.
LOG_NAMES = ("spectre.out",)
# Its closing lines are within this many bytes of its end.
LOG_TAIL = 16384
COMPLETED = re.compile(rb"\bcompletes with (?:no|\d+) errors?\b")
TERMINATED = re.compile(rb"\bterminated prematurely\b")

WORDS = {"PASS": "passed", "FAIL": "failed", "START": "started"}


def read_status(folder: str) -> Dict[str, str]:
    """Analysis name -> the last word ``logStatus`` gives it, lower case and
    in the past (PASS -> passed, FAIL -> failed, START -> started); empty
    when there is no logStatus."""
    try:
        with open(os.path.join(folder, STATUS), encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
    except OSError:
        return {}
    status: Dict[str, str] = {}
    for line in lines:
        fields = [f.strip() for f in line.split("\t")]
        if len(fields) >= 3 and fields[-2]:
            status[fields[-2]] = WORDS.get(fields[-1], fields[-1].lower())
    return status


def simulator_logs(folder: str) -> List[str]:
    """The files that may be the simulator's own log of the run in `folder`."""
    found = [os.path.join(folder, name) for name in LOG_NAMES]
    try:
        found += sorted(e.path for e in os.scandir(folder) if e.name.endswith(".log"))
    except OSError:
        pass
    base = os.path.basename(os.path.normpath(os.path.abspath(folder)))
    if base.endswith(".raw"):
        found.append(os.path.join(os.path.dirname(os.path.abspath(folder)), base[: -len(".raw")] + ".log"))
    return [path for path in found if os.path.isfile(path)]


def log_verdict(folder: str) -> Optional[str]:
    """What the simulator's log says at its end: "completed" (its closing
    ``completes with N errors`` line), "terminated" (it stopped
    prematurely), or None (no log, or one that does not end so). Only the
    log's last LOG_TAIL bytes are read."""
    for path in simulator_logs(folder):
        try:
            with open(path, "rb") as f:
                f.seek(max(0, os.fstat(f.fileno()).st_size - LOG_TAIL))
                tail = f.read()
        except OSError:
            continue
        ends = [(m.start(), "completed") for m in COMPLETED.finditer(tail)]
        ends += [(m.start(), "terminated") for m in TERMINATED.finditer(tail)]
        if ends:
            return max(ends)[1]
    return None


def _all_ended(statuses: Collection[Optional[str]]) -> bool:
    """Whether logStatus ends every analysis of the logFile (PASS or FAIL)."""
    return bool(statuses) and all(s in ("passed", "failed") for s in statuses)


def ended(folder: str, statuses: Collection[Optional[str]]) -> bool:
    """Whether the run in `folder` ended; `statuses`: what logStatus says
    of each analysis of its logFile (None: not logged)."""
    if os.path.isfile(os.path.join(folder, DONE)) or log_verdict(folder) is not None:
        return True
    return _all_ended(statuses)


def run_status(folder: str, statuses: Collection[Optional[str]]) -> str:
    """``failed`` (a FAIL in logStatus, or the simulator stopped
    prematurely), ``passed`` (it ended), else ``unfinished``; `statuses` as
    for `ended`."""
    if "failed" in statuses:
        return "failed"
    verdict = log_verdict(folder)
    if verdict == "terminated":
        return "failed"
    if verdict == "completed" or os.path.isfile(os.path.join(folder, DONE)) or _all_ended(statuses):
        return "passed"
    return "unfinished"
