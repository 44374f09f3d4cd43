"""Windowed VALUE layout: frames of fixed-size windows for one sweep and its traces."""

from __future__ import annotations

import numpy as np
import pytest

from karvo import read_psf
from karvo.testing.psfbuilder import (
    COMPLEX,
    FLOAT64,
    WINDOWED,
    Decl,
    Frame,
    Group,
    Padding,
    TypeDef,
    Windowed,
    build,
    patch_u32,
    struct_type,
    truncated,
    u16,
    u32,
    windowed_frames,
)

F, C, S = 1, 2, 3
TYPES = [TypeDef(F, "V", FLOAT64), TypeDef(C, "I", COMPLEX), struct_type(S, "noise", [("a", FLOAT64), ("b", FLOAT64)])]
TIME = [Decl(1, "time", F)]
TRACES = [Decl(2, "a", F), Decl(3, "b", F)]
GARBAGE = b"\xff\xf8\x12\x34\xde\xad\xbe\xef"


def windowed(chunks, sweeps=TIME, traces=TRACES) -> bytes:
    return build(WINDOWED, types=TYPES, sweeps=sweeps, traces=traces, value=Windowed(chunks))


def body_start(**kw) -> int:
    # with an empty body the file ends in: SectionEnd, trailer word, 12-byte footer
    return len(windowed([], **kw)) - 20


def columns(psf) -> list:
    return [[s.name, s.data.tolist()] for s in psf.sweeps + psf.traces]


def error(write, data: bytes) -> str:
    with pytest.raises(ValueError) as info:
        read_psf(write(data))
    return str(info.value)


def test_two_frames_of_two_slots(write):
    frames = [Frame(2, [[0.0, 1.0], [10.0, 11.0]]), Frame(2, [[2.0], [12.0]], fill=99.0)]
    psf = read_psf(write(windowed(frames, traces=[Decl(2, "v", F)])))
    assert columns(psf) == [["time", [0.0, 1.0, 2.0]], ["v", [10.0, 11.0, 12.0]]]


def test_unused_slots_and_separators_are_ignored(write):
    fill = np.frombuffer(GARBAGE, ">f8")[0]
    frames = [
        Frame(4, [[0, 1, 2, 3], [10, 11, 12, 13], [20, 21, 22, 23]], separator=GARBAGE),
        Frame(4, [[4], [14], [24]], fill=fill, separator=b"\x00\x00\x00\x10" * 2),
    ]
    psf = read_psf(write(windowed(frames)))
    assert columns(psf) == [
        ["time", [0, 1, 2, 3, 4]],
        ["a", [10, 11, 12, 13, 14]],
        ["b", [20, 21, 22, 23, 24]],
    ]
    assert [s.data.dtype for s in psf.sweeps + psf.traces] == [np.float64] * 3


def test_frames_without_values(write):
    frames = [
        Frame(3, [[0, 1], [5, 6], [7, 8]]),
        Frame(3, [[], [], []], fill=-1.0),
        Frame(0, [[], [], []]),
        Frame(1, [[2], [9], [9]]),
    ]
    psf = read_psf(write(windowed(frames)))
    assert columns(psf) == [["time", [0, 1, 2]], ["a", [5, 6, 9]], ["b", [7, 8, 9]]]


@pytest.mark.parametrize("traces", [None, []], ids=["no-trace-section", "empty-trace-section"])
def test_sweep_only(write, traces):
    frames = [Frame(3, [[1, 2, 3]]), Frame(3, [[4]], fill=-5.0)]
    psf = read_psf(write(windowed(frames, traces=traces)))
    assert columns(psf) == [["time", [1, 2, 3, 4]]]


def test_traces_in_a_group(write):
    traces = [Group(7, "group", [Decl(2, "a", F), Decl(3, "b", F)])]
    psf = read_psf(write(windowed(windowed_frames([[1, 2, 3], [4, 5, 6], [7, 8, 9]], 2), traces=traces)))
    assert columns(psf) == [["time", [1, 2, 3]], ["a", [4, 5, 6]], ["b", [7, 8, 9]]]


FRAME_1 = Frame(2, [[0, 1], [10, 11], [20, 21]])
FRAME_2 = Frame(2, [[2], [12], [22]])


