"""PSF ASCII: the text form of the same results, read by read_psf."""

from __future__ import annotations

import csv
import json
import random
import struct
import subprocess
import sys
import warnings

import numpy as np
import pytest

import karvo
from karvo.testing import psfbuilder as pb
from karvo.testing import resultbuilder as rb
from conftest import ROOT
from karvo import read_psf
from karvo.testing.seeds import text_seeds

TYPES = """TYPE
"sweep" FLOAT DOUBLE PROP( "key" "sweep" )
"V" FLOAT DOUBLE PROP( "units" "V" "key" "node" )
"Z" COMPLEX DOUBLE
"noise" STRUCT(
"total" FLOAT DOUBLE
"rd" FLOAT DOUBLE PROP( "units" "ignored" )
) PROP( "units" "V^2/Hz" )
"""

SWEPT = (
    'HEADER\n"PSFversion" "1.00"\n"runs" 4294967295\n"neg" -2147483648 "below" -2147483649\n"big" 4294967296\n"temp" 27.0\n'
    + TYPES
    + 'SWEEP\n"freq" "sweep" PROP( "units" "Hz" )\n'
    'TRACE\n"out" "V" PROP( "units" "mV" )\n"g" GROUP 2\n"z" "Z"\n"n" "noise"\n'
    'VALUE\n"freq" 1\n"out" -0.5\n"g" (1 -2) (0.25 1e-3)\n'
    '"freq" +1e1\n"out" nan\n"g" (inf -INF) (1e400 -1e-400)\n'
    "END\n"
)

NONSWEPT = """HEADER
"PSFversion" "1.00"
TYPE
"i8" INT BYTE
"i32" INT LONG
"s" STRING *
"names" ARRAY ( * ) STRING *
"xyz" ARRAY ( 3 ) FLOAT DOUBLE PROP( "units" "m" )
"ints" ARRAY ( * ) INT LONG
"zs" ARRAY ( * ) COMPLEX DOUBLE
"op" STRUCT(
"v" FLOAT DOUBLE
"region" INT BYTE
"model" STRING *
"pins" ARRAY( * ) STRING *
"z" COMPLEX DOUBLE
) PROP( "key" "inst" )
VALUE
"a" "i8" -3
"b" "i32" 9223372036854775807
"c" "s" "tab\\there \\"q\\" back\\\\slash \u00e9"
"d" "names" ( "x" "y" )
"e" "names" ( )
"f" "xyz" ( 1 2 3 )
"g" "ints" ( -1 2 )
"h" "zs" ( (1 2) (3 -4) )
"dev" GROUP 1
"m1" "op" ( 0.7 1 "nch" ("d" "g") (1 -1) ) PROP( "m" 2 )
END
"""


def bits(a) -> bytes:
    return np.ascontiguousarray(a).tobytes()


def test_swept_text(write):
    psf = read_psf(write(SWEPT.encode()))
    # Integers from -2^31 to 2^32 - 1 are ints (the binary form's PropInts are
    # signed 32-bit words); others become float.
    assert psf.header == {"PSFversion": "1.00", "runs": 4294967295, "neg": -(2**31), "below": -(2**31) - 1.0,
                          "big": 4294967296.0, "temp": 27.0}  # fmt: skip
    assert [type(v) for v in psf.header.values()] == [str, int, int, float, float, float]
    assert [s.name for s in psf.sweeps] == ["freq"] and [t.name for t in psf.traces] == ["out", "z", "n"]
    freq, out, z, n = psf.sweeps + psf.traces
    assert bits(freq.data) == bits(np.array([1.0, 10.0]))
    assert bits(out.data) == bits(np.array([-0.5, float("nan")]))
    assert bits(z.data) == bits(np.array([1 - 2j, complex(float("inf"), float("-inf"))]))
    assert n.data.dtype.names == ("total", "rd")
    assert bits(n.data) == bits(np.array([0.25, 1e-3, float("inf"), -0.0]))
    # The type's properties, then the declaration's, the later winning.
    assert dict(freq.properties) == {"key": "sweep", "units": "Hz"}
    assert dict(out.properties) == {"units": "mV", "key": "node"}
    assert out.units == "mV" and n.units == "V^2/Hz" and dict(z.properties) == {}


