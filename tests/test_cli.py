"""The karvo command: info (text and JSON), export (CSV and NPZ), usage
errors, and files that cannot be read among several."""

from __future__ import annotations

import csv
import io
import json
import math
import os
import resource
import shutil
import signal
import stat
import subprocess
import sys
import tracemalloc
from pathlib import Path

import numpy as np
import pytest

import karvo as package
from karvo.testing import psfbuilder as pb
from karvo import read_psf
from karvo.cli import main

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = {name: str(ROOT / "examples" / f"{name}.psf") for name in ("rc_ac", "rc_tran", "rc_dcop", "rc_noise")}
CORPUS = ROOT.parent / "shared" / "corpus"
NAN, INF = float("nan"), float("inf")


def karvo(*args: str, cwd) -> subprocess.CompletedProcess:
    """Runs `python -m karvo` in `cwd`."""
    return subprocess.run([sys.executable, "-m", "karvo", *args], cwd=cwd, capture_output=True)


def text(result: subprocess.CompletedProcess) -> tuple[str, str]:
    return result.stdout.decode(), result.stderr.decode()


def failure(path: str) -> str:
    """What the command prints for a file that read_psf refuses."""
    try:
        read_psf(path)
    except (OSError, ValueError) as e:
        return f"{path}: {e}"
    raise AssertionError(f"{path} was read")


def bits(values) -> list[int]:
    """The binary64 bit patterns, so that -0.0 and NaN compare exactly."""
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def text_bits(values) -> list[int]:
    """The bits a text form can keep: a NaN reads back as the one NaN."""
    values = np.asarray(values, dtype=np.float64)
    return bits(np.where(np.isnan(values), NAN, values))


# ---------------------------------------------------------------- test files

TYPES = [
    pb.TypeDef(10, "V", pb.FLOAT64),
    pb.TypeDef(11, "Z", pb.COMPLEX),
    pb.struct_type(12, "noise", [("total", pb.FLOAT64), ("R1", pb.FLOAT64)]),
]
SPECIAL = [NAN, -0.0, INF, -INF, 5e-324, 1 / 3, 1e308, -2.5]


def swept(sweeps, traces, records, header=(("PSFversion", "1.00"),)) -> bytes:
    return pb.build(pb.SWEPT, header=header, types=TYPES, sweeps=sweeps, traces=traces, value=pb.Swept(records))


def special_file() -> bytes:
    """Two sweeps; a float trace named "file", a complex and a struct trace;
    values that a lossy text form would change; the complex trace is one
    point short."""
    n = len(SPECIAL)
    points = {
        1: [pb.f64(x) for x in SPECIAL],
        2: [pb.f64(k) for k in range(n)],
        3: [pb.f64(-x) for x in SPECIAL],
        4: [pb.c128(complex(x, -x)) for x in SPECIAL[: n - 1]],
        5: [pb.f64(x) + pb.f64(k) for k, x in enumerate(SPECIAL)],
    }
    records = [(i, points[i][k]) for k in range(n) for i in points if k < len(points[i])]
    return swept(
        [pb.Decl(1, "x", 10), pb.Decl(2, "step", 10)],
        [pb.Decl(3, "file", 10), pb.Decl(4, "z", 11), pb.Decl(5, "n", 12)],
        records,
        header=[("PSFversion", "1.00"), ("tol", NAN), ("hot", INF), ("cold", -INF), ("count", -1)],
    )


def nonswept_file() -> bytes:
    resistor = pb.struct_type(20, "r", [("v", pb.FLOAT64), ("z", pb.COMPLEX), ("region", pb.INT8)])
    return pb.build(
        pb.NONSWEPT,
        types=[pb.TypeDef(10, "V", pb.FLOAT64), pb.TypeDef(11, "Z", pb.COMPLEX), pb.TypeDef(13, "S", pb.STRING), resistor],
        value=pb.NonSwept(
            [
                pb.Entry(1, "nan", 10, pb.f64(NAN)),
                pb.Entry(2, "z", 11, pb.c128(complex(-INF, 0.1))),
                pb.Entry(3, "note", 13, pb.string('a, "quoted" note')),
                pb.Entry(4, "R1", 20, pb.f64(1 / 3) + pb.c128(2 - 1j) + pb.int8(3)),
            ]
        ),
    )


def long_file(n: int) -> bytes:
    """A float sweep and a complex trace of n points."""
    records = [r for k in range(n) for r in ((1, pb.f64(k * 0.1)), (4, pb.c128(complex(k / 3, -k / 7))))]
    return swept([pb.Decl(1, "x", 10)], [pb.Decl(4, "z", 11)], records)


# ---------------------------------------------------------------- usage


