"""Real simulator output: every corpus file reads, and agrees with its ASCII twin."""

from __future__ import annotations

import numpy as np
import pytest

import karvo
from asciipsf import read_ascii
from conftest import split_forced
from karvo import read_psf

# file, value_section_type, sweep name, trace count, point count, trace dtype
SWEPT_FILES = [
    ("long/ac.ac", 512, "freq", 4, 51, np.complex128),
    ("long/dc.dc", 512, "vdc", 4, 174, np.float64),
    ("long/tran.tran.tran", 1024, "time", 4, 10701, np.float64),
    ("pss/pss.td.pss", 1024, "time", 25, 1009, np.float64),
    ("pss/pac.0.pac", 512, "freq", 25, 501, np.complex128),
    ("pss/pac.pac", 512, "harmonic", 0, 7515, None),
    ("pss/pss.fd.pss", 512, "freq", 25, 51, np.complex128),
    ("grouped/srcSweep", 768, "voltage", 3, 4, np.float64),
]

# file, value_section_type, number of struct values
INFO_FILES = [
    ("long/dcOpInfo.info", 1280, 6),
    ("long/element.info", 1280, 6),
    ("long/finalTimeOP.info", 1280, 6),
    ("long/outputParameter.info", 1280, 6),
    ("pss/element.info", 1280, 25),
    ("pss/outputParameter.info", 1280, 17),
]

TWINS = [
    ("long/ac.ac", "long/ac.ascii"),
    ("long/dc.dc", "long/dc.ascii"),
    ("long/tran.tran.tran", "long/tran.ascii"),
    ("grouped/srcSweep", "grouped/srcSweep.ascii"),
    ("grouped/srcSweep2", "grouped/srcSweep2.ascii"),
]


# Twins the test oracle cannot read (a non-swept one), read only through read_psf.
RUN_TWINS = [
    ("runs/tran_dc_ac_param/1/test/psf/ac.ac", "runs/tran_dc_ac_param/1/test/psf/ac.ascii"),
    ("runs/tran_dc_ac_param/1/test/psf/dcOp.dc", "runs/tran_dc_ac_param/1/test/psf/dcOp.ascii"),
]


def layout_word(path) -> int:
    return int.from_bytes(path.read_bytes()[:4], "big")


def is_bookkeeping(key: str) -> bool:
    # "PSF sweeps", "PSFversion", "PsfTrailerStart", ...: written by the binary writer only
    return key.lower().startswith("psf")


def is_psfbin(path) -> bool:
    with open(path, "rb") as f:
        f.seek(0, 2)
        if f.tell() < 12:
            return False
        f.seek(-12, 2)
        return f.read(8) == b"Clarissa"


def is_psf_text(path) -> bool:
    with open(path, "rb") as f:
        return f.read(6) == b"HEADER" and not is_psfbin(path)


def test_every_corpus_file_reads(corpus):
    files = sorted(p for p in corpus.rglob("*") if p.is_file() and is_psfbin(p))
    named = {f[0] for f in SWEPT_FILES + INFO_FILES} | {"long/dcOp.dc", "long/modelParameter.info", "grouped/srcSweep2"}
    # The result folders under runs/ hold many more; every one must read.
    assert {p.relative_to(corpus).as_posix() for p in files if p.parts[len(corpus.parts)] != "runs"} == named
    for path in files:
        psf = read_psf(str(path))
        assert psf.header, path
        assert bool(psf.sweeps or psf.values) != (path.name == "modelParameter.info"), path
        # Bodies read in parts by several threads give the same arrays, bit for bit.
        with split_forced():
            again = read_psf(str(path))
        for one, other in zip(psf.sweeps + psf.traces, again.sweeps + again.traces, strict=True):
            assert (one.name, one.data.dtype, one.data.tobytes()) == (other.name, other.data.dtype, other.data.tobytes())


@pytest.mark.parametrize("name, layout, sweep, traces, points, dtype", SWEPT_FILES, ids=[f[0] for f in SWEPT_FILES])
def test_swept_file(corpus, name, layout, sweep, traces, points, dtype):
    path = corpus / name
    assert layout_word(path) == layout
    psf = read_psf(path)
    assert psf.values == []
    assert [s.name for s in psf.sweeps] == [sweep]
    data = psf.sweeps[0].data
    assert data.dtype == np.float64 and data.shape == (points,)
    assert len(psf.traces) == traces
    assert all(t.data.dtype == dtype and t.data.shape == (points,) for t in psf.traces)
    # the writer's own bookkeeping agrees with what was read
    header = psf.header
    assert header["PSF sweep points"] == points
    assert header["PSF traces"] == traces
    assert (header["PSF sweep min"], header["PSF sweep max"]) == (data.min(), data.max())
    assert not any(np.isnan(t.data).any() for t in psf.sweeps + psf.traces)