def test_nonswept_text(write):
    psf = read_psf(write(NONSWEPT.encode()))
    values = {v.name: v.data for v in psf.values}
    assert list(values) == ["a", "b", "c", "d", "e", "f", "g", "h", "m1"]
    # Integers keep their sign and their 64 bits.
    assert (values["a"], values["b"]) == (-3, 2**63 - 1)
    assert values["c"] == 'tab\there "q" back\\slash \u00e9'
    assert (values["d"], values["e"]) == (("x", "y"), ())
    for name, dtype, expected in [("f", np.float64, [1, 2, 3]), ("g", np.int64, [-1, 2]), ("h", np.complex128, [1 + 2j, 3 - 4j])]:
        assert values[name].dtype == dtype and values[name].tolist() == expected, name
    m1 = values["m1"]
    assert list(m1) == ["v", "region", "model", "pins", "z"]
    assert m1 == {"v": 0.7, "region": 1, "model": "nch", "pins": ("d", "g"), "z": 1 - 1j}
    assert dict(psf["m1"].properties) == {"key": "inst", "m": 2} and psf["f"].units == "m"


def test_numbers_read_to_the_nearest_binary64(write):
    """The text reader rounds as Python's float() does (correctly), halfway
    cases, subnormals and 17-digit forms included."""
    rng = random.Random(5)
    texts = ["2.2250738585072011e-308", "4.9406564584124654e-324", "2.4703282292062328e-324", "1.7976931348623157e308",
             "9007199254740993", "0.1", "-0.0", "1e-400", "-1e400", "179769313486231580793728971405303415079934132710037826936173778980444968292764750946649017977587207096330286416692887910946555547851940402630657488671505820681908902000708383676273854845817711531764475730270069855571366959622842914819860834936475292719074168444365510704342711559699508093042880177904174497792"]  # fmt: skip
    for _ in range(3000):
        x = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
        if x == x:
            texts.append(rng.choice([repr(x), f"{x:.17e}", f"{x:.6g}", f"{x:.25e}"]))
    # Short decimals around the edges of exact arithmetic: 2^53, 1e22, 19 digits.
    texts += ["1e22", "1e23", "-1e-22", "1e-23", "9007199254740992e-22", "9007199254740993e5", "1234567890123456789",
              "12345678901234567890", "1.e5", ".5", "-.5E+3", "0.000100000", "7e0", "1E-0"]  # fmt: skip
    for _ in range(3000):
        digits = str(rng.randrange(10 ** rng.randint(1, 17)))
        point = rng.randint(0, len(digits))
        texts.append(f"{digits[:point]}.{digits[point:]}e{rng.randint(-30, 30)}")
    body = "".join(f'"x" {t}\n' for t in texts)
    psf = read_psf(write(f'HEADER\nTYPE\n"f" FLOAT DOUBLE\nSWEEP\n"x" "f"\nVALUE\n{body}END\n'.encode()))
    assert bits(psf.sweeps[0].data) == bits(np.array([float(t) for t in texts]))