def test_console_script_is_installed_and_prints_help(tmp_path):
    script = shutil.which("karvo")
    assert script is not None, "the karvo console script is not on PATH"
    result = subprocess.run([script, "--help"], cwd=tmp_path, capture_output=True)
    out, err = text(result)
    assert result.returncode == 0, err
    assert out.startswith("usage: karvo ")
    assert "info" in out and "export" in out


def test_readme_set_up_command(tmp_path):
    """`karvo info examples/rc_ac.psf` from the project folder, as the README says."""
    script = shutil.which("karvo")
    assert script is not None
    result = subprocess.run([script, "info", "examples/rc_ac.psf"], cwd=ROOT, capture_output=True)
    out, err = text(result)
    assert (result.returncode, err) == (0, "")
    assert out.splitlines()[:2] == ["examples/rc_ac.psf", "  layout: swept (1 sweep, 2 traces)"]


@pytest.mark.parametrize(
    "args, shows",
    [
        ([], ["info", "export", "plot"]),
        (["info"], ["--json", "FILE|DIR"]),
        (["export"], ["--to {csv,npz,nc}", "--analysis NAME", "-o OUT"]),
        (["plot"], ["FILE|DIR SIGNAL", "--analysis NAME", "-o OUT", "--db | --linear", "pip install 'karvo[plot]'"]),
    ],
    ids=["main", "info", "export", "plot"],
)
def test_help(tmp_path, args, shows):
    result = karvo(*args, "--help", cwd=tmp_path)
    out, err = text(result)
    assert (result.returncode, err) == (0, "")
    assert out.startswith(" ".join(["usage: karvo", *args]) + " ")
    for word in shows:
        assert word in out


@pytest.mark.parametrize(
    "args",
    [[], ["info"], ["export"], ["frobnicate"], ["info", "--bogus", "{f}"], ["export", "{f}", "--to", "xls"],
     ["plot", "{f}"], ["plot", "{f}", "out", "--db", "--linear"]],
    ids=["no-command", "info-no-file", "export-no-file", "unknown-command", "unknown-option", "bad-format",
         "plot-no-signal", "plot-db-and-linear"],
)
def test_bad_usage_exits_2(tmp_path, args):
    f = EXAMPLES["rc_ac"]
    result = karvo(*[a.format(f=f) for a in args], cwd=tmp_path)
    out, err = text(result)
    assert result.returncode == 2
    assert out == ""
    assert err.startswith("usage: karvo")
    assert "error: " in err


# ---------------------------------------------------------------- info


def info_json(paths, cwd, *flags: str) -> list[dict]:
    result = karvo("info", "--json", *flags, *paths, cwd=cwd)
    out, err = text(result)
    assert (result.returncode, err) == (0, "")

    def no_constant(token):
        raise AssertionError(f"{token} is not JSON")

    return [json.loads(line, parse_constant=no_constant) for line in out.splitlines()]


def json_float(x: float):
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "Infinity" if x > 0 else "-Infinity"
    return x


def expected_signal(signal, stats: bool) -> dict:
    def min_max(column):
        real = np.real(column)
        real = real[~np.isnan(real)]
        if real.size == 0:
            return None, None
        return json_float(float(real.min())), json_float(float(real.max()))

    data = signal.data
    entry = {"name": signal.name, "units": signal.units, "points": len(data)}
    if not stats:  # the catalog alone
        fields = [{"name": f, "dtype": "float64"} for f in data.dtype.names] if data.dtype.names else None
        return {**entry, "dtype": "struct" if fields else data.dtype.name, "fields": fields}
    if data.dtype.names is None:
        lo, hi = min_max(data)
        return {**entry, "dtype": data.dtype.name, "min": lo, "max": hi, "fields": None}
    fields = [dict(zip(("name", "dtype", "min", "max"), (f, "float64", *min_max(data[f])))) for f in data.dtype.names]
    return {**entry, "dtype": "struct", "min": None, "max": None, "fields": fields}


@pytest.mark.parametrize("stats", [False, True], ids=["catalog", "stats"])
@pytest.mark.parametrize("name", list(EXAMPLES))
def test_info_json_describes_the_file(tmp_path, name, stats):
    path = EXAMPLES[name]
    (info,) = info_json([path], tmp_path, *(["--stats"] if stats else []))
    psf = read_psf(path)
    assert list(info) == ["path", "layout", "header", "sweeps", "traces", "values"]
    assert info["path"] == path
    assert info["layout"] == ("non-swept" if name == "rc_dcop" else "swept")
    assert info["header"] == psf.header
    assert list(info["header"]) == list(psf.header)
    assert info["sweeps"] == [expected_signal(s, stats) for s in psf.sweeps]
    assert info["traces"] == [expected_signal(t, stats) for t in psf.traces]
    types = {float: "float", int: "int", str: "str", dict: "struct"}
    assert info["values"] == [
        {"name": v.name, "type": types[type(v.data)], "units": v.units, "value": v.data} for v in psf.values
    ]
    # The examples carry units as simulators write them.
    assert {s["name"]: s["units"] for s in info["sweeps"] + info["traces"]}.get("freq", "Hz") == "Hz"


