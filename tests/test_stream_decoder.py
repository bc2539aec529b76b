"""Streaming decode: text comes out as soon as it is complete, and all of it adds up to decode()."""

from __future__ import annotations

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zelkor
from zelkor.stream import StreamDecoder

FFFD = "\ufffd"
# Bytes of valid, unfinished, surrogate, overlong and out-of-range sequences, and of a real U+FFFD.
BROKEN = st.lists(
    st.sampled_from(b"a\x80\x8f\xbf\xbd\xc0\xc3\xa9\xe0\xe4\xed\xef\xa0\xf0\x9f\x98\xf4\x90\xff"), max_size=16
)


def byte_ids(tok, raw) -> list[int]:
    return [tok.encode_single_token(bytes([b])) for b in raw]


def outcome(run):
    try:
        return run()
    except ValueError as e:
        return ("error", str(e))


def test_split_characters_are_held_back(cl100k):
    # cl100k spells 世 as b"\xe4\xb8" + b"\x96" and 😀 as b"\xf0\x9f\x98" + b"\x80".
    np = pytest.importorskip("numpy")
    assert zelkor.StreamDecoder is StreamDecoder
    dec = StreamDecoder(cl100k)
    assert dec.feed(57668) == "你"
    assert dec.feed(np.uint32(3574)) == "" and dec.pending == b"\xe4\xb8"
    assert dec.feed([244, 76460]) == "世" and dec.pending == b"\xf0\x9f\x98"
    assert dec.feed(np.array([222], dtype=np.uint32)) == "😀" and dec.pending == b""


def test_every_cut_of_real_text(any_tok):
    text = "你好世界，这是一个测试 😀🎉👍🏽 naïve ﬀ ⟨x⟩ 𪛖"
    ids = any_tok.encode(text)
    for cut in range(len(ids) + 1):
        dec = StreamDecoder(any_tok, "strict")
        first = dec.feed(ids[:cut])
        assert first.encode() + dec.pending == any_tok.decode_bytes(ids[:cut])
        assert first + dec.feed(ids[cut:]) + dec.flush() == text


@settings(max_examples=500, deadline=None)
@given(
    raw=BROKEN,
    cuts=st.lists(st.integers(0, 16), max_size=6),
    errors=st.sampled_from(["replace", "ignore", "strict", "x"]),
)
def test_any_cutting_of_broken_bytes_matches_decode(cl100k, raw, cuts, errors):
    # Strict errors must name the same place as decode of the whole does.
    ids = byte_ids(cl100k, raw)
    bounds = [0, *sorted(min(c, len(ids)) for c in cuts), len(ids)]

    def stream():
        dec = StreamDecoder(cl100k, errors)
        return "".join(dec.feed(ids[a:b]) for a, b in zip(bounds, bounds[1:])) + dec.flush()

    assert outcome(stream) == outcome(lambda: cl100k.decode(ids, errors=errors))


@settings(max_examples=300, deadline=None)
@given(raw=BROKEN)
def test_nothing_is_held_longer_than_needed(cl100k, raw):
    # After every id the text out is all of decode() of the prefix, but for one
    # U+FFFD standing for a character that may still be finished.
    ids = byte_ids(cl100k, raw)
    dec = StreamDecoder(cl100k)
    out = ""
    for n in range(1, len(ids) + 1):
        out += dec.feed(ids[n - 1])
        assert out + (FFFD if dec.pending else "") == cl100k.decode(ids[:n])
        if dec.pending:
            with pytest.raises(ValueError, match="incomplete utf-8 byte sequence from index 0$"):
                cl100k.decode(byte_ids(cl100k, dec.pending), errors="strict")


def test_strict_errors_change_nothing(cl100k):
    dec = StreamDecoder(cl100k, "strict")
    assert dec.feed([57668, 3574]) == "你"
    with pytest.raises(ValueError, match=r"^invalid utf-8 in decode: invalid utf-8 sequence of 2 bytes from index 3$"):
        dec.feed(cl100k.encode("ok"))
    with pytest.raises(ValueError, match=r"incomplete utf-8 byte sequence from index 3$"):
        dec.flush()
    assert dec.pending == b"\xe4\xb8" and dec.feed(244) == "世"
    dec.feed(3574)
    dec.reset()
    assert dec.feed(cl100k.encode("ok")) == "ok" and dec.flush() == ""
    # A new stream counts its bytes from zero.
    with pytest.raises(ValueError, match="of 1 bytes from index 0$"):
        dec.feed(byte_ids(cl100k, b"\xff"))


def test_bad_ids_and_arguments_raise_as_decode_does_and_change_nothing(cl100k):
    dec = StreamDecoder(cl100k)
    dec.feed(3574)
    bad_ids = [([244, -1], OverflowError), ([244, 2**32], OverflowError), (["a"], TypeError), ("ab", TypeError)]
    for bad, exc in bad_ids + [(None, TypeError)]:
        with pytest.raises(exc):
            dec.feed(bad)
        assert dec.pending == b"\xe4\xb8"
    # Specials give their text, unknown ids nothing, as in decode.
    assert dec.feed([244, cl100k.eot_token, 2**32 - 1, cl100k.n_vocab + 7]) == "世<|endoftext|>"
    for errors in (None, b"strict", 1):
        with pytest.raises(TypeError):
            StreamDecoder(cl100k, errors)
    # A name where the tokenizer belongs is a TypeError that says what to pass.
    with pytest.raises(TypeError, match=r"^StreamDecoder needs a zelkor.Tokenizer, not str; "
                       r"build one with zelkor.Tokenizer\('cl100k_base'\)$"):
        StreamDecoder("cl100k_base")
    with pytest.raises(TypeError, match="not NoneType$"):
        StreamDecoder(None)


def test_is_an_attribute_of_the_package():
    import zelkor
    from zelkor import stream

    assert zelkor.StreamDecoder is stream.StreamDecoder and "StreamDecoder" in vars(zelkor)
