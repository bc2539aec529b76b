"""Decoding under the three error policies, and the inspection members."""

from __future__ import annotations

import shutil
from pathlib import Path

import pytest

import zelkor

EOT = "<|endoftext|>"
FFFD = "\ufffd"


def byte_ids(tok, raw: bytes) -> list[int]:
    return [tok.encode_single_token(bytes([b])) for b in raw]


def strict_error(tok, ids) -> str:
    with pytest.raises(ValueError) as info:
        tok.decode(ids, errors="strict")
    return str(info.value)


class TestErrorPolicies:
    def test_lone_ff(self, any_tok):
        ids = byte_ids(any_tok, b"\xff")
        assert any_tok.decode(ids) == any_tok.decode(ids, "nonsense") == FFFD
        assert any_tok.decode(ids, errors="ignore") == ""
        assert strict_error(any_tok, ids) == "invalid utf-8 in decode: invalid utf-8 sequence of 1 bytes from index 0"

    def test_split_character(self, cl100k):
        ids = cl100k.encode("\U0002a6d6")
        assert len(ids) > 1 and cl100k.decode(ids, "strict") == "\U0002a6d6"
        assert strict_error(cl100k, ids[:1]).endswith("incomplete utf-8 byte sequence from index 0")
        assert cl100k.decode(ids[:1]) == FFFD

    @pytest.mark.parametrize(
        "raw,detail",
        [
            (b"a\x80", "invalid utf-8 sequence of 1 bytes from index 1"),
            (b"aa\xe4\xbda", "invalid utf-8 sequence of 2 bytes from index 2"),
            (b"a\xf0\x9f\x98a", "invalid utf-8 sequence of 3 bytes from index 1"),
            (b"a\xe4\xbd", "incomplete utf-8 byte sequence from index 1"),
            (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # a surrogate
            (b"\xc0\xaf", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong
        ],
    )
    def test_strict_details(self, cl100k, raw, detail):
        assert strict_error(cl100k, byte_ids(cl100k, raw)) == "invalid utf-8 in decode: " + detail

    @pytest.mark.parametrize(
        "raw",
        [
            b"a\xe4\xbdb",
            b"\xf0\x9f\x98\x80\xf0\x9f\x98",
            b"\xc0\xaf x \xed\xa0\x80 y \xf4\x90\x80\x80",
            b"\xe0\x80\x80\xf8\xff\x80 long ascii run to cross a word \xe4",
            b"plain ascii",
        ],
    )
    def test_replacement_is_by_maximal_subpart(self, cl100k, raw):
        ids = byte_ids(cl100k, raw)
        # The interpreter's own decoder follows the same best practice.
        assert cl100k.decode(ids) == raw.decode("utf-8", "replace")
        assert cl100k.decode(ids, "ignore") == raw.decode("utf-8", "replace").replace(FFFD, "")
        assert cl100k.decode_bytes(ids) == raw

    def test_ignore_drops_genuine_replacement_characters(self, o200k):
        ids = o200k.encode(f"a{FFFD}b")
        assert o200k.decode(ids) == o200k.decode(ids, "strict") == f"a{FFFD}b"
        assert o200k.decode(ids, errors="ignore") == "ab"


def test_specials_unknown_ids_batches_and_single_tokens(cl100k):
    hello = cl100k.encode("hello")
    assert cl100k.decode(hello + [cl100k.eot_token] + hello) == f"hello{EOT}hello"
    assert cl100k.decode(hello + [cl100k.n_vocab + 1000, 2**32 - 1] + hello) == "hellohello"
    assert (cl100k.decode([]), cl100k.decode_bytes([])) == ("", b"")
    lists = [cl100k.encode("one"), [], cl100k.encode("two three")]
    assert cl100k.decode_batch(lists) == cl100k.decode_batch(tuple(lists), "strict") == ["one", "", "two three"]
    bad = [cl100k.encode("fine"), byte_ids(cl100k, b"\xff")]
    assert cl100k.decode_batch(bad, "ignore") == ["fine", ""]
    with pytest.raises(ValueError, match="from index 0"):
        cl100k.decode_batch(bad, errors="strict")
    assert cl100k.decode_single_token_bytes(cl100k.eot_token) == EOT.encode()
    with pytest.raises(KeyError) as info:
        cl100k.decode_single_token_bytes(4294967295)
    assert info.value.args == ("unknown token id 4294967295",)


class TestInspection:
    @pytest.mark.parametrize(
        "name,n_vocab,n_specials",
        [("cl100k_base", 100277, 5), ("o200k_base", 200019, 2), ("o200k_harmony", 201088, 1091)],
    )
    def test_builtin_values(self, name, n_vocab, n_specials):
        tok = zelkor.Tokenizer(name)
        assert (tok.name, tok.n_vocab, tok.max_token_value) == (name, n_vocab, n_vocab - 1)
        assert len(tok.special_tokens()) == n_specials
        values = tok.token_byte_values()
        assert tok.decode_single_token_bytes(len(values) - 1) == values[-1]
        assert b"".join(values[i] for i in tok.encode("byte values")) == b"byte values"
        assert tok.eot_token >= len(values)
        assert tok.memory_bytes == tok.memory_bytes == zelkor.Tokenizer(name).memory_bytes > 0

    def test_eot_and_is_special(self, any_tok):
        eot = any_tok.eot_token
        assert (EOT, eot) in any_tok.special_tokens()
        assert any_tok.is_special_token(eot)
        assert not any_tok.is_special_token(0) and not any_tok.is_special_token(4294967295)

    def test_harmony_shared_id(self, harmony):
        assert [s for s, i in harmony.special_tokens() if i == 200018] == ["<|endofprompt|>", "<|reserved_200018|>"]
        assert harmony.decode_single_token_bytes(200018) == b"<|endofprompt|>"
        assert {"<|endofprompt|>", "<|reserved_200018|>"} <= harmony.special_tokens_set
        assert len(harmony.special_tokens_set) == len(harmony.special_tokens())

    def test_special_tokens_set_is_fresh(self, cl100k):
        first = cl100k.special_tokens_set
        assert first == {s for s, _ in cl100k.special_tokens()}
        first.clear()
        assert cl100k.special_tokens_set is not first and cl100k.special_tokens_set

    def test_encoding_without_specials(self, tmp_path):
        data = Path(__file__).resolve().parents[1] / "data"
        for f in ("cl100k.vocab", "uniclass.bin"):
            shutil.copy(data / f, tmp_path / f)
        tok = zelkor.Tokenizer("cl100k_base", str(tmp_path))
        assert tok.special_tokens() == [] and tok.special_tokens_set == set()
        assert tok.n_vocab == len(tok.token_byte_values()) == tok.max_token_value + 1
        with pytest.raises(KeyError) as info:
            tok.eot_token
        assert info.value.args == ("this encoding has no <|endoftext|>",)
        assert tok.encode(EOT) == tok.encode_ordinary(EOT)