def test_info_json_writes_non_finite_floats_as_strings(tmp_path, write):
    swept_path = write(special_file())
    values_path = write(nonswept_file())
    swept_info, values_info = info_json([swept_path, values_path], tmp_path, "--stats")

    assert swept_info["header"] == {"PSFversion": "1.00", "tol": "NaN", "hot": "Infinity", "cold": "-Infinity", "count": -1}
    x, step = swept_info["sweeps"]
    assert (x["min"], x["max"]) == ("-Infinity", "Infinity")  # the NaN is left out
    assert (step["points"], step["min"], step["max"]) == (8, 0.0, 7.0)
    file, z, n = swept_info["traces"]
    assert (file["name"], file["min"], file["max"]) == ("file", "-Infinity", "Infinity")
    assert (z["dtype"], z["points"]) == ("complex128", 7)
    assert [f["name"] for f in n["fields"]] == ["total", "R1"]
    assert n["dtype"] == "struct" and n["points"] == 8

    assert values_info["layout"] == "non-swept"
    assert values_info["values"] == [
        {"name": "nan", "type": "float", "units": None, "value": "NaN"},
        {"name": "z", "type": "complex", "units": None, "value": {"re": "-Infinity", "im": 0.1}},
        {"name": "note", "type": "str", "units": None, "value": 'a, "quoted" note'},
        {"name": "R1", "type": "struct", "units": None, "value": {"v": 1 / 3, "z": {"re": 2.0, "im": -1.0}, "region": 3}},
    ]


def test_info_json_min_max_null_without_points(tmp_path, write):
    """A signal with no point, or only NaN points, has no min or max."""
    path = write(swept([pb.Decl(1, "x", 10)], [pb.Decl(3, "y", 10)], [(1, pb.f64(NAN)), (1, pb.f64(NAN))]))
    (info,) = info_json([path], tmp_path, "--stats")
    (x,) = info["sweeps"]
    (y,) = info["traces"]
    assert (x["points"], x["min"], x["max"]) == (2, None, None)
    assert (y["points"], y["min"], y["max"]) == (0, None, None)


def table(out: str, title: str) -> list[list[str]]:
    """The rows of one table of the text output, cells split on runs of spaces."""
    lines = out.splitlines()
    start = lines.index(f"  {title}:") + 1
    rows = []
    for line in lines[start:]:
        if not line.startswith("    "):
            break
        rows.append([cell for cell in line.strip().split("  ") if cell.strip()])
    return [[cell.strip() for cell in row] for row in rows]


@pytest.mark.parametrize("stats", [False, True], ids=["catalog", "stats"])
def test_info_text_swept(tmp_path, stats):
    path = EXAMPLES["rc_noise"]
    result = karvo("info", *(["--stats"] if stats else []), path, cwd=tmp_path)
    out, err = text(result)
    assert (result.returncode, err) == (0, "")
    psf = read_psf(path)
    assert out.splitlines()[:2] == [path, "  layout: swept (1 sweep, 1 trace)"]
    assert table(out, "header") == [[k, v if isinstance(v, str) else repr(v)] for k, v in psf.header.items()]

    def g(x):
        return format(float(x), ".6g")

    (freq,) = psf.sweeps
    (noise,) = psf.traces
    n = str(len(freq.data))
    def extremes(column):
        return [g(column.min()), g(column.max())] if stats else []

    expected = [
        ["kind", "name", "type", "units", "points"] + (["min (real)", "max (real)"] if stats else []),
        ["sweep", "freq", "float64", "Hz", n, *extremes(freq.data)],
        ["trace", "out", "struct, 3 fields", "V^2/Hz", n],
    ]
    for field in ("total", "R1", "R2"):
        expected.append([f"out.{field}", "float64", "V^2/Hz", n, *extremes(noise.data[field])])
    assert table(out, "sweeps and traces") == expected


def test_info_text_values(tmp_path):
    path = EXAMPLES["rc_dcop"]
    result = karvo("info", path, cwd=tmp_path)
    out, err = text(result)
    assert (result.returncode, err) == (0, "")
    assert out.splitlines()[1] == "  layout: non-swept (4 values)"
    psf = read_psf(path)
    expected = [["name", "type", "units", "value"]]
    for v in psf.values:
        units = [v.units] if v.units else []  # a blank cell is no cell
        if isinstance(v.data, dict):
            expected.append([v.name, "struct", *units, f"{len(v.data)} members"])
            for m, x in v.data.items():
                expected.append([f"{v.name}.{m}", type(x).__name__, *units, x if isinstance(x, str) else repr(x)])
        else:
            expected.append([v.name, type(v.data).__name__, *units, repr(v.data)])
    assert ["in", "float", "V", "1.0"] in expected
    assert table(out, "values") == expected


