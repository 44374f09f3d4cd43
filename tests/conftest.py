from __future__ import annotations

import importlib.util
import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

sys.path.insert(0, str(Path(__file__).parent))

CORPUS = ROOT.parent / "shared" / "corpus"


def load_seeds() -> dict[str, bytes]:
    """The fuzz seeds (fuzz/make_seeds.py): one small file per layout and feature."""
    spec = importlib.util.spec_from_file_location("make_seeds", ROOT / "fuzz" / "make_seeds.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.seeds()


@pytest.fixture
def write(tmp_path):
    """Writes bytes to a fresh file and returns its path as str."""
    counter = iter(range(10**9))

    def _write(data: bytes, name: str | None = None) -> str:
        path = tmp_path / (name or f"f{next(counter)}.psf")
        path.write_bytes(data)
        return os.fspath(path)

    return _write


@pytest.fixture
def corpus():
    if not CORPUS.is_dir():
        pytest.skip("corpus folder ../shared/corpus is absent")
    return CORPUS
