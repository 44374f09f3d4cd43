"""Hostile files cost memory and time in proportion to their size.

Every count, length and offset in a file is checked against the bytes that
remain before anything is sized from it, recursion stops at 256 levels, and
shared things (struct member lists, struct dtypes, group member lists) are
made once, not once per use. Each case is read in a fresh interpreter, whose
peak resident memory is compared before and after the one call.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys

import numpy as np
import pytest

from karvo import read_psf
from karvo.testing.psfbuilder import (
    COMPLEX,
    FLOAT64,
    GROUPED_SWEPT,
    INT8,
    NONSWEPT,
    SWEPT,
    WINDOWED,
    Decl,
    Entry,
    Group,
    GroupedSwept,
    NonSwept,
    Swept,
    TypeDef,
    Writer,
    build,
    f64,
    find,
    patch_u32,
    string,
    struct_type,
    u16,
    u32,
    with_footer,
)

# ASan's redzones and quarantine change resident memory: under the sanitizer
# run only the outcome and the hang guard are checked.
SANITIZED = os.environ.get("KARVO_SANITIZED") == "1"

MEASURE = """
import json, resource, sys, time
import numpy, karvo
for _ in range(3):  # NumPy, the types and the dtype machinery are made here
    karvo.read_psf(sys.argv[1])
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.thread_time()  # the read's own work: a busy machine does not count
try:
    psf = karvo.read_psf(sys.argv[2])
    outcome = ["psf", len(psf.sweeps), len(psf.traces), len(psf.values)]
except ValueError as e:
    outcome = ["error", str(e)]
