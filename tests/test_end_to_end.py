"""Whole-text encoding held to the independent reference (split pattern + merge loop)."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zelkor
from reference import corpus_files, reference, split

ENCODINGS = ["cl100k_base", "o200k_base", "o200k_harmony"]


@pytest.fixture(scope="module")
def toks():
    return {name: zelkor.Tokenizer(name) for name in ENCODINGS}


def _first_difference(a: list[int], b: list[int]) -> int:
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: p.name)
@pytest.mark.parametrize("encoding", ["cl100k_base", "o200k_base"])
def test_corpus_matches_reference(toks, encoding, path):
    text = path.read_text(encoding="utf-8")
    assert "".join(split(encoding, text)) == text
    want = reference(encoding).encode(text)
    got = toks[encoding].encode_ordinary(text)
    if got != want:
        i = _first_difference(got, want)
        context = toks[encoding].decode(want[max(0, i - 5) : i + 5])
        pytest.fail(f"first difference at id {i} near {context!r}: got {got[i:i+5]}, want {want[i:i+5]}")
    assert toks[encoding].count(text) == len(want)
    assert toks[encoding].decode(got) == text
    if encoding == "o200k_base":
        assert toks["o200k_harmony"].encode_ordinary(text) == want


# Characters whose classes have been stable across Unicode versions, so the
# reference's own Unicode tables agree with the library's.
_ALPHABET = st.sampled_from(
    list("abcxyzABCXYZ0123456789 .,;:!?'\"()[]{}/\\-_+=*&^%$#@~`|<>")
    + ["\n", "\r", "\t", "\r\n", "  ", "\u00a0", "\u3000", "\u2028", "\u0085", "\u000b", "\u000c"]
    + list("éüßñçøÅÉÑΩωЖжאבعربي")
    + ["\u0301", "\u0308", "\u20ac", "\u00b2", "\u00bd", "\u0663", "\u0967"]
    + list("你好世界日本語カタカナひらがな한국어")
    + ["\U0001f600", "\U0001f44d\U0001f3fd", "\U00020000", "\U0001d400"]
    + ["'s", "'T", "'re", "'LL", "'ve", "'d", "'m", "don't", "HTMLParser", "parseHTML", "CamelCase"]
)


@given(st.lists(_ALPHABET, max_size=40).map("".join))
@settings(max_examples=400, deadline=None)
def test_generated_text_matches_reference(toks, text):
    for encoding in ("cl100k_base", "o200k_base"):
        want = reference(encoding).encode(text)
        assert toks[encoding].encode_ordinary(text) == want, (encoding, text)
        assert toks[encoding].decode(want) == text


@given(st.binary(max_size=64))
@settings(max_examples=300, deadline=None)
def test_raw_bytes_round_trip(toks, data):
    for encoding in ("cl100k_base", "o200k_base"):
        ids = toks[encoding].encode_bytes(data)
        assert toks[encoding].decode_bytes(ids) == data
