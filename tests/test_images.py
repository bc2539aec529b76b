"""The shipped data images: their sizes, and that the generator rebuilds them
byte for byte from the published rank lists and the Unicode data."""

from __future__ import annotations

import struct
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "data"
SOURCE = ROOT.parent / "shared" / "data"

# name: (size in bytes, leading u32 count)
IMAGES = {
    "cl100k.vocab": (1245370, 100256),
    "o200k.vocab": (2597662, 199998),
    "cl100k.special": (104, 5),
    "o200k.special": (44, 2),
    "o200k_harmony.special": (27201, 1091),
    "uniclass.bin": (6732, 684),
    "uniclass_o200k.bin": (27396, 684),
}


def list_counts(blob: bytes, lists: int) -> list[int]:
    counts, off = [], 0
    for _ in range(lists):
        (n,) = struct.unpack_from("<I", blob, off)
        counts.append(n)
        off += 4 + 8 * n
    assert off == len(blob)
    return counts


@pytest.mark.parametrize("name", sorted(IMAGES))
def test_shipped_image_size_and_count(name: str) -> None:
    blob = (DATA / name).read_bytes()
    size, count = IMAGES[name]
    assert len(blob) == size
    assert struct.unpack_from("<I", blob)[0] == count


def test_class_images_hold_their_lists() -> None:
    cl = (DATA / "uniclass.bin").read_bytes()
    o = (DATA / "uniclass_o200k.bin").read_bytes()
    assert list_counts(cl, 3) == [684, 146, 10]
    assert list_counts(o, 5) == [684, 146, 10, 1300, 1282]
    # The three shared lists are the same bytes.
    assert o.startswith(cl)


def test_generator_reproduces_every_image(tmp_path: Path) -> None:
    if not SOURCE.is_dir():
        pytest.skip(f"source data not found at {SOURCE}")
    out = tmp_path / "images"
    subprocess.run(
        [sys.executable, str(ROOT / "tools" / "gen_images.py"), str(SOURCE), str(out)],
        check=True,
        capture_output=True,
    )
    produced = sorted(p.name for p in out.iterdir())
    assert produced == sorted(IMAGES)
    for name in IMAGES:
        assert (out / name).read_bytes() == (DATA / name).read_bytes(), name
