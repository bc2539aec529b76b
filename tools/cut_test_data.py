#!/usr/bin/env python3
"""Cut the small data the test suite carries from the full source data.

    python tools/cut_test_data.py ../shared tests/data

SHARED holds corpus/*.txt, data/*.ranks and data/unicode-17.0.0/. Written:
  corpus/NAME.txt     three slices of each corpus file (start, a third in, two
                      thirds in), each about SLICE bytes and cut at line ends
  unicode-17.0.0/     DerivedGeneralCategory.txt without comments, the
                      White_Space lines of PropList.txt, and the licence
  ranks.sha256        SHA-256 of the two rank lists, which the data images
                      must reproduce
"""

from __future__ import annotations

import hashlib
import shutil
import sys
from pathlib import Path

SLICE = 24_000


def corpus_slices(text: bytes) -> bytes:
    out = []
    for start in (0, len(text) // 3, 2 * len(text) // 3):
        if start:
            start = text.index(b"\n", start) + 1
        end = text.index(b"\n", start + SLICE) + 1
        out.append(text[start:end])
    return b"".join(out)


def ucd_lines(path: Path, keep=lambda value: True) -> str:
    lines = []
    for line in path.read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if line and keep(line.split(";")[1].strip()):
            lines.append(" ; ".join(f.strip() for f in line.split(";")))
    return "\n".join(lines) + "\n"


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    shared, out = Path(argv[1]), Path(argv[2])
    (out / "corpus").mkdir(parents=True, exist_ok=True)
    for path in sorted((shared / "corpus").glob("*.txt")):
        (out / "corpus" / path.name).write_bytes(corpus_slices(path.read_bytes()))
    ucd, ucd_out = shared / "data" / "unicode-17.0.0", out / "unicode-17.0.0"
    ucd_out.mkdir(exist_ok=True)
    (ucd_out / "DerivedGeneralCategory.txt").write_text(ucd_lines(ucd / "DerivedGeneralCategory.txt"))
    (ucd_out / "PropList.txt").write_text(ucd_lines(ucd / "PropList.txt", lambda v: v == "White_Space"))
    shutil.copyfile(ucd / "COPYRIGHT", ucd_out / "COPYRIGHT")
    sums = [f"{hashlib.sha256(p.read_bytes()).hexdigest()}  {p.name}\n"
            for p in sorted((shared / "data").glob("*.ranks"))]
    (out / "ranks.sha256").write_text("".join(sums))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
