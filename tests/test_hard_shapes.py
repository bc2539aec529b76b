"""Hard shapes of text held to the independent reference: every shape of the benchmark
catalogue (runs, repeated patterns, random text of many kinds) short and long, and a few
the catalogue lacks."""

from __future__ import annotations

import random
import sys
from pathlib import Path

import pytest

import zelkor
from reference import available, bpe, bpe_long, reference

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
from hard_shapes import catalogue  # noqa: E402

pytestmark = pytest.mark.skipif(not available(), reason="shared rank lists not present")

ENCODINGS = ["cl100k_base", "o200k_base"]
# Short instances stay below where long pieces are cut into chunks; long ones go past it.
SIZES = [300, 2600]


def _others(rng: random.Random) -> list[tuple[str, str]]:
    """Shapes the catalogue does not hold."""
    return [
        ("rule with a title", "=" * 1500 + " Title " + "=" * 1500),
        ("runs that change", "".join(c * rng.randint(300, 1500) for c in "-=*#~_")),
        ("indented code block", ("\t" * 12 + "x = 1\n") * 80),
        ("box drawing", ("\u2500" * 1200 + "\n") * 2),
        ("markdown table", "|" + "---|" * 700),
        ("long number", "".join(rng.choice("0123456789") for _ in range(3000))),
        ("dotted leaders", "Chapter 1 " + "." * 2500 + " 7"),
        ("same CJK character", "\u4f60" * 1200),
        ("repeated word", "buffalo" * 400),
        ("period 64 and 65", "".join(rng.choice("ab-") for _ in range(64)) * 40
         + "".join(rng.choice("ab-") for _ in range(65)) * 40),
    ]


@pytest.fixture(scope="module")
def toks():
    return {e: zelkor.Tokenizer(e) for e in ENCODINGS}


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("size", SIZES)
def test_catalogue_matches_reference(toks, encoding, size):
    tok, ref = toks[encoding], reference(encoding)
    wrong = []
    shapes = catalogue(size, seed=size) + (_others(random.Random(size)) if size > 1000 else [])
    for name, text in shapes:
        want = ref.encode(text)
        if tok.encode_ordinary(text) != want or tok.count(text) != len(want):
            wrong.append(name)
    assert not wrong, f"{len(wrong)} shapes differ from the reference: {wrong[:10]}"


def test_fast_reference_is_the_merge_loop():
    rng = random.Random(5)
    for _ in range(200):
        piece = bytes(rng.choice(b"ab-= \t\xe4\xbd\xa0") for _ in range(rng.randint(1, 120)))
        for encoding in ENCODINGS:
            assert bpe_long(encoding, piece) == bpe(encoding, piece), piece