elapsed = time.thread_time() - start
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"growth": (after - before) * 1024, "elapsed": elapsed, "outcome": outcome}))
"""

F, C, S = 1, 2, 3
SCALARS = [TypeDef(F, "V", FLOAT64), TypeDef(C, "I", COMPLEX)]
WARM_UP = build(
    SWEPT,
    types=SCALARS + [struct_type(S, "noise", [("total", FLOAT64), ("rd", FLOAT64)])],
    sweeps=[Decl(10, "x", F)],
    traces=[Decl(11, "c", C), Decl(12, "n", S)],
    value=Swept([(10, f64(1)), (11, f64(1) + f64(2)), (12, f64(3) + f64(4))]),
)


def measure(write, tmp_path, data: bytes) -> dict:
    warm, case = write(WARM_UP, "warm.psf"), write(data, "case.psf")
    try:
        done = subprocess.run(
            [sys.executable, "-c", MEASURE, warm, case],
            capture_output=True,
            text=True,
            timeout=60,
            cwd=tmp_path,
        )
    except subprocess.TimeoutExpired:
        pytest.fail("read_psf hung")
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


# ---------------------------------------------------------------- the cases


def wide_struct_traces() -> bytes:
    # Each trace of a struct is a structured array; its dtype (over a
    # hundred KB for 1500 fields) must be made once, not once per trace.
    wide = struct_type(S, "wide", [(f"m{i:04d}", FLOAT64) for i in range(1500)])
    traces = [Decl(100 + i, "t", S) for i in range(1000)]
    return build(SWEPT, types=[TypeDef(F, "V", FLOAT64), wide], sweeps=[Decl(10, "x", F)], traces=traces,
                 value=Swept([]))


def huge_struct_trace() -> bytes:
    # 60000 members: the repeated-name check must not compare every pair.
    wide = struct_type(S, "wide", [(f"m{i:05d}", FLOAT64) for i in range(60000)])
    return build(SWEPT, types=[TypeDef(F, "V", FLOAT64), wide], sweeps=[Decl(10, "x", F)], traces=[Decl(11, "t", S)],
                 value=Swept([(10, f64(0)), (11, f64(1) * 60000)]))


def nested_groups_grouped_swept() -> bytes:
    # 256 nested groups around 20000 traces: a member list for every level
    # would hold 5 million entries although no record names a group.
    group = Group(900000, "g0", [Decl(10 + i, "t", F) for i in range(20000)])
    for level in range(1, 256):
        group = Group(900000 + level, "g", [group])
    return build(GROUPED_SWEPT, types=[TypeDef(F, "V", FLOAT64)], sweeps=[Decl(1, "x", F)], traces=[group],
                 value=GroupedSwept([(16, 1, f64(0))]))


def int8_struct_values() -> bytes:
    # One struct of 400 Int8 members (four bytes each in a value), 40 values.
    members = struct_type(4, "op", [(f"m{i}", INT8) for i in range(400)])
    entries = [Entry(100 + i, "v", 4, u32(1) * 400) for i in range(40)]
    return build(NONSWEPT, types=[members], value=NonSwept(entries))


def many_traces() -> bytes:
    return build(SWEPT, types=SCALARS, sweeps=[Decl(1, "x", F)], traces=[Decl(10 + i, "", F) for i in range(4000)],
                 value=Swept([]))


def group_count_beyond_the_file() -> bytes:
    group = Group(5, "g", [Decl(2, "a", F)], count=0xFFFFFFFF)
    return build(SWEPT, types=SCALARS, sweeps=[Decl(1, "x", F)], traces=[group])


def subcontainer_end_beyond_the_file() -> bytes:
    # The TYPE list claims to run to offset 0xFFFFFFF0: its index is then read
    # as one more definition.
    data = build(SWEPT, types=[TypeDef(100 + i, "t", FLOAT64) for i in range(2000)])
    return patch_u32(data, find(data, u32(22)) + 4, 0xFFFFFFF0)


def container_end_beyond_the_file() -> bytes:
    data = build(SWEPT, types=SCALARS, sweeps=[Decl(1, "x", F)], value=Swept([(1, f64(i)) for i in range(3000)]))
    value = find(data, u32(4) + u32(21))
    return patch_u32(data, value + 8, 0xFFFFFFFF)


def huge_string_length() -> bytes:
    data = build(header=[("PSFversion", "1.00")])
    return patch_u32(data, find(data, string("PSFversion")), 0xFFFFFFF0)


def huge_index() -> bytes:
    data = build(SWEPT, types=SCALARS)
    return patch_u32(data, find(data, u32(19)) + 4, 0xFFFFFFF8)


def windowed_frame_beyond_the_file() -> bytes:
    # Window 65535 and 65535 values, in a file of a few hundred bytes.
    body = u32(16) + u16(0xFFFF) + u16(0xFFFF) + f64(1.0) * 4
    return build(WINDOWED, types=SCALARS, sweeps=[Decl(1, "t", F)], traces=[Decl(2, "v", F)], value=body)


def many_empty_frames() -> bytes:
    frames = (u32(16) + u16(0) + u16(0) + b"\0" * 8 * 3) * 4000
    traces = [Decl(2 + i, "v", F) for i in range(3)]
    return build(WINDOWED, types=SCALARS, sweeps=[Decl(1, "t", F)], traces=traces, value=frames)


def deep_groups() -> bytes:
    # 100000 group headers, each inside the one before: refused at level 256.
    w = Writer()
    for level in range(100000):
        w.u32(17).u32(level).raw(string("")).u32(1)
    head = build(SWEPT, types=SCALARS, trailer=b"", footer=b"")
    return with_footer(head + u32(2) + u32(21) + u32(0xFFFFFFF0) + bytes(w.buf))


def deep_struct_definitions() -> bytes:
    # 100000 struct definitions, each the first member of the one before.
    w = Writer()
    for level in range(100000):
        w.u32(16).u32(level).raw(string("")).u32(0).u32(16)
    head = build(SWEPT, trailer=b"", footer=b"")
    return with_footer(head + u32(1) + u32(21) + u32(0xFFFFFFF0) + u32(22) + u32(0xFFFFFFF0) + bytes(w.buf))


def grouped_records_of_an_empty_group() -> bytes:
    records = [(17, 5, b"")] * 8000
    return build(GROUPED_SWEPT, types=SCALARS, sweeps=[Decl(1, "x", F)], traces=[Group(5, "g", [])],
                 value=GroupedSwept(records))


def ids_in_one_hash_bucket() -> bytes:
    # 40000 trace ids, all multiples of 42043: the bucket count a standard
    # hash table has for that many entries. Ids used as their own hash would
    # all share one bucket and make every lookup walk the 40000.
    ids = [42043 * (k + 1) for k in range(40000)]
    records = [(i, f64(1.0)) for i in ids[-2000:]]
    return build(SWEPT, types=SCALARS, sweeps=[Decl(7, "x", F)], traces=[Decl(i, "", F) for i in ids],
                 value=Swept(records))


CASES = {
    "wide struct, many traces": (wide_struct_traces, "psf"),
    "struct of 60000 members": (huge_struct_trace, "psf"),
    "256 nested groups, grouped swept": (nested_groups_grouped_swept, "psf"),
    "int8 struct values": (int8_struct_values, "psf"),
    "4000 traces": (many_traces, "psf"),
    "group count 2^32-1": (group_count_beyond_the_file, "error"),
    "type list end beyond the file": (subcontainer_end_beyond_the_file, "error"),
    "value container end beyond the file": (container_end_beyond_the_file, "error"),
    "string length near 2^32": (huge_string_length, "error"),
    "index size near 2^32": (huge_index, "error"),
    "windowed frame beyond the file": (windowed_frame_beyond_the_file, "error"),
    "4000 empty windowed frames": (many_empty_frames, "psf"),
    "100000 nested groups": (deep_groups, "error"),
    "100000 nested struct definitions": (deep_struct_definitions, "error"),
    "8000 records of an empty group": (grouped_records_of_an_empty_group, "psf"),
    "40000 ids in one hash bucket": (ids_in_one_hash_bucket, "psf"),
}


@pytest.mark.parametrize("name", list(CASES))
def test_cost_follows_file_size(name, write, tmp_path):
    make, outcome = CASES[name]
    data = make()
    report = measure(write, tmp_path, data)
    assert report["outcome"][0] == outcome, report["outcome"]
    # A hang guard, not a speed goal: every case reads in milliseconds of CPU.
    assert report["elapsed"] < 1.0
    if not SANITIZED:
        # Python objects cost a few hundred bytes per declared signal or value
        # member: about thirty times the bytes that declare them, at most.
        assert report["growth"] <= 32 * len(data) + 2**21, (len(data), report["growth"])


def test_a_small_file_stays_small(write, tmp_path):
    """A 4 KB file of any kind above, cut to size, never takes more than a few MB."""
    if SANITIZED:
        pytest.skip("resident memory is not meaningful under the sanitizer")
    wide = struct_type(S, "wide", [(f"m{i:03d}", FLOAT64) for i in range(50)])
    data = build(SWEPT, types=[TypeDef(F, "V", FLOAT64), wide], sweeps=[Decl(10, "x", F)],
                 traces=[Decl(100 + i, "t", S) for i in range(70)], value=Swept([]))
    assert len(data) < 4096
    report = measure(write, tmp_path, data)
    assert report["outcome"] == ["psf", 1, 70, 0]
    assert report["growth"] < 4 * 2**20


@pytest.mark.parametrize(
    "names, repeated",
    [
        (["I", "J", "I"], "I"),
        (["a", "b", "c", "b", "a"], "b"),
        (["x", "y", "z", "x", "y"], "x"),
        (["b", "a", "a", "b"], "a"),
        ([f"m{i:05d}" for i in range(60000)] + ["m59999", "m00000"], "m59999"),
    ],
    ids=["IJI", "abcba", "xyzxy", "baab", "60000-members"],
)
def test_repeated_member_check_names_the_first_repeat(names, repeated, write):
    # The check sorts the names once instead of comparing every pair; it must
    # still name the first member whose name an earlier member has.
    members = struct_type(S, "noise", [(n, FLOAT64) for n in names])
    data = build(SWEPT, types=[TypeDef(F, "V", FLOAT64), members], sweeps=[Decl(10, "x", F)],
                 traces=[Decl(11, "n", S)])
    with pytest.raises(ValueError) as info:
        read_psf(write(data))
    assert str(info.value) == (
        f'struct field name "{repeated}" appears more than once; numpy structured arrays require unique field names'
    )


# ---------------------------------------------------------------- memory limits

UNDER_LIMITS = r"""
import json, resource, sys
import numpy, karvo
path, size = sys.argv[1], int(sys.argv[2])
karvo.read_psf(sys.argv[3])  # NumPy and the types are made before the limits

