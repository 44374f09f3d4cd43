"""Reading many data files at once: a thread pool (the reader runs without the
interpreter lock, so threads read in parallel) and an optional progress bar."""

from __future__ import annotations

import os
import sys
import time
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import Any, Callable, Dict, List, Optional, Sequence, Set, TypeVar, Union

T = TypeVar("T")

# A bar appears only when the reads take longer than this (seconds).
PROGRESS_DELAY = 1.0


def default_workers() -> int:
    """What concurrent.futures gives a thread pool by default."""
    return min(32, (os.cpu_count() or 1) + 4)


def check_workers(workers: Optional[int]) -> int:
    if workers is None:
        return default_workers()
    if isinstance(workers, bool) or not isinstance(workers, int):
        raise TypeError(f"workers must be an int or None, not {type(workers).__name__}")
    if workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    return workers


class _Bar:
    """A progress bar of tqdm or rich, shown on a terminal once the reads have
    taken PROGRESS_DELAY; nothing where neither is installed."""

    def __init__(self, total: int, description: str, enabled: Optional[bool]) -> None:
        self.total, self.description = total, description
        self.done = 0
        self.start = time.monotonic()
        self.bar: Any = None
        self.close_bar: Callable[[], Any] = lambda: None
        self.make: Optional[Callable[[], None]] = None
        if enabled is None:
            enabled = sys.stderr is not None and sys.stderr.isatty()
        if enabled and total > 1:
            self.make = self._tqdm() or self._rich()

    def _tqdm(self) -> Optional[Callable[[], None]]:
        try:
            from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            return None

        def make() -> None:
            self.bar = tqdm(total=self.total, desc=self.description, unit="file", leave=False, initial=self.done)
            self.close_bar = self.bar.close

        return make

    def _rich(self) -> Optional[Callable[[], None]]:
        try:
            from rich.console import Console  # type: ignore[import-not-found, unused-ignore]
            from rich.progress import Progress  # type: ignore[import-not-found, unused-ignore]
        except ImportError:
            return None

        def make() -> None:
            progress = Progress(console=Console(stderr=True), transient=True)
            progress.start()
            task = progress.add_task(self.description, total=self.total, completed=self.done)
            self.bar = _RichTask(progress, task)
            self.close_bar = progress.stop

        return make

    def update(self) -> None:
        self.done += 1
        if self.bar is not None:
            self.bar.update(1)
        elif self.make is not None and time.monotonic() - self.start >= PROGRESS_DELAY:
            self.make()
            self.make = None

    def close(self) -> None:
        self.close_bar()


class _RichTask:
    def __init__(self, progress: Any, task: Any) -> None:
        self.progress, self.task = progress, task

    def update(self, n: int) -> None:
        self.progress.advance(self.task, n)


def _read(read: Callable[[str], T], path: str) -> Union[T, Exception]:
    try:
        return read(path)
    except (OSError, ValueError, MemoryError) as e:
        return e


def read_all(
    paths: Sequence[str], workers: int, progress: Optional[bool], description: str, read: Callable[[str], T]
) -> List[Union[T, Exception]]:
    """`read` of each path (`read_psf`, or karvo.open's catalog), in order:
    what it returned, or the exception it raised (OSError, ValueError,
    MemoryError). `workers` threads read at once; with one, the files are
    read here, one after the other."""
    bar = _Bar(len(paths), description, progress)
    try:
        if workers == 1 or len(paths) <= 1:
            outcomes: List[Union[T, Exception]] = []
            for path in paths:
                outcomes.append(_read(read, path))
                bar.update()
            return outcomes
        pool = ThreadPoolExecutor(max_workers=min(workers, len(paths)), thread_name_prefix="karvo")
        try:
            futures: Dict[Future[Union[T, Exception]], int] = {
                pool.submit(_read, read, p): i for i, p in enumerate(paths)
            }
            pending: Set[Future[Union[T, Exception]]] = set(futures)
            while pending:
                done, pending = wait(pending, return_when=FIRST_COMPLETED)
                for _ in done:
                    bar.update()
            return [f.result() for f in futures]
        finally:
            # On Ctrl-C, files not yet begun are not read.
            pool.shutdown(wait=True, cancel_futures=True)
    finally:
        bar.close()