def test_text_and_binary_forms_of_the_same_results_agree(write):
    """Both forms as a simulator writes them: names with a backslash before
    other characters than an escape's (MN63\\&48 kept as written), negative
    Int32 values and PropInts (two's complement words in the binary form)."""
    names = ["MN63\\&48_Dummy_4.d2", "tab\\there", 'say "hi"\\']
    binary = pb.build(
        pb.NONSWEPT,
        header=[("PSFversion", "1.00"), ("harmonic", -7), ("top", 2**31 - 1)],
        types=[pb.struct_type(1, "op", [("region", pb.INT8), ("n", pb.INT32)]), pb.TypeDef(2, "i", pb.INT32)],
        value=pb.NonSwept([pb.Entry(1, names[0], 1, pb.int8(255) + pb.i32(-7), props=[("m", -2)]),
                           pb.Entry(2, names[1], 2, pb.i32(-(2**31))), pb.Entry(3, names[2], 2, pb.i32(5))]),
    )
    text = "\n".join([
        'HEADER\n"PSFversion" "1.00"\n"harmonic" -7\n"top" 2147483647',
        'TYPE\n"op" STRUCT(\n"region" INT BYTE\n"n" INT LONG\n)\n"i" INT LONG\nVALUE',
        f'{rb.quote(names[0])} "op" ( 255 -7 ) PROP( "m" -2 )',
        f'{rb.quote(names[1])} "i" -2147483648\n{rb.quote(names[2])} "i" 5\nEND\n',
    ])  # fmt: skip
    assert '"MN63\\&48_Dummy_4.d2"' in text  # as the simulator prints it
    forms = [read_psf(write(binary)), read_psf(write(text.encode()))]
    ours, theirs = ([(v.name, repr(v.data), repr(dict(v.properties))) for v in psf.values] for psf in forms)
    assert [name for name, _, _ in ours] == names
    assert ours == theirs and ours[0][1:] == ("{'region': 255, 'n': -7}", "{'m': -2}")
    assert repr(forms[0].header) == repr(forms[1].header) == "{'PSFversion': '1.00', 'harmonic': -7, 'top': 2147483647}"


def read_through_open(path: str) -> karvo.Psf:
    with karvo.open(path) as f:
        return f.read()


@pytest.mark.parametrize("read", [read_psf, read_through_open], ids=["read_psf", "open"])
def test_text_after_end_is_ignored_with_one_warning(write, read):
    """A real variables_file ends "END\\n.s": what END closed is read, and one
    warning names the file and the line, and points at the caller's line."""
    values = {"r": 1000.0, "c": 1e-9}
    text = rb.variables_file(values, after_end=".s")
    path = write(text.encode(), "variables_file")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        psf = read(path)
    line = text.count("\n") + 1
    message = f"{path}: line {line}, column 1: text after END ignored"
    assert [(w.category, str(w.message), w.filename) for w in caught] == [(UserWarning, message, __file__)]
    assert {v.name: v.data for v in psf.values} == {k: {"value": v} for k, v in values.items()}