def vm() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[0]) * resource.getpagesize()

hard = resource.getrlimit(resource.RLIMIT_AS)[1]
seen = []
for extra in range(0, 3 * size, size // 8):
    resource.setrlimit(resource.RLIMIT_AS, (vm() + extra, hard))
    try:
        psf = karvo.read_psf(path)
        outcome = "psf" if len(psf.traces) == 1 else "wrong"
    except MemoryError:
        outcome = "MemoryError"
    except OSError as e:
        outcome = "OSError" if str(e).startswith("cannot mmap") else "other OSError"
    except BaseException as e:
        outcome = type(e).__name__ + ": " + str(e)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    psf = None
    seen.append(outcome)
print(json.dumps(seen))
"""


@pytest.mark.skipif(SANITIZED or not os.path.exists("/proc/self/statm"), reason="needs /proc, no sanitizer")
@pytest.mark.parametrize("layout", ["swept", "windowed"])
def test_a_failed_allocation_is_always_a_memory_error(layout, write, tmp_path):
    # Under address-space limits from none to three times the file, a read
    # succeeds, cannot map the file (OSError, as Python's own mmap), or runs
    # out of memory: MemoryError, never a ValueError or an internal error.
    n = 1 << 21
    x = np.arange(n, dtype=">f8").tobytes()
    if layout == "swept":
        rec = np.zeros(n, [("k", ">u4"), ("id", ">u4"), ("x", ">f8"), ("k2", ">u4"), ("id2", ">u4"), ("y", ">f8")])
        rec["k"], rec["id"], rec["x"], rec["k2"], rec["id2"], rec["y"] = 16, 10, np.arange(n), 16, 11, -np.arange(n)
        data = build(SWEPT, types=SCALARS, sweeps=[Decl(10, "x", F)], traces=[Decl(11, "y", F)], value=rec.tobytes())
    else:
        head = u32(16) + u16(4096) + u16(4096)
        frames = b"".join(head + x[k * 8 : (k + 4096) * 8] + bytes(8) + x[k * 8 : (k + 4096) * 8]
                          for k in range(0, n, 4096))
        data = build(WINDOWED, types=SCALARS, sweeps=[Decl(10, "x", F)], traces=[Decl(11, "y", F)], value=frames)
    done = subprocess.run(
        [sys.executable, "-c", UNDER_LIMITS, write(data), str(len(data)), write(WARM_UP, "warm.psf")],
        capture_output=True, text=True, timeout=120, cwd=tmp_path,
    )
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    assert set(seen) <= {"psf", "MemoryError", "OSError"}, seen
    assert "MemoryError" in seen and seen[-1] == "psf", seen


LAZY_UNDER_LIMITS = r"""
import resource, sys, karvo
handle = karvo._karvo._open_file(sys.argv[1])  # what karvo.open holds
indices = [0] * (50 << 20)  # 400 MB of references to one int
with open("/proc/self/statm") as f:
    vm = int(f.read().split()[0]) * resource.getpagesize()
hard = resource.getrlimit(resource.RLIMIT_AS)[1]
resource.setrlimit(resource.RLIMIT_AS, (vm + (100 << 20), hard))
try:
    handle.read(indices, False)
except BaseException as e:
    print(type(e).__name__)
"""


@pytest.mark.skipif(SANITIZED or not os.path.exists("/proc/self/statm"), reason="needs /proc, no sanitizer")
def test_a_failed_allocation_of_a_lazy_read_is_a_memory_error(write, tmp_path):
    # The handle's read sizes its list of chosen signals from the argument
    # before the reader checks it: 400 MB that cannot be had, under a limit
    # of 100 MB more than the process holds, are a MemoryError, not an abort.
    done = subprocess.run([sys.executable, "-c", LAZY_UNDER_LIMITS, write(WARM_UP)], capture_output=True, text=True,
                          timeout=120, cwd=tmp_path)  # fmt: skip
    assert (done.returncode, done.stdout, done.stderr) == (0, "MemoryError\n", "")
