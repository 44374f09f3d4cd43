"""The index files of a result folder, and the runs they describe.

A simulation run leaves a psf folder with small PSF ASCII files beside its
data files:

- ``logFile``: one ``analysisInst`` value per analysis (type, data file,
  parent, sweep variables, description), its ``PROP`` block giving
  ``data_type`` and, in a sweep tree, ``sweep_tree_type`` and the value of the
  parent's sweep variable;
- ``runObjFile``: the run tree, ``runObject`` values linked by ``parent``;
  a leaf's ``logName`` names the logFile of a run, each node's ``PROP`` the
  value of its parent's sweep variable (and, for a leaf, ``Corner``);
- ``variables_file``: the design variables (``variable`` structs);
- ``logStatus``: plain text, one line per analysis START, PASS or FAIL;
- ``.simDone``: written when the run ended (`._status` says how a run's
  status is decided).

Everything here reads index files only; data files are read by the families
(`._family`) or by `Analysis.read`.
"""

from __future__ import annotations

import errno
import os
import threading
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Set, Tuple, Union

from .._karvo import Psf, read_psf
from ..raw import RawPart
from ._status import read_status, run_status

Scalar = Union[str, int, float]

LOG_FILE, RUN_TREE, VARIABLES = "logFile", "runObjFile", "variables_file"

# Where open_results looks for the index files, from the folder it is given:
# the psf folder itself, a run folder above it (one or two levels), the top
# folder of a study whose run tree lies in psf/<test>/psf. All are looked
# in, so that a folder holding several results is never taken for one.
SEARCH = (".", "psf", "*/psf", "psf/*/psf")


@dataclass
class Analysis:
    """One analysis of a run, as its ``logFile`` lists it.

    ``file`` is the path of its data file; ``read()`` reads it (on first use,
    then the same `Psf` again). ``parent`` names the parent entry in a sweep
    tree (None at the top); ``properties`` is the entry's ``PROP`` block;
    ``status`` the last word ``logStatus`` gives for it, lower case
    (``"passed"``, ``"failed"``, ``"started"``), or None where it is not
    logged (a sweep tree's leaves take their tree's). ``data``: for a plot
    of a SPICE raw file, its data, read when the file was opened: the
    plot's Psf, or a `karvo.raw.RawPart` for one step of a stepped plot
    (None for a data file read on use).
    """

    name: str
    kind: str
    file: str
    description: str
    sweep_variables: Tuple[str, ...]
    parent: Optional[str]
    properties: Dict[str, Scalar]
    status: Optional[str]
    data: Optional[Union[Psf, RawPart]] = field(default=None, repr=False, compare=False)
    _psf: Optional[Psf] = field(default=None, init=False, repr=False, compare=False)
    _lock: threading.Lock = field(default_factory=threading.Lock, init=False, repr=False, compare=False)

    def read(self) -> Psf:
        """The analysis's results (`read_psf` of its data file), read on first
        use; for a raw file, its plot (for a step of a stepped plot, the
        whole plot: the step alone is ``data``, its points
        ``properties["start"]:properties["stop"]``)."""
        if isinstance(self.data, RawPart):
            return self.data.plot
        if self.data is not None:
            return self.data
        with self._lock:
            if self._psf is None:
                self._psf = read_psf(self.file)
            return self._psf

    def __getstate__(self) -> Dict[str, Any]:
        # Pickled (Results to other processes): the lock is this process's,
        # and the Psf read is a cache, read again where it is wanted.
        state = dict(self.__dict__)
        del state["_lock"]
        state["_psf"] = None
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._lock = threading.Lock()


