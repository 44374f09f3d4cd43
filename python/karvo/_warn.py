"""Warnings that name the user's line: the first frame outside karvo (and
xarray, whose open_dataset calls karvo's backend), wherever inside karvo the
warning arises."""

from __future__ import annotations

import os
import sys
import warnings


def caller_level() -> int:
    """The stacklevel that makes a warning issued by the caller of this
    function name the first line outside karvo and xarray: the user's."""
    inside = [os.path.dirname(os.path.abspath(__file__)) + os.sep]
    xarray_file = getattr(sys.modules.get("xarray"), "__file__", None)
    if xarray_file:
        inside.append(os.path.dirname(os.path.abspath(xarray_file)) + os.sep)
    frame = sys._getframe(1)
    level = 1
    while frame.f_back is not None and os.path.abspath(frame.f_code.co_filename).startswith(tuple(inside)):
        frame = frame.f_back
        level += 1
    return level


def warn(message: str) -> None:
    """A UserWarning naming the user's line (the extension's readers call it)."""
    warnings.warn(message, UserWarning, stacklevel=caller_level())