@pytest.mark.parametrize(
    "text, message",
    [
        (b"", "file too small to be psfbin (0 bytes)"),
        (b"HEADERS, not a section\n", "footer magic 'Clarissa' not found (not a psfbin file?)"),
        # Text that ends as psfbin does is psfbin.
        (b'HEADER\n"x" 1\nEND\n' + b"Clarissa\0\0\0\0", "unknown value_section_type 1212498244"),
        (b'HEADER\n"PSFversion" "1.0', "line 2, column 14: unterminated string"),
        (b'HEADER\n"a" 1 2\n', "line 2, column 7: expected a quoted name, TYPE, SWEEP, TRACE, VALUE or END, got '2'"),
        (b'HEADER\n"a" (1)\n', "line 2, column 5: expected a number or a quoted string, got '('"),
        (b'HEADER\nTYPE\n"x" FLOT DOUBLE\nEND\n', "line 3, column 5: expected a datatype (FLOAT DOUBLE, COMPLEX DOUBLE, INT BYTE, INT LONG, STRING *, ARRAY or STRUCT), got 'FLOT'"),
        (b'HEADER\nTYPE\n"x" INT SHORT\n', "line 3, column 9: expected 'BYTE' or 'LONG', got 'SHORT'"),
        (b'HEADER\nTYPE\n"s" STRUCT(\n"a" STRUCT( "b" FLOAT DOUBLE )\n)\n', "line 4, column 5: struct 's' has a nested struct member 'a' (nested structs are not supported)"),
        (b'HEADER\nTYPE\n"s" STRUCT( )\nEND\n', "line 3, column 5: struct 's' has zero fields (empty structs unsupported)"),
        (b'HEADER\nTYPE\n"a" ARRAY ( * ) ARRAY ( * ) STRING *\n', "line 3, column 17: array type 'a' has unsupported element datatype Array"),
        (b'HEADER\nTYPE\n"x" FLOAT DOUBLE PROP( "k" )\n', "line 3, column 28: expected a number or a quoted string, got ')'"),
        (b'HEADER\nSWEEP\n"t" "f"\n', "line 3, column 5: unknown type 'f'"),
        (b'HEADER\nTYPE\n"s" STRING *\nSWEEP\n"t" "s"\n', "line 5, column 1: trace/sweep 't' has unsupported datatype String"),
        (b'HEADER\nSWEEP\nTYPE\n', "line 3, column 1: expected a quoted name, TRACE, VALUE or END, got 'TYPE'"),
        (b'HEADER\nTRACE\n"g" GROUP x\n', "line 3, column 11: expected a member count, got 'x'"),
        (b'HEADER\nTRACE\n"g" GROUP 2\n"a"\n', "line 5, column 1: expected a quoted type name or GROUP, got end of file"),
        # Cut at the end of a point, in a point, in a value; a point in another order.
        (SWEPT.encode()[:-4], "line 29, column 1: expected a quoted name or END, got end of file"),
        (SWEPT[: SWEPT.index('"g" (inf')].encode(), "line 28, column 1: expected \"g\", got end of file"),
        (SWEPT[: SWEPT.index("-INF")].encode(), "line 28, column 10: expected a number, got end of file"),
        (SWEPT.replace('"out" nan\n"g"', '"g" nan\n"out"').encode(), "line 27, column 1: expected \"out\", got \"g\""),
        (SWEPT.replace("(inf -INF)", "(inf)").encode(), "line 28, column 9: expected a number, got ')'"),
        (SWEPT.replace("(0.25 1e-3)", "0.25 1e-3").encode(), "line 25, column 12: expected '(', got '0.25'"),
        (SWEPT.replace('"out" -0.5', '"out" -0.5.1').encode(), "line 24, column 7: expected a number, got '-0.5.1'"),
        (SWEPT.replace('"out" -0.5', '"out" 0x10').encode(), "line 24, column 7: expected a number, got '0x10'"),
        (NONSWEPT.replace("( 1 2 3 )", "( 1 2 )").encode(), "line 24, column 11: expected an array of 3 elements, got 2"),
        (NONSWEPT.replace("-3", "-9223372036854775809").encode(), "line 19, column 10: integer out of the range of 64 bits"),
        (NONSWEPT.replace('"i8" -3', '"i8" 3.0').encode(), "line 19, column 10: expected an integer, got '3.0'"),
        (NONSWEPT.replace('"x" "y"', '"x" 7').encode(), "line 22, column 19: expected a quoted string, got '7'"),
        (NONSWEPT.replace('"a" "i8"', '"a" "i9"').encode(), "line 19, column 5: unknown type 'i9'"),
        # Columns count characters, not bytes.
        (NONSWEPT.replace('"c" "s" "tab', '"c\u00e9\u00e9" "s" 5 "tab').encode(), "line 21, column 11: expected a quoted string, got '5'"),
        (b'HEADER\n"a\xff" 1\n', "line 2, column 3: invalid UTF-8 in string: invalid utf-8 sequence of 1 bytes from index 1"),
    ],
)
def test_malformed_text_names_line_and_column(write, text, message):
    with pytest.raises(ValueError) as caught:
        read_psf(write(text))
    assert str(caught.value) == message


def test_groups_nest_as_deep_as_the_binary_ones(write):
    def text(depth: int) -> bytes:
        groups = "".join(f'"g{k}" GROUP 1\n' for k in range(depth))
        return f'HEADER\nTYPE\n"f" FLOAT DOUBLE\nSWEEP\n"t" "f"\nTRACE\n{groups}"deep" "f"\nVALUE\n"t" 1 "g0" 2\nEND\n'.encode()

    assert read_psf(write(text(256)))["deep"].data.tolist() == [2.0]
    with pytest.raises(ValueError, match=r"^line 263, column 1: group 'g256' is nested more than 256 levels deep$"):
        read_psf(write(text(100000)))