def test_info_text_empty_file(tmp_path, write):
    path = write(pb.header_only([("PSFversion", "1.00"), ("simulator", "x")]))
    result = karvo("info", path, cwd=tmp_path)
    out, err = text(result)
    assert (result.returncode, err) == (0, "")
    assert out.splitlines() == [
        path,
        "  layout: empty (no sweeps, traces or values)",
        "  header:",
        "    PSFversion  1.00",
        "    simulator   x",
    ]


# ---------------------------------------------------------------- several files


@pytest.fixture
def mixed(tmp_path, write):
    """Two good files around a missing one and a broken one."""
    broken = write(pb.with_footer(b"\0\0\2\0"))
    missing = str(tmp_path / "missing.psf")
    return [EXAMPLES["rc_ac"], missing, broken, EXAMPLES["rc_dcop"]]


def test_info_goes_on_after_bad_files(tmp_path, mixed):
    result = karvo("info", *mixed, cwd=tmp_path)
    out, err = text(result)
    assert result.returncode == 1
    assert err.splitlines() == [failure(mixed[1]), failure(mixed[2])]
    assert "No such file or directory" in err and "(os error 2)" in err
    blocks = out.split("\n\n")
    assert [b.splitlines()[0] for b in blocks] == [mixed[0], mixed[3]]
    assert blocks[0].splitlines()[1] == "  layout: swept (1 sweep, 2 traces)"
    assert blocks[1].splitlines()[1] == "  layout: non-swept (4 values)"


def test_info_json_goes_on_after_bad_files(tmp_path, mixed):
    result = karvo("info", "--json", *mixed, cwd=tmp_path)
    out, err = text(result)
    assert result.returncode == 1
    assert err.splitlines() == [failure(mixed[1]), failure(mixed[2])]
    assert [json.loads(line)["path"] for line in out.splitlines()] == [mixed[0], mixed[3]]


@pytest.mark.parametrize("fmt", ["csv", "npz"])
def test_export_of_a_bad_file(tmp_path, mixed, fmt):
    """Nothing is written, and a file that was there stays as it was."""
    target = tmp_path / f"old.{fmt}"
    target.write_bytes(b"old")
    for path in mixed[1:3]:
        for output in ([], ["-o", str(target)]):
            result = karvo("export", path, "--to", fmt, *output, cwd=tmp_path)
            assert result.returncode == 1
            assert (result.stdout, result.stderr.decode()) == (b"", failure(path) + "\n")
            assert target.read_bytes() == b"old"


@pytest.mark.parametrize("fmt", ["csv", "npz"])
def test_export_of_several_files(tmp_path, mixed, fmt):
    """One output per file, named after it, as a single export writes it;
    the files that cannot be read are reported and skipped."""
    out = tmp_path / "out"
    out.mkdir()
    files = [*mixed, EXAMPLES["rc_noise"]]
    result = karvo("export", *files, "--to", fmt, "-o", str(out), cwd=tmp_path)
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.decode().splitlines() == [failure(mixed[1]), failure(mixed[2])]
    good = [mixed[0], mixed[3], EXAMPLES["rc_noise"]]
    assert sorted(os.listdir(out)) == sorted(f"{Path(f).name}.{fmt}" for f in good)
    for f in good:
        alone = karvo("export", f, "--to", fmt, cwd=tmp_path).stdout
        written = (out / f"{Path(f).name}.{fmt}").read_bytes()
        if fmt == "csv":
            assert written == alone
        else:
            expected = load_npz(alone)
            assert {k: (a.dtype, a.tobytes()) for k, a in load_npz(written).items()} == {
                k: (a.dtype, a.tobytes()) for k, a in expected.items()
            }


@pytest.mark.parametrize(
    "files, output, message",
    [
        (["rc_ac", "rc_tran"], None, "karvo: several files need -o DIR"),
        (["rc_ac", "rc_tran"], "file", "karvo: {out} is not a directory (with several files -o names one)"),
        (["rc_ac", "rc_tran", "copy/rc_ac"], "dir", "karvo: {0} and {2} would both be written to {out}/rc_ac.psf.csv"),
    ],
    ids=["no-output", "output-not-a-directory", "same-name-twice"],
)
def test_export_of_several_files_refused(tmp_path, files, output, message):
    """Refused before anything is read or written, in one line."""
    (tmp_path / "copy").mkdir()
    shutil.copy(EXAMPLES["rc_ac"], tmp_path / "copy" / "rc_ac.psf")
    paths = [EXAMPLES.get(f) or str(tmp_path / f"{f}.psf") for f in files]
    out = tmp_path / "out"
    if output == "dir":
        out.mkdir()
    elif output == "file":
        out.write_bytes(b"old")
    result = karvo("export", *paths, *(["-o", str(out)] if output else []), cwd=tmp_path)
    assert (result.returncode, result.stdout) == (2, b"")
    assert result.stderr.decode() == message.format(*paths, out=out) + "\n"
    if output == "dir":
        assert list(out.iterdir()) == []
    elif output == "file":
        assert out.read_bytes() == b"old"