def test_windowed_file_with_a_trace_group(corpus):
    psf = read_psf(corpus / "long/tran.tran.tran")
    assert [t.name for t in psf.traces] == ["vo1", "vo2", "vin", "V0:p"]
    time = psf.sweeps[0].data
    assert time[0] == 0.0 and np.all(np.diff(time) > 0)


def test_nonswept_scalar_file(corpus):
    path = corpus / "long/dcOp.dc"
    assert layout_word(path) == 1280
    psf = read_psf(path)
    assert (psf.sweeps, psf.traces) == ([], [])
    assert [v.name for v in psf.values] == ["vo1", "vo2", "vin", "V0:p"]
    assert all(type(v.data) is float for v in psf.values)
    # the operating point lies on the dc sweep of the same circuit
    dc = read_psf(corpus / "long/dc.dc")
    vdc = dc.sweeps[0].data
    op = {v.name: v.data for v in psf.values}
    for trace in dc.traces:
        assert np.interp(op["vin"], vdc, trace.data) == pytest.approx(op[trace.name], rel=1e-9)


@pytest.mark.parametrize("name, layout, count", INFO_FILES, ids=[f[0] for f in INFO_FILES])
def test_struct_value_file(corpus, name, layout, count):
    path = corpus / name
    assert layout_word(path) == layout
    psf = read_psf(path)
    assert (psf.sweeps, psf.traces) == ([], [])
    assert len(psf.values) == count
    assert all(isinstance(v.data, dict) and v.data for v in psf.values)
    member_types = {type(x) for v in psf.values for x in v.data.values()}
    assert float in member_types and member_types <= {float, int}


def test_integer_members(corpus):
    psf = read_psf(corpus / "long/element.info")
    v0 = {v.name: v.data for v in psf.values}["V0"]
    assert v0["allbrkpts"] == 255  # Int8 0xFF: the byte, unsigned
    # Int8 words 00 00 00 01: the value is the word's last byte
    assert (v0["type"], v0["isnoisy"], v0["edgetype"]) == (1, 1, 0)
    assert v0["rjseed"] == 2147483647  # Int32, the largest


def test_negative_header_integers_agree_with_the_text_index(corpus):
    """The leaves of a harmonic sweep store `harmonic` as a PropInt, negative
    ones as two's complement words: the logFile's text gives the same."""
    folder = corpus / "runs/pss_run/pss/psf"
    leaves = [v for v in read_psf(folder / "logFile").values if "harmonic" in v.properties]
    assert len(leaves) == 15
    for entry in leaves:
        number = int(entry.data["dataFile"].split(".")[1])  # pac.-7.pac
        with karvo.open(folder / entry.data["dataFile"]) as f:
            headers = [f.header, read_psf(folder / entry.data["dataFile"]).header]
        for header in headers:
            assert type(header["harmonic"]) is int and header["harmonic"] == entry.properties["harmonic"] == number


@pytest.mark.parametrize("name", ["long/dcOpInfo.info", "long/finalTimeOP.info"])
def test_operating_point_power(corpus, name):
    devices = {v.name: v.data for v in read_psf(corpus / name).values}
    elements = {v.name: v.data for v in read_psf(corpus / "long/element.info").values}
    resistors = [d for d, members in devices.items() if {"v", "i", "res", "pwr"} <= members.keys()]
    assert resistors
    for d in resistors:
        m = devices[d]
        assert m["v"] * m["i"] == pytest.approx(m["pwr"], rel=1e-9)
        assert m["v"] / m["i"] == pytest.approx(m["res"], rel=1e-9)
        assert m["res"] == elements[d]["r"]


def test_header_only_file(corpus):
    path = corpus / "long/modelParameter.info"
    assert layout_word(path) == 0
    psf = read_psf(path)
    assert (psf.sweeps, psf.traces, psf.values) == ([], [], [])
    assert psf.header["analysis name"] == "modelParameter"