def good_texts() -> list[bytes]:
    return [SWEPT.encode(), NONSWEPT.encode(), *text_seeds().values()]


def test_every_cut_and_damaged_text_reads_or_names_its_place(write):
    """Every prefix, and text with bytes replaced by ones that matter to the
    lexer, gives a Psf or a ValueError with a line and column."""
    rng = random.Random(7)
    for good in good_texts():
        cases = [good[:n] for n in range(7, len(good))]
        for _ in range(300):
            damaged = bytearray(good)
            for _ in range(rng.randint(1, 3)):
                # After the word HEADER, which decides the form.
                damaged[rng.randrange(7, len(damaged))] = rng.choice(b'"()\\ \n0-e.xG\xff')
            cases.append(bytes(damaged))
        for text in cases:
            path = write(text, "t.txt")
            try:
                read_psf(path)
            except ValueError as e:
                assert str(e).startswith("line "), (text, e)


@pytest.mark.parametrize("value, numpy", [('"names" ( "a" )', False), ('"xyz" ( 1 2 3 )', True)])
def test_numpy_is_imported_only_for_arrays_of_numbers(write, value, numpy):
    text = '''HEADER\nTYPE\n"names" ARRAY ( * ) STRING *\n"xyz" ARRAY ( 3 ) FLOAT DOUBLE\nVALUE\n"v" {}\nEND\n'''
    path = write(text.format(value).encode())
    code = f"import sys, karvo; karvo.read_psf({path!r}); print('numpy' in sys.modules)"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (result.returncode, result.stderr, result.stdout) == (0, "", f"{numpy}\n")



def test_array_values_through_the_commands_and_adapters(write, tmp_path, capsys):
    """Arrays of strings and numbers, alone and as struct members, in every output."""
    xr = pytest.importorskip("xarray")
    import karvo
    from karvo.cli import main

    path = write(NONSWEPT.encode())
    assert main(["info", "--json", path]) == 0
    values = {v["name"]: v for v in json.loads(capsys.readouterr().out)["values"]}
    assert (values["f"]["type"], values["f"]["value"]) == ("array", [1.0, 2.0, 3.0])
    assert values["h"]["value"] == [{"re": 1.0, "im": 2.0}, {"re": 3.0, "im": -4.0}]
    assert values["m1"]["value"]["pins"] == ["d", "g"]
    assert main(["export", "-o", str(tmp_path / "x.csv"), path]) == 0
    with open(tmp_path / "x.csv", newline="") as f:
        rows = list(csv.reader(f))
    names = ["name", "a", "b", "c", "d[0]", "d[1]", "f[0]", "f[1]", "f[2]", "g[0]", "g[1]", "h[0].re", "h[0].im",
             "h[1].re", "h[1].im", "m1.v", "m1.region", "m1.model", "m1.pins[0]", "m1.pins[1]", "m1.z.re", "m1.z.im"]  # fmt: skip
    assert [r[0] for r in rows] == names
    assert [r[1] for r in rows[-7:]] == ["0.7", "1", "nch", "d", "g", "1.0", "-1.0"]
    assert main(["export", "-o", str(tmp_path / "x.npz"), path]) == 0
    with np.load(tmp_path / "x.npz") as z:
        assert z["f"].tolist() == [1.0, 2.0, 3.0] and z["e"].shape == (0,) and z["d"].tolist() == ["x", "y"]
        assert z["m1"]["pins"].tolist() == ["d", "g"] and z["m1"]["z"] == 1 - 1j
    psf = read_psf(path)
    ds = karvo.to_xarray(psf)
    assert ds["h"].dims == ("h element",) and ds["h"].values.tolist() == [1 + 2j, 3 - 4j]
    assert ds["m1.pins"].values.tolist() == ["d", "g"] and isinstance(ds, xr.Dataset)
    frame = karvo.to_dataframe(psf)
    assert frame.loc["m1", "pins"] == ("d", "g") and frame.loc["g", "value"].tolist() == [-1, 2]