@dataclass
class Run:
    """One simulation run of a result folder.

    ``parameters`` are the values the run tree gives it, outer to inner (empty
    for a folder of one run); ``corner`` the tree's ``Corner``, if any;
    ``path`` its psf folder. ``status``: ``"passed"`` (the run ended and no
    analysis failed), ``"failed"`` (``logStatus`` logs a FAIL, or the
    simulator's log says it stopped prematurely), ``"unfinished"`` (nothing
    says it ended), ``"missing"`` (no logFile); see `._status`.
    ``error`` is the first message of what could not be read for it: its
    logFile, or a data file a family needed (None while all was read).
    ``analyses`` are its own, as `Results.analyses`; ``variables`` the
    design variables of its own ``variables_file`` (empty without one).
    ``partial``: a data file a family needed lacks its trailer (the run is
    still simulating, or the file was cut short); opened with
    ``partial=True``, the family holds the points written so far.
    """

    name: str
    parameters: Dict[str, Scalar]
    corner: Optional[str]
    path: str
    status: str
    error: Optional[str] = None
    analyses: Dict[str, Analysis] = field(default_factory=dict, repr=False)
    variables: Dict[str, Scalar] = field(default_factory=dict, repr=False)
    partial: bool = False
    _exception: Optional[Exception] = field(default=None, repr=False, compare=False)
    _variables_error: Optional[str] = field(default=None, repr=False, compare=False)


def tidy(path: str) -> str:
    """`path` with its ``..`` and ``.`` folded away, unless a symbolic link
    makes the folded path another file (``a/link/..`` is not ``a``)."""
    folded = os.path.normpath(path)
    if folded == path:
        return path
    try:
        return folded if os.path.samefile(folded, path) else path
    except OSError:
        return folded if not os.path.lexists(path) else path


def _text(x: Any) -> str:
    return x if isinstance(x, str) else ""


def _names(x: Any) -> Tuple[str, ...]:
    return tuple(s for s in x if isinstance(s, str)) if isinstance(x, tuple) else ()


def _logged_name(entry: str, kind: str) -> str:
    """The name logStatus uses: the entry's without its ``-type`` ending."""
    suffix = "-" + kind
    return entry[: -len(suffix)] if kind and entry.endswith(suffix) else entry


def read_log(log_file: str) -> Dict[str, Analysis]:
    """The analyses a logFile lists, in its order. Raises what `read_psf` raises."""
    folder = os.path.dirname(log_file)
    logged = read_status(folder)
    analyses: Dict[str, Analysis] = {}
    for value in read_psf(log_file).values:
        data = value.data
        if not isinstance(data, dict):
            continue
        kind = _text(data.get("analysisType"))
        own = _logged_name(value.name, kind)
        analyses[value.name] = Analysis(
            name=value.name,
            kind=kind,
            file=os.path.join(folder, _text(data.get("dataFile"))),
            description=_text(data.get("description")),
            sweep_variables=_names(data.get("sweepVariable")),
            parent=_text(data.get("parent")) or None,
            properties=dict(value.properties),
            status=logged.get(own, logged.get(own.split("-")[0])),
        )
    for analysis in analyses.values():
        # A sweep tree's leaves are logged under their tree's name.
        parent = analysis
        seen = set()
        while analysis.status is None and parent.parent in analyses and parent.name not in seen:
            seen.add(parent.name)
            parent = analyses[parent.parent]
            analysis.status = parent.status
    return analyses


def read_variables(folder: str) -> Tuple[Dict[str, Scalar], Optional[str]]:
    """The design variables of the ``variables_file`` in `folder` (empty
    when there is none), and the message of why it cannot be read (None
    when it was read or is absent)."""
    path = os.path.join(folder, VARIABLES)
    try:
        psf = read_psf(path)
    except FileNotFoundError:
        return {}, None
    except (OSError, ValueError) as e:
        return {}, _message(path, e)
    variables: Dict[str, Scalar] = {}
    for v in psf.values:
        x = v.data.get("value") if isinstance(v.data, dict) else v.data
        if isinstance(x, (str, int, float)):
            variables[v.name] = x
    return variables, None


def _has_index(folder: str) -> bool:
    return any(os.path.isfile(os.path.join(folder, name)) for name in (RUN_TREE, LOG_FILE))