@pytest.mark.parametrize(
    "case, fmt",
    [("missing-folder", "csv"), ("target-is-a-folder", "csv"), ("read-only-folder", "csv"),
     ("file-size-limit", "csv"), ("file-size-limit", "npz")],
)
def test_export_that_cannot_be_written(tmp_path, write, case, fmt):
    """One line and exit status 1; no partial or temporary file is left and
    a file that was there keeps its content. A file size limit stands for a
    disk that fills up half way."""
    if case == "read-only-folder" and os.geteuid() == 0:
        pytest.skip("root writes into read-only folders")
    path = write(long_file(20_000))
    folder = tmp_path / "out"
    folder.mkdir()
    target = folder / f"x.{fmt}"
    limit = None
    if case == "missing-folder":
        target = folder / "missing" / f"x.{fmt}"
        reason = "No such file or directory"
    elif case == "target-is-a-folder":
        target.mkdir()
        reason = "Is a directory"
    elif case == "read-only-folder":
        target.write_bytes(b"old")
        folder.chmod(0o555)
        reason = "Permission denied"
    else:
        target.write_bytes(b"old")
        limit = 65536
        reason = "File too large"
    before = sorted(os.listdir(folder))

    def limit_file_size():
        if limit is not None:
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    result = subprocess.run([sys.executable, "-m", "karvo", "export", path, "--to", fmt, "-o", str(target)],
                            cwd=tmp_path, capture_output=True, preexec_fn=limit_file_size)
    folder.chmod(0o755)
    assert (result.returncode, result.stdout) == (1, b"")
    assert result.stderr.decode() == f"karvo: cannot write {target}: {reason}\n"
    assert sorted(os.listdir(folder)) == before
    if target.is_file():
        assert target.read_bytes() == b"old"


@pytest.mark.parametrize("kind", ["symlink", "fifo"])
def test_export_through_a_link_or_into_a_pipe(tmp_path, kind):
    """A link stays and its file gets the data; a pipe (like a device such as
    /dev/null) is written to, not replaced by a file."""
    alone = karvo("export", EXAMPLES["rc_ac"], cwd=tmp_path).stdout
    target = tmp_path / "target"
    if kind == "symlink":
        (tmp_path / "data.csv").write_bytes(b"old")
        target.symlink_to("data.csv")
        result = karvo("export", EXAMPLES["rc_ac"], "-o", str(target), cwd=tmp_path)
        assert (result.returncode, result.stderr) == (0, b"")
        assert target.is_symlink() and (tmp_path / "data.csv").read_bytes() == alone
        return
    os.mkfifo(target)
    with subprocess.Popen(["cat", str(target)], stdout=subprocess.PIPE) as reader:
        result = karvo("export", EXAMPLES["rc_ac"], "-o", str(target), cwd=tmp_path)
        try:
            received = reader.communicate(timeout=30)[0]
        except subprocess.TimeoutExpired:
            reader.kill()
            raise
    assert (result.returncode, result.stderr, received) == (0, b"", alone)
    assert stat.S_ISFIFO(os.stat(target).st_mode)


