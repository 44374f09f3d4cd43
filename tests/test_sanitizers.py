"""The whole suite under AddressSanitizer and UBSan (tools/asan_pytest.sh).
Runs under CI or with KARVO_SANITIZE=1; it builds the extension a second
time and runs every other test, a few minutes in all."""

from __future__ import annotations

import os
import shutil
import subprocess

import pytest

from conftest import ROOT

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(
        not (os.environ.get("CI") or os.environ.get("KARVO_SANITIZE") == "1"),
        reason="set KARVO_SANITIZE=1 (or CI) to run the suite under the sanitizers",
    ),
    pytest.mark.skipif(shutil.which("gcc") is None, reason="the sanitizer build needs gcc"),
]


def test_suite_passes_under_address_and_undefined_behaviour_sanitizers():
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "KARVO_SANITIZED")}
    done = subprocess.run(
        ["bash", str(ROOT / "tools" / "asan_pytest.sh")],
        capture_output=True,
        text=True,
        timeout=1800,
        env=env,
        cwd=ROOT,
    )
    assert done.returncode == 0, done.stdout[-6000:] + done.stderr[-6000:]
    assert " passed" in done.stdout
