"""python -m karvo: the karvo command (see karvo.cli)."""

import sys

from .cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