def find_index(path: str) -> str:
    """The folder holding the index files of the result folder `path`.

    Looked for in `path` and in ``psf/``, ``*/psf/`` and ``psf/*/psf/``
    below it: all of these must find one result folder, the runs of a study
    found aside (a study's run folders lie below its top folder too). A
    path to a logFile or runObjFile gives its folder.
    """
    if os.path.isfile(path):
        if os.path.basename(path) in (LOG_FILE, RUN_TREE):
            return os.path.dirname(path) or "."
        raise ValueError(f"{path} is a file, not a result folder (read_psf reads one file)")
    if not os.path.isdir(path):
        raise FileNotFoundError(errno.ENOENT, f"no such folder: {path}", path)
    found: Dict[str, str] = {}  # real path -> the path found, shallowest first
    for pattern in SEARCH:
        matches = ([path] if _has_index(path) else []) if pattern == "." else _glob(path, pattern.split("/"))
        for folder in matches:
            found.setdefault(os.path.realpath(folder), folder)
    if len(found) > 1:
        # The run folders of a study found are part of it, not other results.
        runs: Set[str] = set()
        for real, folder in found.items():
            runs.update({os.path.realpath(run) for run in run_folders(folder)} - {real})
        found = {real: folder for real, folder in found.items() if real not in runs}
    if len(found) == 1:
        return next(iter(found.values()))
    if found:
        listed = ", ".join(found.values())
        raise ValueError(f"{path} holds several result folders ({listed}); open one of them")
    where = ", ".join(p + "/" for p in SEARCH[1:])
    raise FileNotFoundError(errno.ENOENT, f"{path}: no logFile or runObjFile in it or in {where}", path)


def _glob(folder: str, parts: List[str]) -> List[str]:
    """Folders below `folder` matching `parts` (``*`` any name) that hold an
    index file, sorted. Not glob.glob: names with ``[`` or ``*`` are common
    in run folders (``VDC1=0,VDC2=1``) and must not be patterns."""
    if not parts:
        return [folder] if _has_index(folder) else []
    head, rest = parts[0], parts[1:]
    if head != "*":
        below = os.path.join(folder, head)
        return _glob(below, rest) if os.path.isdir(below) else []
    try:
        names = sorted(e.name for e in os.scandir(folder) if e.is_dir())
    except OSError:
        return []
    return [f for name in names for f in _glob(os.path.join(folder, name), rest)]


@dataclass
class _Node:
    name: str
    logs: Tuple[str, ...]
    parent: str
    sweep: Tuple[str, ...]
    properties: Dict[str, Scalar]


def _tree(run_tree: str) -> List[_Node]:
    nodes = []
    for value in read_psf(run_tree).values:
        data = value.data
        if isinstance(data, dict):
            logs = tuple(s for s in _names(data.get("logName")) if s)
            parent = _text(data.get("parent"))
            nodes.append(_Node(value.name, logs, parent, _names(data.get("sweepVariable")), dict(value.properties)))
    return nodes


def _leaf_log(node: _Node) -> Optional[str]:
    """The logFile a leaf names (the first of its logs named so, else its first)."""
    for name in node.logs:
        if os.path.basename(name) == LOG_FILE:
            return name
    return node.logs[0] if node.logs else None


def _parameters(node: _Node, nodes: Dict[str, _Node]) -> Tuple[Dict[str, Scalar], List[str]]:
    """The values of the sweep variables above `node`, outer to inner, and the
    variables the tree sweeps but gives no value of here."""
    chain = []
    seen = {node.name}
    while node.parent in nodes and node.parent not in seen:
        seen.add(node.parent)
        chain.append((nodes[node.parent], node))
        node = nodes[node.parent]
    values: Dict[str, Scalar] = {}
    lacking = []
    for parent, child in reversed(chain):
        for variable in parent.sweep:
            if variable in child.properties:
                values[variable] = child.properties[variable]
            else:
                lacking.append(variable)
    return values, lacking


def _corner(properties: Mapping[str, Scalar]) -> Optional[str]:
    for key, value in properties.items():
        if key.lower() == "corner" and isinstance(value, str):
            return value
    return None


