"""Writes the fuzz seed corpus.

    python3 fuzz/make_seeds.py                  builder-made seeds into fuzz/seeds/
    python3 fuzz/make_seeds.py --real DIR       also copies the real simulator files
                                                of ../shared/corpus into DIR/file,
                                                DIR/body, DIR/text and DIR/raw
                                                (never into the repo)

Each psfbin seed is written twice: `file/` holds whole files (for fuzz_psfbin)
and `body/` the same files without their 12-byte footer (for
fuzz_psfbin_footer, which appends one). `text/` holds small PSF ASCII texts
(for fuzz_psftext), one per section form and datatype; `raw/` small SPICE
raw files (for fuzz_raw), one per layout and encoding.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(ROOT / "tests"))

from psfbuilder import (  # noqa: E402
    COMPLEX,
    EMPTY,
    FLOAT64,
    GROUPED_SWEPT,
    INT8,
    INT32,
    MAGIC,
    NONSWEPT,
    STRING,
    SWEPT,
    WINDOWED,
    Decl,
    Entry,
    Group,
    GroupedSwept,
    NonSwept,
    Padding,
    Swept,
    TypeDef,
    Windowed,
    build,
    c128,
    f64,
    string,
    struct_type,
    swept_records,
    u32,
    windowed_frames,
)
from rawbuilder import C128, F32, F64, raw_plot  # noqa: E402

HEADER = (("PSFversion", "1.00"), ("simulator", "fuzz"), ("points", 3), ("tstop", 1e-6))
SCALARS = [TypeDef(1, "V", FLOAT64, props=[("units", "V")]), TypeDef(2, "c", COMPLEX)]


def seeds() -> dict[str, bytes]:
    """One small file per layout and feature."""
    noise = struct_type(3, "noise", [("total", FLOAT64), ("rd", FLOAT64), ("id", FLOAT64)])
    out: dict[str, bytes] = {}
    out["empty"] = build(EMPTY, header=HEADER)
    out["empty_trailer_word"] = build(EMPTY, header=HEADER, trailer=u32(15))

    freq = [f64(x) for x in (1.0, 10.0, 100.0)]
    out["swept_float"] = build(
        SWEPT,
        header=HEADER,
        types=SCALARS,
        sweeps=[Decl(10, "freq", 1)],
        traces=[Decl(11, "out", 1, props=[("key", 1)])],
        value=Swept(swept_records({10: freq, 11: [f64(-x) for x in (1, 2, 3)]}, [10, 11])),
    )
    out["swept_complex_struct"] = build(
        SWEPT,
        header=HEADER,
        types=SCALARS + [noise],
        sweeps=[Decl(10, "freq", 1)],
        traces=[Decl(11, "out", 2), Decl(12, "n", 3)],
        value=Swept(
            swept_records(
                {
                    10: freq,
                    11: [c128(complex(k, -k)) for k in range(3)],
                    12: [f64(k) + f64(k + 0.5) + f64(-k) for k in range(3)],
                },
                [10, 11, 12],
            )
        ),
    )
    out["swept_groups"] = build(
        SWEPT,
        header=HEADER,
        types=SCALARS,
        sweeps=[Decl(10, "freq", 1)],
        traces=[Group(20, "grp", [Decl(11, "a", 1), Group(21, "inner", [Decl(12, "b", 2)])]), Decl(13, "c", 1)],
        value=Swept([(10, f64(1)), (11, f64(2)), (12, c128(3 + 4j)), (13, f64(5))]),
    )
    out["grouped_swept"] = build(
        GROUPED_SWEPT,
        header=HEADER,
        types=SCALARS + [noise],
        sweeps=[Decl(10, "v", 1)],
        traces=[Group(20, "g", [Decl(11, "a", 1), Decl(12, "b", 2), Decl(14, "n", 3)]), Decl(13, "c", 1)],
        value=GroupedSwept(
            [
                (16, 10, f64(0.0)),
                (17, 20, f64(1) + c128(2j) + f64(1) + f64(2) + f64(3)),
                (16, 13, f64(3)),
                (16, 10, f64(1.0)),
                (17, 20, f64(4) + c128(5 + 6j) + f64(4) + f64(5) + f64(6)),
                (16, 13, f64(7)),
            ]
        ),
    )
    cols = [[float(i) for i in range(7)], [i * 0.5 for i in range(7)], [-float(i) for i in range(7)]]
    out["windowed"] = build(
        WINDOWED,
        header=HEADER,
        types=SCALARS,
        sweeps=[Decl(10, "time", 1)],
        traces=[Group(20, "group", [Decl(11, "v1", 1), Decl(12, "v2", 1)])],
        value=Windowed([Padding(8)] + windowed_frames(cols, 4)),
    )
    out["windowed_no_traces"] = build(
        WINDOWED,
        header=HEADER,
        types=SCALARS,
        sweeps=[Decl(10, "time", 1)],
        value=Windowed(windowed_frames([[1.0, 2.0, 3.0]], 2)),
    )
    mixed = struct_type(4, "op", [("v", FLOAT64), ("region", INT8), ("n", INT32), ("model", STRING), ("z", COMPLEX)])
    out["nonswept"] = build(
        NONSWEPT,
        header=HEADER,
        types=[
            TypeDef(1, "V", FLOAT64),
            TypeDef(2, "c", COMPLEX),
            TypeDef(5, "i", INT32),
            TypeDef(6, "b", INT8),
            TypeDef(7, "s", STRING),
            mixed,
        ],
        value=NonSwept(
            [
                Entry(100, "vdd", 1, f64(1.8), props=[("units", "V")]),
                Entry(101, "z", 2, c128(1 - 2j)),
                Entry(102, "count", 5, u32(0xFFFFFFFF)),
                Entry(103, "flag", 6, u32(0xFF)),
                Entry(104, "text", 7, string("héllo")),
                Group(200, "dev", [Entry(105, "m1", 4, f64(0.7) + u32(2) + u32(3) + string("nch") + c128(1j))]),
            ]
        ),
    )
    nested = Decl(11, "deep", 1)
    for level in range(12):
        nested = Group(100 + level, f"g{level}", [nested])
    out["nested_groups"] = build(
        SWEPT,
        header=HEADER,
        types=SCALARS,
        sweeps=[Decl(10, "x", 1)],
        traces=[nested],
        value=Swept([(10, f64(1)), (11, f64(2))]),
    )
    out["swept_no_records"] = build(
        SWEPT, header=HEADER, types=SCALARS + [noise], sweeps=[Decl(10, "x", 1)], traces=[Decl(12, "n", 3)], value=Swept([])
    )
    out["declarations_only"] = build(
        SWEPT, header=HEADER, types=SCALARS + [noise], sweeps=[Decl(10, "x", 1)], traces=[Decl(12, "n", 3)]
    )
    return out


TEXT_TYPES = """TYPE
"sweep" FLOAT DOUBLE PROP(
"key" "sweep"
)
"V" FLOAT DOUBLE PROP( "units" "V" "tolerance" 1.00000e-06 )
"Z" COMPLEX DOUBLE
"noise" STRUCT(
"total" FLOAT DOUBLE
"rd" FLOAT DOUBLE
) PROP( "units" "V^2/Hz" )
"""


def text_seeds() -> dict[str, bytes]:
    """One small PSF ASCII text per section form and datatype."""
    head = 'HEADER\n"PSFversion" "1.00"\n"simulator" "fuzz"\n"points" 2\n"tstop" 1e-06\n"neg" -3\n'
    out = {"header_only": head}
    out["swept"] = (
        head + TEXT_TYPES + 'SWEEP\n"freq" "sweep" PROP( "units" "Hz" )\nTRACE\n"out" "V"\n"z" "Z"\n"n" "noise"\n'
        'VALUE\n"freq" 1.00000\n"out" -0.5\n"z" (1 -2)\n"n" (3 4)\n'
        '"freq" 10.0000\n"out" nan\n"z" (inf -inf)\n"n" (1e-300 -0)\nEND\n'
    )
    out["swept_groups"] = (
        head + TEXT_TYPES + 'SWEEP\n"time" "sweep"\nTRACE\n"group" GROUP 3\n"a" "V"\n"in" GROUP 1\n"z" "Z"\n"b" "V"\n'
        '"c" "noise"\nVALUE\n"time" 0\n"group" 1\n(2 3)\n4\n"c" (5 6)\n"time" 1e-9\n"group" 7 (8 9) 10\n"c" (11 12)\nEND\n'
    )
    out["nonswept"] = (
        head + 'TYPE\n"V" FLOAT DOUBLE PROP( "units" "V" )\n"i8" INT BYTE\n"i32" INT LONG\n"s" STRING *\n'
        '"z" COMPLEX DOUBLE\n"names" ARRAY ( * ) STRING *\n"xyz" ARRAY ( 3 ) FLOAT DOUBLE\n'
        '"op" STRUCT(\n"v" FLOAT DOUBLE\n"region" INT BYTE\n"n" INT LONG\n"model" STRING *\n'
        '"pins" ARRAY( * ) STRING *\n"z" COMPLEX DOUBLE\n) PROP( "key" "inst" )\n'
        'VALUE\n"vdd" "V" 1.8 PROP( "units" "V" )\n"flag" "i8" 255\n"count" "i32" -4294967295\n'
        '"text" "s" "h\\"\u00e9llo"\n"zz" "z" (1 -2)\n"list" "names" ( "a" "b\\\\" )\n"pos" "xyz" ( 1 2 3 )\n'
        '"dev" GROUP 1\n"m1" "op" ( 0.7 2 3 "nch" ( "d" "g" ) (0 1) ) PROP( )\nEND\n'
    )
    out["declarations_only"] = head + TEXT_TYPES + 'SWEEP\n"x" "sweep"\nTRACE\n"n" "noise"\nEND\n'
    return {name: text.encode() for name, text in out.items()}


def raw_seeds() -> dict[str, bytes]:
    """One small SPICE raw file per body layout, encoding and flag."""
    import numpy as np

    names = [("time", "time"), ("v(out)", "voltage"), ("i(v1)", "current")]
    data = np.array([[0.0, 1.0, -1e-3], [1e-9, 0.5, 2e-3], [2e-9, 0.25, 0.0]])
    ac = data * (1 + 0.5j)
    lt = {"encoding": "utf-16-le", "command": "Linear Technology Corporation LTspice XVII"}
    out = {
        "rows": raw_plot(names, data),
        "fastaccess": raw_plot(names, data, flags="real fastaccess", fastaccess=True),
        "complex": raw_plot(names, ac, flags="complex", plotname="AC Analysis"),
        "values": raw_plot(names, data, body="values"),
        "values_complex": raw_plot(names, ac, flags="complex", body="values"),
        "ltspice": raw_plot(names, data, flags="real forward", sources=[F64, F32, F32], **lt),
        "ltspice_double": raw_plot(names, data, flags="real forward double", **lt),
        "ltspice_stepped": raw_plot(names, np.vstack([data, data]), flags="real forward stepped",
                                    sources=[F64, F32, F32], **lt),
        "ltspice_values": raw_plot(names, data, body="values", **lt),
        "ltspice_complex": raw_plot(names, ac, flags="complex forward log", sources=[C128] * 3, **lt),
    }
    out["plots"] = out["rows"] + raw_plot(names[1:], data[:1, 1:], plotname="Operating Point") + out["values"]
    return out


def write(directory: Path, name: str, data: bytes) -> None:
    (directory / "file").mkdir(parents=True, exist_ok=True)
    (directory / "body").mkdir(parents=True, exist_ok=True)
    (directory / "file" / name).write_bytes(data)
    (directory / "body" / name).write_bytes(data[:-12])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=HERE / "seeds", help="where the builder-made seeds go")
    parser.add_argument("--real", type=Path, help="copy the real psfbin files of the corpus here")
    parser.add_argument("--corpus", type=Path, default=ROOT.parent / "shared" / "corpus")
    args = parser.parse_args()

    for name, data in seeds().items():
        write(args.out, name + ".psf", data)
    (args.out / "text").mkdir(parents=True, exist_ok=True)
    for name, data in text_seeds().items():
        (args.out / "text" / (name + ".txt")).write_bytes(data)
    (args.out / "raw").mkdir(parents=True, exist_ok=True)
    for name, data in raw_seeds().items():
        (args.out / "raw" / (name + ".raw")).write_bytes(data)
    if args.real is not None:
        copied = 0
        texts: set[bytes] = set()
        (args.real / "text").mkdir(parents=True, exist_ok=True)
        (args.real / "raw").mkdir(parents=True, exist_ok=True)
        for path in sorted(args.corpus.rglob("*")) if args.corpus.is_dir() else []:
            data = path.read_bytes() if path.is_file() else b""
            name = "-".join(path.relative_to(args.corpus).parts)
            if len(data) >= 12 and data[-12:-4] == MAGIC:
                write(args.real, name, data)
                copied += 1
            elif path.suffix == ".raw":
                (args.real / "raw" / name).write_bytes(data)
                copied += 1
            elif data.startswith(b"HEADER") and data not in texts:
                # Result folders repeat their index files: each text once.
                texts.add(data)
                (args.real / "text" / name).write_bytes(data)
                copied += 1
        print(f"copied {copied} real files into {args.real}")


if __name__ == "__main__":
    main()
