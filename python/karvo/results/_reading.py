"""Reading many data files at once: a thread pool (the reader runs without the
interpreter lock, so threads read in parallel) and an optional progress bar."""

from __future__ import annotations

import os
import sys
import threading
import time
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import Any, Callable, List, Optional, Sequence, Set, TypeVar, Union

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


# Threads read a family only when its files hold at least this many bytes
# together. Below it, handing the reads out costs more than a second core
# gives back: on two cores, nine files of 8 KB that one thread reads in
# 0.3 ms took 3.5 ms on a pool of six threads (a pool made for each call
# cost 1 ms more still). From 16 MB the reads take 8 ms or more, and the
# hand-off (tens of microseconds a file) is small beside what a free core
# gives (x1.7 for four files of 100 MB on an idle machine; on a busy one,
# no size gains: bench/bench_read.py --cases threads, docs/performance.md).
THREADS_FROM_BYTES = 16 << 20

# One pool for the process, made at the first read that uses it and grown
# when a call asks for more threads; made anew in a forked child (whose
# copy has no threads).
_pool: Optional[ThreadPoolExecutor] = None
_pool_size = 0
_pool_pid = 0
_pool_lock = threading.Lock()


def _shared_pool(workers: int) -> ThreadPoolExecutor:
    global _pool, _pool_size, _pool_pid
    with _pool_lock:
        if _pool is None or _pool_pid != os.getpid() or _pool_size < workers:
            old = _pool if _pool_pid == os.getpid() else None
            _pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="karvo")
            _pool_size, _pool_pid = workers, os.getpid()
            if old is not None:
                old.shutdown(wait=False)  # its reads in progress finish
        return _pool


def _total_bytes(paths: Sequence[str]) -> int:
    total = 0
    for path in paths:
        try:
            total += os.stat(path).st_size
        except OSError:
            pass  # the read says why
    return total


def read_all(
    paths: Sequence[str],
    workers: int,
    progress: Optional[bool],
    description: str,
    read: Callable[[str], T],
    whole: bool = True,
) -> List[Union[T, Exception]]:
    """`read` of each path (`read_psf`, or karvo.open's catalog: `whole`
    false), in order: what it returned, or the exception it raised (OSError,
    ValueError, MemoryError). Up to `workers` threads of the process's pool
    read whole files at once when they are large enough together for threads
    to pay (THREADS_FROM_BYTES); otherwise, and for catalogs (microseconds
    each, whatever the file's size), the files are read here, one after the
    other."""
    bar = _Bar(len(paths), description, progress)
    try:
        workers = min(workers, len(paths)) if whole else 1
        if workers <= 1 or _total_bytes(paths) < THREADS_FROM_BYTES:
            outcomes: List[Union[T, Exception]] = []
            for path in paths:
                outcomes.append(_read(read, path))
                bar.update()
            return outcomes
        return _on_pool(paths, workers, bar, read)
    finally:
        bar.close()


def _on_pool(paths: Sequence[str], workers: int, bar: _Bar, read: Callable[[str], T]) -> List[Union[T, Exception]]:
    """The reads on the shared pool, at most `workers` at a time (the pool
    may be larger for another caller)."""
    pool = _shared_pool(workers)
    futures: List[Future[Union[T, Exception]]] = []
    pending: Set[Future[Union[T, Exception]]] = set()
    try:
        for path in paths:
            if len(pending) >= workers:
                done, pending = wait(pending, return_when=FIRST_COMPLETED)
                for _ in done:
                    bar.update()
            futures.append(pool.submit(_read, read, path))
            pending.add(futures[-1])
        while pending:
            done, pending = wait(pending, return_when=FIRST_COMPLETED)
            for _ in done:
                bar.update()
        return [f.result() for f in futures]
    finally:
        # On Ctrl-C, files not yet begun are not read; those being read finish.
        for f in pending:
            f.cancel()
        wait(pending)