@pytest.mark.parametrize("binary, ascii", TWINS, ids=[t[0] for t in TWINS])
def test_binary_agrees_with_ascii_twin(corpus, binary, ascii):
    psf = read_psf(corpus / binary)
    twin = read_ascii(corpus / ascii)
    assert [s.name for s in psf.sweeps] == twin.sweeps
    assert [t.name for t in psf.traces] == twin.traces
    for signal in psf.sweeps + psf.traces:
        expected = np.array(twin.values[signal.name])
        assert signal.data.shape == expected.shape, signal.name
        assert signal.data.dtype == expected.dtype, signal.name
        np.testing.assert_allclose(signal.data, expected, rtol=1e-5, atol=1e-15, err_msg=signal.name)


@pytest.mark.parametrize("binary, ascii", TWINS, ids=[t[0] for t in TWINS])
def test_header_agrees_with_ascii_twin(corpus, binary, ascii):
    header = {k: v for k, v in read_psf(corpus / binary).header.items() if not is_bookkeeping(k)}
    twin = {k: v for k, v in read_ascii(corpus / ascii).header.items() if k != "PSFversion"}
    assert list(header) == list(twin)
    for key, value in header.items():
        if isinstance(value, str):
            assert twin[key] == value, key
        else:
            assert twin[key] == pytest.approx(value, rel=1e-5), key


def words(data) -> list:
    """The float64 words of a value or array (complex as two), as Python floats."""
    return np.ascontiguousarray(data).reshape(-1).view(np.float64).tolist()


@pytest.mark.parametrize("binary, ascii", TWINS + RUN_TWINS, ids=[t[1] for t in TWINS + RUN_TWINS])
def test_ascii_twin_reads_as_its_binary_twin(corpus, binary, ascii):
    """The same results in either form: names, order, points, header keys and
    properties alike, and each number of the text the binary one printed with
    six significant digits (%.6g), read back to the nearest binary64."""
    psf, twin = read_psf(corpus / binary), read_psf(corpus / ascii)
    header = [(k, v) for k, v in psf.header.items() if not is_bookkeeping(k)]
    assert [(k, v) for k, v in twin.header.items() if not is_bookkeeping(k)] == header
    for ours, theirs in [(psf.sweeps, twin.sweeps), (psf.traces, twin.traces), (psf.values, twin.values)]:
        assert [s.name for s in theirs] == [s.name for s in ours]
        for a, b in zip(ours, theirs):
            assert dict(b.properties) == dict(a.properties), a.name
            assert np.asarray(b.data).dtype == np.asarray(a.data).dtype, a.name
            assert np.shape(b.data) == np.shape(a.data), a.name
            assert words(b.data) == [float(f"{x:.6g}") for x in words(a.data)], a.name


def test_every_psf_ascii_file_reads(corpus):
    """Index files included: each one's entries agree with the files they name."""
    files = sorted(p for p in corpus.rglob("*") if p.is_file() and is_psf_text(p))
    assert {p.name for p in files} >= {"logFile", "runObjFile", "variables_file", "srcSweep2.ascii"}
    for path in files:
        psf = read_psf(path)
        assert psf.header["PSFversion"] == "1.00", path
        if path.name == "logFile":
            # One analysis per value; the sweeps of each data file it names are its sweep variables.
            for v in psf.values:
                data_file = path.parent / v.data["dataFile"]
                if data_file.exists():
                    assert [s.name for s in read_psf(data_file).sweeps] == list(v.data["sweepVariable"]), v.name
        elif path.name == "runObjFile":
            for v in psf.values:
                assert all((path.parent / name).is_file() for name in v.data["logName"] if name), v.name


def test_parametric_run_tree_agrees_with_each_run(corpus):
    """Each leaf of the run tree points at a run whose design variables are the
    values its PROP blocks give (res on the leaf, cap on its parent)."""
    top = corpus / "runs/tran_dc_ac_param/psf/test/psf"
    nodes = {v.name: v for v in read_psf(top / "runObjFile").values}
    leaves = [v for v in nodes.values() if v.data["logName"] != ("",)]
    assert len(leaves) == 9
    for leaf in leaves:
        run = top / leaf.properties["dataDir"] / "psf"
        design = {v.name: v.data["value"] for v in read_psf(run / "variables_file").values}
        parent = nodes[leaf.data["parent"]]
        assert (design["res"], design["cap"]) == (leaf.properties["res"], parent.properties["cap"]), leaf.name
