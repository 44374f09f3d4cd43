"""Writes the fuzz seed corpus (the seeds are karvo.testing.seeds').

    python3 fuzz/write_seeds.py                 builder-made seeds into fuzz/seeds/
    python3 fuzz/write_seeds.py --real DIR      also copies the real simulator files
                                                of ../shared/corpus into DIR/file,
                                                DIR/body, DIR/text and DIR/raw
                                                (never into the repo)

Each psfbin seed is written twice: `file/` holds whole files (for fuzz_psfbin)
and `body/` the same files without their 12-byte footer (for
fuzz_psfbin_footer, which appends one). `text/` holds small PSF ASCII texts
(for fuzz_psftext), one per section form and datatype; `raw/` small SPICE
raw files (for fuzz_raw), one per layout and encoding.
"""

from __future__ import annotations

import argparse
from pathlib import Path

from karvo.testing.psfbuilder import MAGIC
from karvo.testing.seeds import raw_seeds, seeds, text_seeds

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def write(directory: Path, name: str, data: bytes) -> None:
    (directory / "file").mkdir(parents=True, exist_ok=True)
    (directory / "body").mkdir(parents=True, exist_ok=True)
    (directory / "file" / name).write_bytes(data)
    (directory / "body" / name).write_bytes(data[:-12])


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", type=Path, default=HERE / "seeds", help="where the builder-made seeds go")
    parser.add_argument("--real", type=Path, help="copy the real psfbin files of the corpus here")
    parser.add_argument("--corpus", type=Path, default=ROOT.parent / "shared" / "corpus")
    args = parser.parse_args()

    for name, data in seeds().items():
        write(args.out, name + ".psf", data)
    (args.out / "text").mkdir(parents=True, exist_ok=True)
    for name, data in text_seeds().items():
        (args.out / "text" / (name + ".txt")).write_bytes(data)
    (args.out / "raw").mkdir(parents=True, exist_ok=True)
    for name, data in raw_seeds().items():
        (args.out / "raw" / (name + ".raw")).write_bytes(data)
    if args.real is not None:
        copied = 0
        texts: set[bytes] = set()
        (args.real / "text").mkdir(parents=True, exist_ok=True)
        (args.real / "raw").mkdir(parents=True, exist_ok=True)
        for path in sorted(args.corpus.rglob("*")) if args.corpus.is_dir() else []:
            data = path.read_bytes() if path.is_file() else b""
            name = "-".join(path.relative_to(args.corpus).parts)
            if len(data) >= 12 and data[-12:-4] == MAGIC:
                write(args.real, name, data)
                copied += 1
            elif path.suffix == ".raw":
                (args.real / "raw" / name).write_bytes(data)
                copied += 1
            elif data.startswith(b"HEADER") and data not in texts:
                # Result folders repeat their index files: each text once.
                texts.add(data)
                (args.real / "text" / name).write_bytes(data)
                copied += 1
        print(f"copied {copied} real files into {args.real}")


if __name__ == "__main__":
    main()
