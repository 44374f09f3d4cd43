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


def readable_files() -> list:
    """Every psfbin file of the corpus, and each distinct PSF text once."""
    if not CORPUS.is_dir():
        return []
    out, texts = [], set()
    for p in sorted(CORPUS.rglob("*")):
        data = p.read_bytes() if p.is_file() else b""
        if len(data) >= 12 and data[-12:-4] == b"Clarissa":
            out.append(p)
        elif data.startswith(b"HEADER") and data not in texts:
            texts.add(data)
            out.append(p)
    return out


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
