#!/usr/bin/env python3
"""Prose after hard text: does one call on text that never repeats slow the calls after it?

    python bench/after_hard_text.py [--passes N] [--prose FILE]

A long-lived process meets all kinds of text, and what it met first shapes the pre-token
cache that later calls use. For each encoding, a fresh interpreter times `count` on
prose-en.txt (best of N); then, for each of a few shapes of bench/hard_shapes.py, another
fresh interpreter counts 512 KiB of the shape once before it times prose the same way. The
table gives the figures and their ratio to prose alone.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
PROSE = HERE.parent.parent / "shared" / "corpus" / "prose-en.txt"
SHAPES = ["words of 5-12 letters", "random lowercase, one line", "base64, 76 columns",
          "random Cyrillic"]

CHILD = r"""
import sys
sys.path.insert(0, sys.argv[1])
import zelkor, hard_shapes
from bench_common import best_of
enc, shape, prose_path, passes = sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5])
tok = zelkor.Tokenizer(enc)
prose = open(prose_path, encoding="utf-8").read()
text = dict(hard_shapes.catalogue())[shape] if shape else None
mb = len(prose.encode()) / 1e6
if text is not None:
    tok.count(text)
print(f"{mb / best_of(lambda: tok.count(prose), passes):.0f}")
"""


def table(emit, passes: int, prose_path: Path = PROSE) -> None:
    """Emits the table (one line per call of emit)."""
    def prose_mbs(enc: str, shape: str) -> float:
        out = subprocess.run([sys.executable, "-c", CHILD, str(HERE), enc, shape, str(prose_path),
                              str(passes)], capture_output=True, text=True, check=True).stdout
        return float(out)

    emit("| encoding | counted first | prose count MB/s | ratio to prose alone |")
    emit("|---|---|---:|---:|")
    for enc in ("cl100k_base", "o200k_base"):
        alone = prose_mbs(enc, "")
        emit(f"| {enc} | nothing | {alone:.0f} | 1.00 |")
        for shape in SHAPES:
            after = prose_mbs(enc, shape)
            emit(f"| {enc} | {shape} | {after:.0f} | {after / alone:.2f} |")


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--passes", type=int, default=5)
    ap.add_argument("--prose", type=Path, default=PROSE)
    args = ap.parse_args()
    if not args.prose.exists():
        print(f"no {args.prose}: nothing to measure", file=sys.stderr)
        return 1
    table(lambda line="": print(line, flush=True), args.passes, args.prose)
    return 0


if __name__ == "__main__":
    sys.exit(main())
