"""What every command does with its inputs: read each in turn, report the
ones that cannot be read as "PATH: message" and go on with the others."""

from __future__ import annotations

from typing import IO, Callable, Generic, Iterator, Sequence, Tuple, TypeVar, Union

from .._karvo import Psf
from ..files import PsfFile

__all__ = ["layout", "Reads", "error_text"]

T = TypeVar("T")

# What a file or folder that cannot be read raises: an OSError, a ValueError
# (malformed, or a family that cannot be made) or a KeyError (no such
# analysis).
READ_ERRORS = (OSError, ValueError, KeyError)


def layout(psf: Union[Psf, PsfFile]) -> str:
    """Return "swept", "non-swept" or "empty", judged from what `psf` (a Psf
    or an open file) holds."""
    if psf.sweeps or psf.traces:
        return "swept"
    if psf.values:
        return "non-swept"
    return "empty"


def error_text(e: BaseException) -> str:
    """The message of a failed read (a KeyError's without the quotes its
    str adds)."""
    return str(e.args[0]) if isinstance(e, KeyError) and e.args else str(e)


class Reads(Generic[T]):
    """`read` of each of `paths` in turn: iterating gives (path, what `read`
    returned); a path whose read fails is reported on `err` as
    "PATH: message", and `status` becomes 1."""

    def __init__(self, paths: Sequence[str], read: Callable[[str], T], err: IO[str]) -> None:
        self.paths, self.read, self.err = paths, read, err
        self.status = 0

    def __iter__(self) -> Iterator[Tuple[str, T]]:
        for path in self.paths:
            try:
                data = self.read(path)
            except READ_ERRORS as e:
                print(f"{path}: {error_text(e)}", file=self.err)
                self.status = 1
                continue
            yield path, data