def _open_run(name: str, log_file: str, parameters: Dict[str, Scalar], corner: Optional[str]) -> Run:
    folder = os.path.dirname(log_file) or "."
    if os.path.islink(folder) and os.readlink(folder) == ".":
        folder = os.path.dirname(folder) or "."  # the psf -> . link of a run folder
        log_file = os.path.join(folder, os.path.basename(log_file))
    variables, unread = read_variables(folder)
    try:
        analyses = read_log(log_file)
    except (OSError, ValueError) as e:
        status = "missing" if isinstance(e, FileNotFoundError) else "failed"
        return Run(name, parameters, corner, folder, status, error=_message(log_file, e), variables=variables,
                   _exception=e, _variables_error=unread)  # fmt: skip
    status = run_status(folder, [a.status for a in analyses.values()])
    return Run(name, parameters, corner, folder, status, analyses=analyses, variables=variables,
               _variables_error=unread)  # fmt: skip


def unread_run(name: str, parameters: Dict[str, Scalar], path: str, e: Exception) -> Run:
    """A run whose only file (`path`) cannot be read: no analyses, status
    ``failed``, its error said."""
    return Run(name, parameters, None, path, "failed", error=_message(path, e), _exception=e)


def log_exception(run: Run) -> Optional[Exception]:
    """What reading the run's logFile raised (None when it was read)."""
    return run._exception


def variables_error(run: Run) -> Optional[str]:
    """Why the run's variables_file could not be read (None when it was, or is absent)."""
    return run._variables_error


def _message(path: str, e: BaseException) -> str:
    """The message of a failed read, naming the file once."""
    text = str(e)
    return text if path in text else f"{path}: {text}"


def _in_tree_order(nodes: List[_Node]) -> List[_Node]:
    """The nodes depth first, each node's children in file order (the file
    may list a node's children apart, as real run trees do); nodes whose
    parent is missing start trees of their own, in file order."""
    names = {n.name for n in nodes}
    children: Dict[str, List[_Node]] = {}
    roots = []
    for n in nodes:
        if n.parent in names and n.parent != n.name:
            children.setdefault(n.parent, []).append(n)
        else:
            roots.append(n)
    ordered: List[_Node] = []
    seen = set()
    stack = list(reversed(roots))
    while stack:
        node = stack.pop()
        if id(node) in seen:
            continue
        seen.add(id(node))
        ordered.append(node)
        stack.extend(reversed(children.get(node.name, [])))
    # Nodes on a loop of parents are reached from no root: they come last.
    return ordered + [n for n in nodes if id(n) not in seen]


def read_runs(index: str) -> List[Run]:
    """The runs of the folder `index`: the leaves of its runObjFile in tree
    order, or the one run of its logFile."""
    tree = os.path.join(index, RUN_TREE)
    nodes: List[_Node] = []
    if os.path.isfile(tree):
        try:
            nodes = _tree(tree)
        except ValueError:
            if not os.path.isfile(os.path.join(index, LOG_FILE)):
                raise
    by_name = {n.name: n for n in nodes}
    runs = []
    for node in _in_tree_order(nodes):
        log = _leaf_log(node)
        if log is None:
            continue
        parameters, lacking = _parameters(node, by_name)
        run = _open_run(node.name, tidy(os.path.join(index, log)), parameters, _corner(node.properties))
        if lacking and run.error is None:
            run.error = f"{tree}: no value of {', '.join(map(repr, lacking))} for {node.name!r}"
        runs.append(run)
    if not runs:
        name = os.path.basename(os.path.abspath(index))
        runs.append(_open_run(name, os.path.join(index, LOG_FILE), {}, None))
    return runs


def run_folders(index: str) -> List[str]:
    """The psf folders of the runs the runObjFile in `index` names (none
    without one, or when it cannot be read); reads the run tree only."""
    try:
        nodes = _tree(os.path.join(index, RUN_TREE))
    except (OSError, ValueError):
        return []
    logs = (_leaf_log(n) for n in nodes)
    return [os.path.dirname(os.path.join(index, log)) or "." for log in logs if log is not None]