@pytest.mark.parametrize(
    "chunks",
    [
        [Padding(0), FRAME_1, Padding(0), FRAME_2, Padding(0)],
        [Padding(100), FRAME_1, FRAME_2],
        [FRAME_1, Padding(17), Padding(3), FRAME_2],
        [Padding(4), FRAME_1, FRAME_2, Padding(40)],
    ],
    ids=["length-0", "first", "odd-lengths", "first-and-last"],
)
def test_padding_chunks(write, chunks):
    psf = read_psf(write(windowed(chunks)))
    assert columns(psf) == [["time", [0, 1, 2]], ["a", [10, 11, 12]], ["b", [20, 21, 22]]]


def test_window_size_may_change_between_frames(write):
    frames = [
        Frame(1, [[0], [10], [20]]),
        Frame(5, [[1, 2, 3], [11, 12, 13], [21, 22, 23]], fill=7.0),
        Frame(2, [[4, 5], [14, 15], [24, 25]]),
    ]
    psf = read_psf(write(windowed(frames)))
    assert columns(psf) == [
        ["time", [0, 1, 2, 3, 4, 5]],
        ["a", [10, 11, 12, 13, 14, 15]],
        ["b", [20, 21, 22, 23, 24, 25]],
    ]


@pytest.mark.parametrize(
    "sweeps, found",
    [
        (None, 0),
        ([], 0),
        ([Decl(1, "time", F), Decl(9, "temp", F)], 2),
        ([Group(8, "g", [Decl(1, "x", C), Decl(9, "y", S)])], 2),
    ],
    ids=["no-sweep-section", "empty-sweep-section", "two", "two-in-group"],
)
@pytest.mark.parametrize("body", [[FRAME_1], u32(99)], ids=["frame", "garbage"])
def test_exactly_one_sweep(write, sweeps, found, body):
    value = body if isinstance(body, bytes) else Windowed(body)
    data = build(WINDOWED, types=TYPES, sweeps=sweeps, traces=TRACES, value=value)
    assert error(write, data) == f"WINDOWED value section requires exactly one sweep, found {found}"


COMPLEX_MSG = "windowed complex value layout is not supported (trace '{}')"
STRUCT_MSG = "windowed struct value layout is not supported (trace '{}')"


@pytest.mark.parametrize(
    "sweep_type, traces, message",
    [
        (C, TRACES, COMPLEX_MSG.format("time")),
        (S, TRACES, STRUCT_MSG.format("time")),
        (F, [Decl(2, "a", F), Decl(3, "b", C)], COMPLEX_MSG.format("b")),
        (F, [Decl(2, "a", S), Decl(3, "b", F)], STRUCT_MSG.format("a")),
        (F, [Decl(2, "a", S), Decl(3, "b", C)], STRUCT_MSG.format("a")),
        (C, [Decl(2, "a", S)], COMPLEX_MSG.format("time")),
    ],
    ids=["complex-sweep", "struct-sweep", "complex-trace", "struct-trace", "struct-then-complex", "sweep-first"],
)
@pytest.mark.parametrize("body", [b"", FRAME_1.encode(), u32(99)], ids=["no-frame", "frame", "garbage"])
def test_complex_and_struct_signals_are_refused_before_any_frame(write, sweep_type, traces, message, body):
    data = build(WINDOWED, types=TYPES, sweeps=[Decl(1, "time", sweep_type)], traces=traces, value=body)
    assert error(write, data) == message


@pytest.mark.parametrize("window, count", [(2, 3), (0, 1), (4, 65535)])
@pytest.mark.parametrize("after_a_frame", [False, True])
def test_num_words_above_window_size(write, window, count, after_a_frame, split):
    bad = u32(16) + u16(window) + u16(count) + b"\0" * 8 * 3 * (count + 1)
    body = (FRAME_1.encode() if after_a_frame else b"") + bad
    data = build(WINDOWED, types=TYPES, sweeps=TIME, traces=TRACES, value=body)
    assert error(write, data) == f"windowed frame: num_words {count} > window_size {window}"


@pytest.mark.parametrize("kind", [17, 15, 0, 21])
def test_chunk_that_is_neither_frame_nor_padding(write, kind, split):
    body = Padding(4).encode() + FRAME_1.encode() + u32(kind) + FRAME_2.encode()[4:]
    at = body_start() + 12 + len(FRAME_1.encode())
    data = build(WINDOWED, types=TYPES, sweeps=TIME, traces=TRACES, value=body)
    assert error(write, data) == f"expected chunk Declaration (16) at offset {at}, got {kind}"


