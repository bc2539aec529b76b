"""Hard shapes of text held to the independent reference: every shape of the benchmark
catalogue (runs, repeated patterns, random text of many kinds) short and long, and a few
the catalogue lacks."""

from __future__ import annotations

import functools
import heapq
import random
import sys
from pathlib import Path

import pytest

import zelkor
from reference import bpe, ranks, split

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
from hard_shapes import catalogue  # noqa: E402


def _have_ranks() -> bool:
    try:
        ranks("cl100k_base")
    except OSError:
        return False
    return True


pytestmark = pytest.mark.skipif(not _have_ranks(), reason="rank lists not present")

ENCODINGS = ["cl100k_base", "o200k_base"]
# Short instances stay below where long pieces are cut into chunks; long ones go past it.
SIZES = [300, 2600]


def bpe_long(encoding: str, piece: bytes) -> list[int]:
    """The reference's merge loop in O(n log n), for pieces of thousands of bytes: a heap of
    (rank, start) over the adjacent pairs of a linked list of parts; an entry is stale once
    either of its parts has grown (a part is known by its start and length)."""
    table = ranks(encoding)
    n = len(piece)
    length = [1] * n  # by the start of a live part; 0 once merged away
    nxt = list(range(1, n + 1))
    prv = list(range(-1, n - 1))
    heap: list[tuple[int, int, int, int]] = []

    def offer(left: int) -> None:
        if left >= 0 and nxt[left] < n:
            r = table.get(piece[left : left + length[left] + length[nxt[left]]])
            if r is not None:
                heapq.heappush(heap, (r, left, length[left], length[nxt[left]]))

    for i in range(n - 1):
        offer(i)
    while heap:
        _, left, llen, rlen = heapq.heappop(heap)
        if length[left] != llen or nxt[left] >= n or length[nxt[left]] != rlen:
            continue
        right = nxt[left]
        length[left] += rlen
        length[right] = 0
        nxt[left] = nxt[right]
        if nxt[left] < n:
            prv[nxt[left]] = left
        offer(prv[left])
        offer(left)
    out, i = [], 0
    while i < n:
        out.append(table[piece[i : i + length[i]]])
        i = nxt[i]
    return out


@functools.lru_cache(maxsize=None)
def _piece(encoding: str, piece: str) -> tuple[int, ...]:
    raw = piece.encode("utf-8")
    return tuple(bpe(encoding, raw) if len(raw) <= 64 else bpe_long(encoding, raw))


def reference_encode(encoding: str, text: str) -> list[int]:
    return [i for p in split(encoding, text) for i in _piece(encoding, p)]


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
        ("rules at the lengths where cutting starts", "".join(
            head + (unit * n)[:n] + "\n"
            for n in (255, 256, 271, 272, 273, 399, 400, 527, 528, 1023, 1024, 1039, 1040, 1041)
            for head, unit in (("", "-"), ("", "=-"), (" ", "+--+"), ("x", "\t"), ("x", "\t ")))),
        ("a rule and a long tail", "=" * 700 + "".join(rng.choice("!?-=") for _ in range(1500))),
        # Long tokens start at most places: matches that go on past three bytes.
        ("words glued together", "".join(rng.choice(
            ["information", "ing", "the", "nationalism", "tion", "qu", "x", "ABC", "Http"])
            for _ in range(700))),
        # Bytes outside printable ASCII inside one punctuation run.
        ("punctuation with control bytes", "".join(
            rng.choice("!#$%&*+-./:;<=>?@^_|~\x7f\x01\x1b") for _ in range(3000))),
        ("period 64 and 65", "".join(rng.choice("ab-") for _ in range(64)) * 40
         + "".join(rng.choice("ab-") for _ in range(65)) * 40),
    ]


@pytest.fixture(scope="module")
def toks():
    return {e: zelkor.Tokenizer(e) for e in ENCODINGS}


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("size", SIZES)
def test_catalogue_matches_reference(toks, encoding, size):
    tok = toks[encoding]
    wrong = []
    shapes = catalogue(size, seed=size) + (_others(random.Random(size)) if size > 1000 else [])
    for name, text in shapes:
        want = reference_encode(encoding, text)
        if tok.encode_ordinary(text) != want or tok.count(text) != len(want):
            wrong.append(name)
    assert not wrong, f"{len(wrong)} shapes differ from the reference: {wrong[:10]}"


def test_fast_reference_is_the_merge_loop():
    rng = random.Random(5)
    for _ in range(200):
        piece = bytes(rng.choice(b"ab-= \t\xe4\xbd\xa0") for _ in range(rng.randint(1, 120)))
        for encoding in ENCODINGS:
            assert bpe_long(encoding, piece) == bpe(encoding, piece), piece
