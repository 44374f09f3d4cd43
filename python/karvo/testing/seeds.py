"""The fuzz targets' seeds: one small psfbin file per layout and feature
(`seeds`), one small PSF ASCII text per section form and datatype
(`text_seeds`) and one small SPICE raw file per layout and encoding
(`raw_seeds`). The tests read them too; fuzz/write_seeds.py writes them into
fuzz/seeds/.
"""

from __future__ import annotations

from .psfbuilder import (
    COMPLEX,
    EMPTY,
    FLOAT64,
    GROUPED_SWEPT,
    INT8,
    INT32,
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
from .rawbuilder import C128, F32, F64, raw_plot

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
