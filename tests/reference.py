"""An independent reference tokenizer for the tests.

The published split patterns run through the `regex` package, then the textbook
BPE merge loop over the published rank lists (read straight from the source
rank files, not from the images the library embeds): repeatedly merge the
adjacent pair whose concatenation has the lowest rank.
"""

from __future__ import annotations

import base64
import functools
from pathlib import Path

import regex

SHARED = Path(__file__).resolve().parents[1].parent / "shared"
CORPUS = SHARED / "corpus"
RANKS = {"cl100k_base": "cl100k_base.ranks", "o200k_base": "o200k_base.ranks", "o200k_harmony": "o200k_base.ranks"}

# White_Space spelled as a property and ASCII-only contraction letters, as the
# pre-tokenizers define them.
_CONTRACTION = r"(?:[sS]|[tT]|[mM]|[dD]|[rR][eE]|[vV][eE]|[lL][lL])"
CL100K_PATTERN = (
    r"'" + _CONTRACTION + r"|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}"
    r"| ?[^\p{White_Space}\p{L}\p{N}]+[\r\n]*|\p{White_Space}*[\r\n]+"
    r"|\p{White_Space}+(?!\P{White_Space})|\p{White_Space}+"
)
_U = r"[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]"
_L = r"[\p{Ll}\p{Lm}\p{Lo}\p{M}]"
_S = r"(?:'" + _CONTRACTION + r")?"
O200K_PATTERN = (
    r"[^\r\n\p{L}\p{N}]?" + _U + "*" + _L + "+" + _S + r"|[^\r\n\p{L}\p{N}]?" + _U + "+" + _L + "*" + _S
    + r"|\p{N}{1,3}| ?[^\p{White_Space}\p{L}\p{N}]+[\r\n/]*|\p{White_Space}*[\r\n]+"
    r"|\p{White_Space}+(?!\P{White_Space})|\p{White_Space}+"
)
_COMPILED = {
    "cl100k_base": regex.compile(CL100K_PATTERN),
    "o200k_base": regex.compile(O200K_PATTERN),
    "o200k_harmony": regex.compile(O200K_PATTERN),
}


def available() -> bool:
    return (SHARED / "data" / "cl100k_base.ranks").is_file()


@functools.lru_cache(maxsize=None)
def ranks(encoding: str) -> dict[bytes, int]:
    out: dict[bytes, int] = {}
    for line in (SHARED / "data" / RANKS[encoding]).read_bytes().splitlines():
        if line:
            b64, rank = line.split(b" ")
            out[base64.b64decode(b64)] = int(rank)
    return out


def split(encoding: str, text: str) -> list[str]:
    return _COMPILED[encoding].findall(text)


def bpe(encoding: str, piece: bytes) -> list[int]:
    """Textbook byte-level BPE: merge the lowest-ranked adjacent pair until none is a token."""
    table = ranks(encoding)
    parts = [piece[i : i + 1] for i in range(len(piece))]
    while len(parts) > 1:
        best = None
        best_rank = None
        for i in range(len(parts) - 1):
            r = table.get(parts[i] + parts[i + 1])
            if r is not None and (best_rank is None or r < best_rank):
                best, best_rank = i, r
        if best is None:
            break
        parts[best : best + 2] = [parts[best] + parts[best + 1]]
    return [table[p] for p in parts]


class Reference:
    """Ordinary encoding by the reference, with a memo per distinct pre-token."""

    def __init__(self, encoding: str) -> None:
        self.encoding = encoding
        self._memo: dict[str, list[int]] = {}

    def piece(self, piece: str) -> list[int]:
        ids = self._memo.get(piece)
        if ids is None:
            ids = bpe(self.encoding, piece.encode("utf-8"))
            self._memo[piece] = ids
        return ids

    def encode(self, text: str) -> list[int]:
        out: list[int] = []
        for p in split(self.encoding, text):
            out.extend(self.piece(p))
        return out


@functools.lru_cache(maxsize=None)
def reference(encoding: str) -> Reference:
    return Reference(encoding)


def corpus_files() -> list[Path]:
    return sorted(CORPUS.glob("*.txt")) if CORPUS.is_dir() else []
