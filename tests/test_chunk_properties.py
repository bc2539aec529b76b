"""Chunking checked as properties over random texts of every script, and
against the slow reference chunker."""

from __future__ import annotations

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

import zelkor  # noqa: E402

from chunk_reference import reference_chunks  # noqa: E402

TOKENIZERS = {name: zelkor.Tokenizer(name) for name in ("cl100k_base", "o200k_base")}

# Pieces that stress the places where a text's tokens and a piece's tokens
# differ: digit runs, whitespace runs before words, contractions, marks,
# sentence and line ends, and characters of several tokens each.
FRAGMENTS = [
    "the", " quick", " brown", "Fox", "DON'T", "'s", "'ll", " it's", "1234567", "3.14", " 42",
    "  ", "   ", "\t", "\n", "\r\n", "\n\n", " \n ", ". ", "! ", "? ", "…", "\"", ")", "» ",
    "こんにちは", "世界。", "你好！", "？", "Привет", " мир", "مرحبا", " بالعالم", "नमस्ते",
    "שלום", "Ελλάδα", "🎉", "👍🏽", "🇩🇪", "e\u0301", "\u00a0", "\u3000", "\u2028", "//", "https://x.io/a",
    "ＡＢＣ", "ǅ", "𝔘𝔫𝔦", "\x00", "\x1c",
]

texts = st.lists(
    st.one_of(st.sampled_from(FRAGMENTS), st.text(st.characters(exclude_categories=["Cs"]), max_size=4)),
    max_size=40,
).map("".join)

options = st.tuples(
    st.sampled_from(sorted(TOKENIZERS)),
    st.integers(1, 12),
    st.integers(0, 11),
    st.sampled_from(["token", "whitespace", "line", "sentence"]),
).filter(lambda o: o[2] < o[1])

SETTINGS = settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def spans_of(tok, text, max_tokens, overlap, boundary):
    return [tuple(map(int, s)) for s in zelkor.chunk_spans(tok, text, max_tokens, overlap=overlap,
                                                           boundary=boundary)]


@SETTINGS
@given(texts, options)
def test_guarantees(text, opts):
    name, max_tokens, overlap, boundary = opts
    tok = TOKENIZERS[name]
    chunks = zelkor.chunk(tok, text, max_tokens, overlap=overlap, boundary=boundary)
    spans = spans_of(tok, text, max_tokens, overlap, boundary)
    assert chunks == [text[a:b] for a, b in spans]
    if not text:
        assert spans == []
        return
    assert spans[0][0] == 0 and spans[-1][1] == len(text)
    for (a, b), piece in zip(spans, chunks):
        assert a < b
        assert len(tok.encode_ordinary(piece)) <= max_tokens or len(piece) == 1
        # Every cut is a character boundary: the chunk's UTF-8 is the text's own bytes.
        assert piece.encode() in text.encode()
    for (a0, b0), (a1, b1) in zip(spans, spans[1:]):
        assert a0 < a1 <= b0  # progress, and no gap
        assert len(tok.encode_ordinary(text[a1:b0])) <= overlap
    if overlap == 0:
        assert "".join(chunks) == text


@SETTINGS
@given(texts, options)
def test_agrees_with_the_reference(text, opts):
    name, max_tokens, overlap, boundary = opts
    tok = TOKENIZERS[name]
    assert spans_of(tok, text, max_tokens, overlap, boundary) == reference_chunks(
        tok, text, max_tokens, overlap, boundary
    )


@settings(max_examples=60, deadline=None)
@given(st.lists(texts, max_size=8), options, st.sampled_from([0, 1, 2, 3]))
def test_batch_is_chunk_of_every_text(batch, opts, threads):
    name, max_tokens, overlap, boundary = opts
    tok = TOKENIZERS[name]
    expected = [zelkor.chunk(tok, t, max_tokens, overlap=overlap, boundary=boundary) for t in batch]
    assert zelkor.chunk_batch(tok, batch, max_tokens, overlap=overlap, boundary=boundary,
                              threads=threads) == expected
