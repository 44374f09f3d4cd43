"""A short libFuzzer run over the C++ reader, every fuzz target, from the
committed seeds. Runs where clang++ is installed or under CI (where
fuzz/build.sh installs clang); the long runs are described in the README."""

from __future__ import annotations

import os
import shutil
import subprocess

import pytest

from conftest import ROOT

FUZZ = ROOT / "fuzz"

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(
        shutil.which("clang++") is None and not os.environ.get("CI"),
        reason="clang++ is not installed (set CI=1 to let fuzz/build.sh install it)",
    ),
]


@pytest.fixture(scope="module")
def targets():
    done = subprocess.run(["bash", str(FUZZ / "build.sh")], capture_output=True, text=True, timeout=1200)
    assert done.returncode == 0, done.stdout + done.stderr
    return FUZZ / "build"


@pytest.mark.parametrize(
    "target, seeds",
    [("fuzz_psfbin", "file"), ("fuzz_psfbin_footer", "body"), ("fuzz_psftext", "text"), ("fuzz_raw", "raw")],
    ids=["whole-file", "with-footer", "text", "raw"],
)
def test_fuzz_target_finds_nothing_in_thirty_seconds(targets, target, seeds, tmp_path):
    corpus = tmp_path / "corpus"
    corpus.mkdir()
    done = subprocess.run(
        [
            str(targets / target),
            str(corpus),
            str(FUZZ / "seeds" / seeds),
            "-max_total_time=30",
            "-max_len=65536",
            "-timeout=5",
            "-rss_limit_mb=2048",
            "-print_final_stats=1",
            f"-artifact_prefix={tmp_path}/",
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    crashes = [p.name for p in tmp_path.iterdir() if p.is_file()]
    assert done.returncode == 0, done.stderr[-4000:]
    assert crashes == []
    # The run did execute inputs (and says so in its final statistics).
    assert "stat::number_of_executed_units" in done.stderr
