"""python -m karvo FILE...: print what a psfbin file holds."""

import sys

from . import read_psf


def main(argv=None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if not args or args[0] in ("-h", "--help"):
        print("usage: python -m karvo FILE...", file=sys.stderr)
        return 0 if args else 2
    status = 0
    for path in args:
        try:
            psf = read_psf(path)
        except (OSError, ValueError) as e:
            print(f"{path}: {e}", file=sys.stderr)
            status = 1
            continue
        print(f"{path}: {psf!r}")
        for key, value in psf.header.items():
            print(f"  header {key} = {value!r}")
        for s in psf.sweeps:
            print(f"  sweep {s.name} ({s.data.dtype}, {len(s.data)} points)")
        for t in psf.traces:
            print(f"  trace {t.name} ({t.data.dtype}, {len(t.data)} points)")
        for v in psf.values:
            print(f"  value {v.name} = {v.data!r}")
    return status


if __name__ == "__main__":
    sys.exit(main())
