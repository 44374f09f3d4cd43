from __future__ import annotations

import os
from contextlib import contextmanager
from pathlib import Path

import pytest

import karvo
from karvo import _karvo
from karvo.testing.seeds import seeds

ROOT = Path(__file__).resolve().parent.parent

CORPUS = ROOT.parent / "shared" / "corpus"


def load_seeds() -> dict[str, bytes]:
    """The fuzz seeds (karvo.testing.seeds): one small file per layout and feature."""
    return seeds()


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


@contextmanager
def split_forced(threads: int = 4):
    """Every sampled body read in its smallest parts, by `threads` threads
    (more than the cores, so that parts run side by side anywhere)."""
    before_threads = karvo.get_num_threads()
    karvo.set_num_threads(threads)
    before = _karvo._force_split(True)
    try:
        yield
    finally:
        _karvo._force_split(before)
        karvo.set_num_threads(before_threads)


@pytest.fixture(params=[False, True], ids=["one-thread", "split"])
def split(request):
    """Runs a test as is and with every body split (split_forced)."""
    if not request.param:
        yield False
        return
    with split_forced():
        yield True


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