# One sweep and one trace; W = 4 gives 80-byte frames: header 8, sweep block 32,
# separator 8, trace block 32. The second frame (n = 2) starts at f. The 8 bytes
# before each cut lie in value slots, unused slots or padding, which the footer
# magic may overwrite.
TWO = [Frame(4, [[1, 2, 3, 4], [5, 6, 7, 8]]), Frame(4, [[9, 10], [11, 12]])]


@pytest.mark.parametrize(
    "chunks, cut, message",
    [
        (TWO, 0, lambda f: f"need 4 bytes at offset {f} (len {f})"),
        (TWO, 2, lambda f: f"need 4 bytes at offset {f} (len {f + 2})"),
        (TWO, 4, lambda f: f"need 2 bytes at offset {f + 4} (len {f + 4})"),
        (TWO, 20, lambda f: f"need 8 bytes at offset {f + 16} (len {f + 20})"),
        (TWO, 28, lambda f: f"skip 16 bytes at offset {f + 24} (len {f + 28})"),
        (TWO, 44, lambda f: f"skip 8 bytes at offset {f + 40} (len {f + 44})"),
        (TWO, 72, lambda f: f"skip 16 bytes at offset {f + 64} (len {f + 72})"),
        (TWO[:1] + [Padding(64)], 4, lambda f: f"need 4 bytes at offset {f + 4} (len {f + 4})"),
        (TWO[:1] + [Padding(64)], 40, lambda f: f"skip 64 bytes at offset {f + 8} (len {f + 40})"),
    ],
    ids=["kind", "kind-partial", "window-size", "value", "unused-sweep-slots", "separator", "unused-trace-slots",
         "padding-length", "padding"],
)
def test_frames_cut_by_the_end_of_the_file(write, chunks, cut, message, split):
    traces = [Decl(2, "v", F)]
    data = windowed(chunks, traces=traces)
    f = body_start(traces=traces) + 80
    assert error(write, truncated(data, f + cut)) == "unexpected end of file: " + message(f)


@pytest.mark.parametrize(
    "chunks, short_by, stops_short_by",
    [
        ([FRAME_1, FRAME_2], 1, 0),
        ([FRAME_1, FRAME_2], 8, 0),
        ([FRAME_1, Padding(16)], 9, 0),
        ([FRAME_1, FRAME_2], len(FRAME_2.encode()) + 8, len(FRAME_2.encode())),
    ],
    ids=["frame-by-1", "frame-by-8", "padding", "earlier-frame"],
)
def test_frames_ending_beyond_the_container_end(write, chunks, short_by, stops_short_by):
    data = windowed(chunks)
    end = len(data) - 20  # where SectionEnd stands
    data = patch_u32(data, body_start() - 4, end - short_by + 4)
    assert error(write, data) == (
        f"VALUE container end mismatch: at offset {end - stops_short_by} but expected {end - short_by}"
    )


def test_padding_reaching_exactly_the_container_end(write):
    data = windowed([FRAME_1, Padding(0), Padding(9)])
    assert columns(read_psf(write(data)))[0] == ["time", [0, 1]]


def test_long_transient_in_frames_of_every_parity(write, split):
    # Megabytes of frames whose runs start and end on either half of a
    # 16-byte line, copied bit for bit (NaN payloads and signed zeros too).
    rng = np.random.default_rng(7)
    bits = rng.integers(0, 2**64, size=(3, 400_000), dtype=np.uint64)
    bits[:, ::97] = 0x7FF8000000000123
    bits[:, 1::89] = 0x8000000000000000
    cols = bits.view(np.float64)
    frames, k = [], 0
    for size in [511, 1, 2, 3, 510] * 400:
        if k >= cols.shape[1]:
            break
        n = min(size, cols.shape[1] - k)
        frames.append(Frame(size + (size & 1), [c[k : k + n] for c in cols]))
        k += n
    psf = read_psf(write(windowed(frames)))
    got = np.array([s.data for s in psf.sweeps + psf.traces])
    np.testing.assert_array_equal(got.view(np.uint64), bits)
