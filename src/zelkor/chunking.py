"""Cutting texts into chunks of at most N tokens, for retrieval and long-context pipelines.

Each text is encoded once; the cuts come from where its tokens end, and each
chunk is checked by counting it as it would encode alone (BPE is not
additive: the tokens of a piece of text can differ from the text's own tokens
over it). The work runs in the engine with the interpreter released.

Guarantees, for every chunk:

- encoded alone with `Tokenizer.encode_ordinary` it has at most `max_tokens`
  tokens, except a single character that alone needs more tokens than
  `max_tokens`, which is a chunk by itself;
- it is non-empty, starts and ends on character boundaries, and comes after
  the one before; with `overlap=0` the chunks concatenate to the text;
- with `overlap=k`, each chunk after the first starts at most k tokens before
  the end of the one before (the overlap, encoded alone, has at most k
  tokens), and always after that chunk's start.

`boundary` says where a chunk prefers to end:

- ``"token"``: where the budget ends;
- ``"whitespace"``: before a non-whitespace character that follows whitespace;
- ``"line"``: after a line break (``\\n``, ``\\r\\n`` or ``\\r``);
- ``"sentence"``: before a non-whitespace character that follows ``.``, ``!``,
  ``?`` or ``…``, then any closing quotes or brackets, then whitespace; or that
  follows ``。``, ``！`` or ``？`` (and closers) with or without whitespace; or
  that follows whitespace holding two line breaks (a new paragraph).

The cut goes to the last such place inside the budget when at least half of
the candidate chunk's characters lie before it (and, with an overlap, past the
end of the chunk before), and where the budget ends otherwise. With an overlap, a chunk after the first starts at the earliest
such place within the last `overlap` tokens of the chunk before (if the
stretch from there keeps to `overlap` tokens), else at a token's start.
Whitespace is Unicode White_Space. The sentence rule is a heuristic: "e.g. x"
ends a sentence for it, and so does "Dr. Smith".
"""

from __future__ import annotations

import operator

from . import _bulk
from ._zelkor import Tokenizer

__all__ = ["chunk", "chunk_batch", "chunk_spans"]

BOUNDARIES = ("token", "whitespace", "line", "sentence")


def chunk(tokenizer, text, max_tokens, *, overlap=0, boundary="token"):
    """The chunks of `text`, each of at most `max_tokens` tokens, as a list of str."""
    options = _options(tokenizer, max_tokens, overlap, boundary)
    (chunks,) = _bulk.chunk_strings(tokenizer, [_text(text)], *options, 1)
    return chunks


def chunk_spans(tokenizer, text, max_tokens, *, overlap=0, boundary="token"):
    """The (start, end) character offsets of the chunks that `chunk` gives.

    A numpy int64 array of shape (n, 2) when numpy is installed, a list of
    (start, end) tuples otherwise.
    """
    options = _options(tokenizer, max_tokens, overlap, boundary)
    (raw,) = _bulk.chunk_texts(tokenizer, [_text(text)], *options, 1)
    try:
        import numpy
    except ImportError:
        return [(a, b) for a, b, _ in _triples(raw)]
    return numpy.frombuffer(raw, dtype=numpy.int64).reshape(-1, 3)[:, :2].copy()


def chunk_batch(tokenizer, texts, max_tokens, *, overlap=0, boundary="token", threads=0):
    """`chunk` of every text, one list per text, on worker threads.

    `threads` means what it means for `Tokenizer.count_batch` (0: all CPUs).
    """
    options = _options(tokenizer, max_tokens, overlap, boundary)
    return _bulk.chunk_strings(tokenizer, _texts(texts), *options, operator.index(threads))


def _spans(tokenizer, texts, max_tokens, overlap, boundary, threads):
    """(start, end, tokens) triples of the chunks of every text; `tokens`
    is the chunk's count encoded alone."""
    options = _options(tokenizer, max_tokens, overlap, boundary)
    threads = operator.index(threads)
    return [_triples(raw) for raw in _bulk.chunk_texts(tokenizer, texts, *options, threads)]


def _triples(raw):
    flat = memoryview(raw).cast("q").tolist()
    return list(zip(flat[0::3], flat[1::3], flat[2::3]))


def _options(tokenizer, max_tokens, overlap, boundary):
    """(max_tokens, overlap, boundary index), checked before any work."""
    if not isinstance(tokenizer, Tokenizer):
        raise TypeError(f"expected a zelkor.Tokenizer, got {type(tokenizer).__name__}")
    max_tokens = operator.index(max_tokens)
    overlap = operator.index(overlap)
    if max_tokens < 1:
        raise ValueError(f"max_tokens must be at least 1, got {max_tokens}")
    if not 0 <= overlap < max_tokens:
        raise ValueError(
            f"overlap must be at least 0 and less than max_tokens ({max_tokens}), got {overlap}"
        )
    if not isinstance(boundary, str) or boundary not in BOUNDARIES:
        raise ValueError(
            f"boundary must be one of {', '.join(map(repr, BOUNDARIES))}, got {boundary!r}"
        )
    return max_tokens, overlap, BOUNDARIES.index(boundary)


def _text(text):
    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    return text


def _texts(texts):
    if isinstance(texts, (str, bytes)):
        raise TypeError(f"texts must be a sequence of str, not a single {type(texts).__name__}")
    texts = list(texts)
    for i, t in enumerate(texts):
        if not isinstance(t, str):
            raise TypeError(f"texts[{i}] must be a str, not {type(t).__name__}")
    return texts
