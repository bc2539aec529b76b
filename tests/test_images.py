"""The shipped data images: their sizes, that the vocabularies are the
published rank lists (by SHA-256), and that the generator rebuilds every image
byte for byte from those lists and the Unicode data."""

from __future__ import annotations

import hashlib
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest

from reference import TEST_DATA, rank_list

ROOT = Path(__file__).resolve().parents[1]
DATA = ROOT / "data"
RANK_LISTS = {"cl100k_base.ranks": "cl100k.vocab", "o200k_base.ranks": "o200k.vocab"}

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


def published_sums() -> dict[str, str]:
    lines = (TEST_DATA / "ranks.sha256").read_text().splitlines()
    return {name: digest for digest, name in (line.split() for line in lines)}


def test_vocab_images_hold_the_published_rank_lists() -> None:
    sums = published_sums()
    assert sorted(sums) == sorted(RANK_LISTS)
    for name, image in RANK_LISTS.items():
        assert hashlib.sha256(rank_list(image)).hexdigest() == sums[name], image


def test_generator_reproduces_every_image(tmp_path: Path) -> None:
    source, out = tmp_path / "source", tmp_path / "images"
    shutil.copytree(TEST_DATA / "unicode-17.0.0", source / "unicode-17.0.0")
    for name, image in RANK_LISTS.items():
        (source / name).write_bytes(rank_list(image))
    subprocess.run(
        [sys.executable, str(ROOT / "tools" / "gen_images.py"), str(source), str(out)],
        check=True,
        capture_output=True,
    )
    produced = sorted(p.name for p in out.iterdir())
    assert produced == sorted(IMAGES)
    for name in IMAGES:
        assert (out / name).read_bytes() == (DATA / name).read_bytes(), name