@pytest.mark.parametrize(
    "case, command",
    [("full-device", ["info"]), ("full-device", ["export"]), ("full-device", ["export", "--to", "npz"]),
     ("closed-pipe", ["export"]), ("closed-pipe", ["export", "--to", "npz"]), ("closed-pipe", ["info"])],
    ids=["full-device-info", "full-device-csv", "full-device-npz", "closed-pipe-csv", "closed-pipe-npz",
         "closed-pipe-info"],
)
def test_stdout_that_cannot_be_written(tmp_path, write, case, command):
    """A full device or a reader gone away (`karvo export f | head -c 10`,
    `karvo info *.psf | head`): one line and exit status 1, no traceback."""
    path = write(long_file(20_000))
    # info of one file writes less than a pipe holds: many files write more.
    paths = [path] * (2000 if command == ["info"] and case == "closed-pipe" else 1)
    argv = [sys.executable, "-m", "karvo", *command, *paths]
    if case == "full-device":
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        with open("/dev/full", "wb") as full:
            result = subprocess.run(argv, cwd=tmp_path, stdout=full, stderr=subprocess.PIPE)
        status, err, reason = result.returncode, result.stderr, "No space left on device"
    else:
        with subprocess.Popen(argv, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
            assert len(process.stdout.read(10)) == 10
            process.stdout.close()  # while the writer still has about a megabyte to go
            err = process.stderr.read()
            status, reason = process.wait(), "Broken pipe"
    assert (status, err.decode()) == (1, f"karvo: standard output: {reason}\n")


@pytest.mark.parametrize("command", [["info"], ["info", "--json"], ["export"], ["export", "--to", "npz"]])
def test_ctrl_c_ends_any_command_with_one_line(tmp_path, write, command):
    """Ctrl-C (SIGINT) once the command has demonstrably begun (its first
    bytes came out, and the rest cannot all have, since nobody reads the
    pipe): one line on stderr and exit status 130, no traceback."""
    path = write(long_file(200_000))
    paths = [path] * (3000 if command[0] == "info" else 1)  # about a megabyte of text
    argv = [sys.executable, "-m", "karvo", *command, *paths]
    with subprocess.Popen(argv, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as process:
        assert len(process.stdout.read(10)) == 10
        process.send_signal(signal.SIGINT)
        _, err = process.communicate()
    assert (process.returncode, err.decode()) == (130, "karvo: interrupted\n")


@pytest.mark.parametrize(
    "command, share", [(["info", "--stats"], 1 / 8), (["export", "-o", "{out}"], 1)], ids=["info", "export-csv"]
)
def test_commands_need_no_copy_of_the_data(tmp_path, write, capsys, command, share):
    """The memory Python and NumPy allocate (the arrays of read_psf are not
    counted) stays well below the size of the arrays: info reduces them in
    place, CSV export formats a block of rows at a time. Whole copies took
    several times their size."""
    n = 300_000
    path = write(long_file(n))
    argv = [a.format(out=tmp_path / "out.csv") for a in command] + [path]
    assert main(argv) == 0  # warm: first imports and caches
    tracemalloc.start()
    try:
        status = main(argv)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert status == 0
    assert peak < share * n * (8 + 16)
    capsys.readouterr()


def test_info_on_the_corpus(tmp_path, corpus):
    """Every real file, NaN-filled operating points included, gives strict JSON."""
    paths = sorted(str(p) for p in corpus.rglob("*") if p.is_file() and p.read_bytes()[-12:-4] == b"Clarissa")
    infos = info_json(paths, tmp_path)
    assert [i["path"] for i in infos] == paths
    for info, path in zip(infos, paths):
        psf = read_psf(path)
        assert [s["name"] for s in info["traces"]] == [t.name for t in psf.traces]
        assert [s["points"] for s in info["sweeps"]] == [len(s.data) for s in psf.sweeps]
        assert len(info["values"]) == len(psf.values)


# ---------------------------------------------------------------- export csv


def csv_columns(psf) -> list[tuple[str, np.ndarray]]:
    out = []
    for s in [*psf.sweeps, *psf.traces]:
        data = s.data
        if data.dtype.names:
            out += [(f"{s.name}.{f}", data[f]) for f in data.dtype.names]
        elif data.dtype.kind == "c":
            out += [(f"{s.name}.re", data.real), (f"{s.name}.im", data.imag)]
        else:
            out.append((s.name, data))
    return out


def export_csv(path: str, cwd) -> list[list[str]]:
    result = karvo("export", path, "--to", "csv", cwd=cwd)
    out, err = text(result)
    assert (result.returncode, err) == (0, "")
    return list(csv.reader(io.StringIO(out)))


@pytest.mark.parametrize("name", ["rc_ac", "rc_tran", "rc_noise"])
def test_csv_round_trips_the_examples(tmp_path, name):
    rows = export_csv(EXAMPLES[name], tmp_path)
    columns = csv_columns(read_psf(EXAMPLES[name]))
    assert rows[0] == [n for n, _ in columns]
    assert len(rows) == 1 + len(columns[0][1])
    for k, (_, column) in enumerate(columns):
        assert bits([float(row[k]) for row in rows[1:]]) == bits(column)


def test_csv_keeps_every_bit_and_pads_short_columns(tmp_path, write):
    path = write(special_file())
    rows = export_csv(path, tmp_path)
    assert rows[0] == ["x", "step", "file", "z.re", "z.im", "n.total", "n.R1"]
    assert len(rows) == 1 + len(SPECIAL)
    body = rows[1:]
    assert bits([float(r[0]) for r in body]) == bits(SPECIAL)
    # -nan reads back as nan: the sign of a NaN is not kept
    assert bits([float(r[2]) for r in body]) == text_bits([-x for x in SPECIAL])
    # the complex trace has one point less: its last cells stay empty
    assert [r[3:5] for r in body[-1:]] == [["", ""]]
    assert bits([float(r[3]) for r in body[:-1]]) == bits(SPECIAL[:-1])
    assert bits([float(r[4]) for r in body[:-1]]) == text_bits([-x for x in SPECIAL[:-1]])
    assert bits([float(r[5]) for r in body]) == bits(SPECIAL)
    assert [r[6] for r in body] == [repr(float(k)) for k in range(len(SPECIAL))]


def test_csv_of_values(tmp_path, write):
    rows = export_csv(write(nonswept_file()), tmp_path)
    assert rows == [
        ["name", "value"],
        ["nan", "nan"],
        ["z.re", "-inf"],
        ["z.im", "0.1"],
        ["note", 'a, "quoted" note'],
        ["R1.v", repr(1 / 3)],
        ["R1.z.re", "2.0"],
        ["R1.z.im", "-1.0"],
        ["R1.region", "3"],
    ]


def test_csv_of_the_operating_point_example(tmp_path):
    rows = export_csv(EXAMPLES["rc_dcop"], tmp_path)
    psf = read_psf(EXAMPLES["rc_dcop"])
    expected = {}
    for v in psf.values:
        members = v.data.items() if isinstance(v.data, dict) else [(None, v.data)]
        for m, x in members:
            expected[v.name if m is None else f"{v.name}.{m}"] = x
    assert rows[0] == ["name", "value"]
    assert [r[0] for r in rows[1:]] == list(expected)
    assert [type(x)(r[1]) for r, x in zip(rows[1:], expected.values())] == list(expected.values())


def test_csv_of_an_empty_file(tmp_path, write):
    assert export_csv(write(pb.header_only()), tmp_path) == [["name", "value"]]


def test_csv_to_a_file_equals_stdout(tmp_path):
    out_path = tmp_path / "out.csv"
    result = karvo("export", EXAMPLES["rc_ac"], "-o", str(out_path), cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    assert out_path.read_bytes() == karvo("export", EXAMPLES["rc_ac"], cwd=tmp_path).stdout


# ---------------------------------------------------------------- export npz


def load_npz(data: bytes) -> dict:
    # The dtype of a struct of thousands of members (designParamVals.info) is
    # longer than NumPy's default header limit.
    with np.load(io.BytesIO(data), allow_pickle=False, max_header_size=1 << 20) as z:
        return {k: z[k] for k in z.files}


@pytest.mark.parametrize("name", ["rc_ac", "rc_tran", "rc_noise"])
def test_npz_to_stdout_holds_every_signal(tmp_path, name):
    result = karvo("export", EXAMPLES[name], "--to", "npz", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    arrays = load_npz(result.stdout)
    psf = read_psf(EXAMPLES[name])
    signals = [*psf.sweeps, *psf.traces]
    assert list(arrays) == [s.name for s in signals]
    for s in signals:
        assert arrays[s.name].dtype == s.data.dtype
        assert arrays[s.name].tobytes() == s.data.tobytes()


def test_npz_file_keeps_bits_and_odd_names(tmp_path, write):
    """-o with a .npz name picks the format; a signal may be named "file"."""
    path = write(special_file())
    out_path = tmp_path / "special.npz"
    result = karvo("export", path, "-o", str(out_path), cwd=tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")
    arrays = load_npz(out_path.read_bytes())
    assert list(arrays) == ["x", "step", "file", "z", "n"]
    assert bits(arrays["x"]) == bits(SPECIAL)
    assert bits(arrays["file"]) == bits([-x for x in SPECIAL])
    assert arrays["z"].dtype == np.complex128 and len(arrays["z"]) == len(SPECIAL) - 1
    assert arrays["n"].dtype.names == ("total", "R1")
    assert bits(arrays["n"]["total"]) == bits(SPECIAL)


def test_npz_of_values(tmp_path):
    result = karvo("export", EXAMPLES["rc_dcop"], "--to", "npz", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    arrays = load_npz(result.stdout)
    psf = read_psf(EXAMPLES["rc_dcop"])
    assert list(arrays) == [v.name for v in psf.values]
    for v in psf.values:
        array = arrays[v.name]
        assert array.shape == ()
        if isinstance(v.data, dict):
            assert array.dtype.names == tuple(v.data)
            assert array.item() == tuple(v.data.values())
        else:
            assert array.item() == v.data


def test_npz_gives_repeated_names_keys_of_their_own(tmp_path, write):
    """As in to_xarray: the swept source saved as a trace too is left out,
    other repeats get " (trace)" or " (value)"; CSV keeps every name."""
    path = write(swept([pb.Decl(1, "x", 10)], [pb.Decl(2, "x", 10), pb.Decl(3, "v", 10), pb.Decl(4, "v", 12)],
                       [(1, pb.f64(NAN)), (2, pb.f64(NAN)), (3, pb.f64(2.0)), (4, pb.f64(3.0) + pb.f64(4.0))]))
    values = write(pb.build(pb.NONSWEPT, types=TYPES, value=pb.NonSwept(
        [pb.Entry(1, "v", 10, pb.f64(1.0)), pb.Entry(2, "v", 11, pb.c128(2j))])))
    psf = read_psf(path)
    result = karvo("export", path, "--to", "npz", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    arrays = load_npz(result.stdout)
    assert list(arrays) == ["x", "v", "v (trace)"]
    for key, signal in zip(arrays, [psf.sweeps[0], psf.traces[1], psf.traces[2]]):
        assert (arrays[key].dtype, arrays[key].tobytes()) == (signal.data.dtype, signal.data.tobytes())
    assert export_csv(path, tmp_path)[0] == ["x", "x", "v", "v.total", "v.R1"]
    result = karvo("export", values, "--to", "npz", cwd=tmp_path)
    assert (result.returncode, result.stderr) == (0, b"")
    assert {k: a.item() for k, a in load_npz(result.stdout).items()} == {"v": 1.0, "v (value)": 2j}


# ---------------------------------------------------------------- the corpus


def psf_files(folder: Path) -> list[str]:
    """The psfbin files under `folder`, known by their bytes (their trailer
    ends in "Clarissa" and a word), and its PSF ASCII texts (they begin with
    HEADER), each text once: the result folders repeat their index files."""
    found, texts = [], set()
    for p in sorted(folder.rglob("*")) if folder.is_dir() else []:
        if not p.is_file():
            continue
        data = p.read_bytes()
        if data[-12:-4] == b"Clarissa" or (data.startswith(b"HEADER") and data not in texts):
            texts.add(data)
            found.append(p.relative_to(folder).as_posix())
    return found


def flat_values(psf) -> list:
    """(name, scalar) rows of the CSV of a non-swept file."""
    rows = []

    def flatten(name, x):
        if isinstance(x, dict):
            for member, v in x.items():
                flatten(f"{name}.{member}", v)
        elif isinstance(x, (tuple, np.ndarray)):
            for k, v in enumerate(x if isinstance(x, tuple) else x.tolist()):
                flatten(f"{name}[{k}]", v)
        elif isinstance(x, complex):
            rows.extend([(f"{name}.re", x.real), (f"{name}.im", x.imag)])
        else:
            rows.append((name, x))

    for v in psf.values:
        flatten(v.name, v.data)
    return rows


@pytest.mark.parametrize("name", psf_files(CORPUS))
def test_every_corpus_file_through_every_command(tmp_path, corpus, capsys, name):
    """read_psf, to_dataframe, to_xarray, info and both exports on every real file."""
    pytest.importorskip("xarray")
    path = str(corpus / name)
    psf = read_psf(path)
    frame, ds = package.to_dataframe(psf), package.to_xarray(psf)
    assert main(["info", "--json", path]) == 0
    (info,) = [json.loads(line) for line in capsys.readouterr().out.splitlines()]
    assert [t["points"] for t in info["sweeps"] + info["traces"]] == [len(s.data) for s in psf.sweeps + psf.traces]
    assert main(["export", "-o", str(tmp_path / "x.csv"), path]) == 0
    assert main(["export", "-o", str(tmp_path / "x.npz"), path]) == 0
    with open(tmp_path / "x.csv", newline="") as f:
        rows = list(csv.reader(f))
    arrays = load_npz((tmp_path / "x.npz").read_bytes())
    if psf.sweeps:
        n = len(psf.sweeps[0].data)
        assert (len(frame), dict(ds.sizes)) == (n, {psf.sweeps[0].name: n})
        columns = csv_columns(psf)
        assert rows[0] == [c for c, _ in columns] and len(rows) == 1 + n
        for k, (_, column) in enumerate(columns):
            assert bits([float(r[k]) for r in rows[1:]]) == bits(column)
        assert list(arrays) == [s.name for s in psf.sweeps + psf.traces]
        assert all(arrays[s.name].tobytes() == s.data.tobytes() for s in psf.sweeps + psf.traces)
    else:
        assert (len(frame), list(arrays)) == (len(psf.values), [v.name for v in psf.values])
        expected = flat_values(psf)
        members = [m for v in psf.values for m in (v.data if isinstance(v.data, dict) else [v.name])]
        assert len(ds.data_vars) == len(members)
        assert rows == [["name", "value"]] + [[k, x if isinstance(x, str) else repr(x)] for k, x in expected]
