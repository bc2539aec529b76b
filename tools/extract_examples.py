#!/usr/bin/env python3
"""Write the Python examples of the README and docs/ as modules a type checker reads.

    python tools/extract_examples.py OUT_DIR

The doctest sessions of one Markdown file run on from block to block: they
become one module, without their prompts and expected output. Every script is
a module of its own.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BLOCK = re.compile(r"^```python\n(.*?)^```", re.M | re.S)


def session_code(block: str) -> str | None:
    """The code of a doctest session, or None for a script."""
    lines = block.splitlines()
    if not any(line.startswith(">>> ") for line in lines):
        return None
    return "\n".join(line[4:] for line in lines if line.startswith((">>> ", "... "))) + "\n"


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    out = Path(argv[1])
    out.mkdir(parents=True, exist_ok=True)
    for doc in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
        stem = "example_" + doc.stem.lower().replace("-", "_")
        sessions = []
        for i, block in enumerate(BLOCK.findall(doc.read_text(encoding="utf-8"))):
            code = session_code(block)
            if code is None:
                (out / f"{stem}_script{i}.py").write_text(block, encoding="utf-8")
            else:
                sessions.append(code)
        if sessions:
            (out / f"{stem}.py").write_text("".join(sessions), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
