"""Encoding, counting, offsets, truncation and the batch methods."""

from __future__ import annotations

import random

import pytest

EOT = "<|endoftext|>"
EOP = "<|endofprompt|>"
RARE = "\U0002a6d6"  # a rare character that byte-level BPE spreads over several tokens


def disallowed_message(q: str) -> str:
    return (
        f"Encountered text corresponding to disallowed special token {q}.\n"
        "If you want this text to be encoded as a special token, pass it to `allowed_special`, "
        f"e.g. `allowed_special={{{q}, ...}}`.\n"
        "If you want this text to be encoded as normal text, disable the check for this token by "
        "passing `disallowed_special=()`, or use `encode_ordinary`."
    )


def reported(tok, text, **policy):
    """The message encode raises for text, or None."""
    try:
        tok.encode(text, **policy)
    except ValueError as e:
        return str(e)
    return None


class TestSpecialPolicy:
    def test_defaults_allowed_and_disabled(self, any_tok):
        text = f"hi {EOT} there"
        assert reported(any_tok, text) == disallowed_message(f'"{EOT}"')
        ids = any_tok.encode(text, allowed_special="all")
        assert ids == any_tok.encode_ordinary("hi ") + [any_tok.eot_token] + any_tok.encode_ordinary(" there")
        assert any_tok.encode_with_special(text) == ids
        assert any_tok.encode(text, disallowed_special=()) == any_tok.encode_ordinary(text)

    def test_which_string_is_reported(self, cl100k, harmony):
        # "<|endofprompt|>" < "<|endoftext|>" byte-wise, whatever the text order.
        for tok in (cl100k, harmony):
            assert reported(tok, f"{EOT} then {EOP}") == disallowed_message(f'"{EOP}"')
            assert reported(tok, f"{EOT} then {EOP}", allowed_special={EOP}) == disallowed_message(f'"{EOT}"')
        # Allowing a string that is no special token allows nothing.
        assert reported(cl100k, EOT, allowed_special={"abc"}) is not None
        assert cl100k.encode("abc", allowed_special={"abc"}) == cl100k.encode_ordinary("abc")

    def test_reported_string_matches_a_plain_search(self, harmony):
        # Texts dense in near-misses: fragments of special strings glued together.
        rng = random.Random(5)
        specials = sorted(harmony.special_tokens_set)
        fragments = ["<|", "|>", "<", "|", "end", "of", "text", "prompt", "reserved_", "2000", "18", "1"]
        fragments += rng.sample(specials, 20)
        for _ in range(300):
            text = "".join(rng.choice(fragments) for _ in range(rng.randint(1, 12)))
            allowed = set(rng.sample(specials, 3)) | {s for s in specials if s in text and rng.random() < 0.3}
            present = [s for s in specials if s in text and s not in allowed]
            want = disallowed_message(f'"{present[0]}"') if present else None
            assert reported(harmony, text, allowed_special=allowed) == want, text

    def test_caller_strings(self, cl100k):
        assert reported(cl100k, "say hello", disallowed_special={"hello", "zzz"}) == disallowed_message('"hello"')
        assert reported(cl100k, "say hello", disallowed_special={""}) is None
        # In both sets: allowed wins. "all" allows the specials, not the caller's strings.
        assert reported(cl100k, "hello", allowed_special={"hello"}, disallowed_special={"hello"}) is None
        assert reported(cl100k, "hello", allowed_special="all", disallowed_special={"hello"}) is not None

    def test_debug_quoting(self, cl100k):
        cases = {
            'a"b': r'"a\"b"',
            "a\\b": r'"a\\b"',
            "x\n\r\t\0y": r'"x\n\r\t\0y"',
            "it's café 世": "\"it's café 世\"",
            "\x07\u200b\u00a0\ue000": r'"\u{7}\u{200b}\u{a0}\u{e000}"',
            "e\u0301": r'"e\u{301}"',
            # Grapheme extenders outside the combining marks (Mc, Lm), an
            # enclosing mark, both ends of a 240-long run of them; the
            # characters around them and a spacing mark that extends nothing
            # stay as they are.
            "\u09be\u0b57\u302e\U0001d165\uff9e\u20dd": r'"\u{9be}\u{b57}\u{302e}\u{1d165}\u{ff9e}\u{20dd}"',
            "\u02ff\u0300\u036f\u0370": "\"\u02ff" + r"\u{300}\u{36f}" + "\u0370\"",
            "\U000e0100\U000e01ef\u0903": r'"\u{e0100}\u{e01ef}' + "\u0903\"",
        }
        for s, q in cases.items():
            assert reported(cl100k, f"<{s}>", disallowed_special={s}) == disallowed_message(q)

    def test_allowed_scan_at_edges(self, harmony):
        eot, eop = harmony.eot_token, harmony.encode_single_token(EOP)
        assert harmony.encode(EOT + EOP, allowed_special="all") == [eot, eop]
        assert harmony.encode(f"x{EOT}", allowed_special="all") == harmony.encode_ordinary("x") + [eot]
        # Stretches are encoded separately: no pre-token runs across a special.
        assert harmony.encode(f"ab{EOT}cd", allowed_special={EOT}) == (
            harmony.encode_ordinary("ab") + [eot] + harmony.encode_ordinary("cd")
        )

    def test_empty_text(self, any_tok):
        assert any_tok.encode("") == any_tok.encode("", allowed_special="all") == []
        assert (any_tok.count(""), any_tok.encode_to_buffer("")) == (0, b"")
        assert any_tok.encode_with_offsets("") == ([], [])


def test_ordinary_forms_agree(any_tok, corpus_texts):
    texts = ["hello world", "  spaces\n\nand lines", "naïve café, 世界 🌍", f"x{EOT}y"]
    texts += [t[:100_000] for t in corpus_texts.values()]
    for text in texts:
        ids = any_tok.encode_ordinary(text)
        assert any_tok.decode(ids) == text
        assert any_tok.count(text) == len(ids)
        assert any_tok.encode_bytes(text.encode()) == ids
    data = b"\xff\xfe ok \xe4\xbd"  # raw bytes need not be UTF-8
    assert any_tok.decode_bytes(any_tok.encode_bytes(data)) == data


def test_single_tokens(any_tok):
    [hello] = any_tok.encode_ordinary("hello")
    assert any_tok.encode_single_token("hello") == any_tok.encode_single_token(b"hello") == hello
    assert any_tok.decode_single_token_bytes(any_tok.encode_single_token(b"\xff")) == b"\xff"
    assert any_tok.encode_single_token(EOT) == any_tok.encode_single_token(EOT.encode()) == any_tok.eot_token
    for piece in ("hello world", b"", ""):
        with pytest.raises(KeyError) as info:
            any_tok.encode_single_token(piece)
        assert info.value.args == ("bytes are not a single token in this encoding",)
    with pytest.raises(TypeError) as info:
        any_tok.encode_single_token(bytearray(b"a"))
    assert not getattr(info.value, "__notes__", None)


class TestOffsets:
    def test_byte_spans_tile_the_input(self, any_tok):
        text = "héllo wörld — 世界!\n"
        ids, spans = any_tok.encode_with_offsets(text)
        raw = text.encode()
        assert ids == any_tok.encode_ordinary(text)
        assert spans[0][0] == 0 and spans[-1][1] == len(raw)
        assert all(a[1] == b[0] for a, b in zip(spans, spans[1:]))
        assert [raw[s:e] for s, e in spans] == [any_tok.decode_single_token_bytes(i) for i in ids]
        assert any_tok.encode_with_offsets(text, "byte") == (ids, spans)

    def test_char_spans(self, any_tok):
        assert any_tok.encode_with_offsets("héllo", unit="char")[1][-1][1] == 5
        text = f"x {RARE} y"
        raw = text.encode()
        ids, bspans = any_tok.encode_with_offsets(text)
        _, cspans = any_tok.encode_with_offsets(text, unit="char")
        assert len(ids) > 3

        def chars_begun(j):
            return sum(1 for b in raw[:j] if b & 0xC0 != 0x80)

        assert cspans == [(chars_begun(s), chars_begun(e)) for s, e in bspans]
        # tokens holding only the rest of a split character get empty spans
        assert any(cs == ce and bs < be for (bs, be), (cs, ce) in zip(bspans, cspans))
        for unit in ("BYTE", "chars", ""):
            with pytest.raises(ValueError) as info:
                any_tok.encode_with_offsets("a", unit=unit)
            assert str(info.value) == "unit must be 'byte' or 'char'"


class TestTruncate:
    def test_budgets(self, cl100k):
        text = "hello world"
        assert (cl100k.truncate(text, 1), cl100k.truncate(text, 0)) == (("hello", 2), ("", 2))
        for budget in (2, 3, 10**6):
            kept, total = cl100k.truncate(text, budget)
            assert kept is text and total == 2
        assert cl100k.truncate("", 0) == ("", 0)
        assert cl100k.truncate(f"a {EOT} b", 10**9)[1] == cl100k.count(f"a {EOT} b")

    def test_cut_stops_before_a_split_character(self, any_tok):
        text = f"你好世界 and {RARE}{RARE} more"
        ids = any_tok.encode_ordinary(text)
        raw = text.encode()
        for budget in range(len(ids)):
            end = len(any_tok.decode_bytes(ids[:budget]))
            while end > 0 and raw[end] & 0xC0 == 0x80:
                end -= 1
            assert any_tok.truncate(text, budget) == (raw[:end].decode(), len(ids))


class TestBatches:
    TEXTS = ["hello world", "", f"x {EOT} y", "naïve café 世界", "a" * 1000]

    @staticmethod
    def split(ids: bytes, offsets: bytes) -> list[list[int]]:
        flat = [int.from_bytes(ids[i : i + 4], "little") for i in range(0, len(ids), 4)]
        offs = [int.from_bytes(offsets[i : i + 8], "little", signed=True) for i in range(0, len(offsets), 8)]
        return [flat[offs[i] : offs[i + 1]] for i in range(len(offs) - 1)]

    @pytest.mark.parametrize("threads", [0, 1, 2, 7])
    def test_batches_equal_single_calls(self, any_tok, threads):
        texts = self.TEXTS
        assert self.split(*any_tok.encode_batch(texts, threads)) == [any_tok.encode_ordinary(t) for t in texts]
        assert self.split(*any_tok.encode_batch(texts, threads=threads, with_special=True)) == [
            any_tok.encode_with_special(t) for t in texts
        ]
        assert any_tok.count_batch(texts, threads) == [any_tok.count(t) for t in texts]
        assert any_tok.count_batch(texts, threads, True) == [len(any_tok.encode_with_special(t)) for t in texts]
        got = any_tok.truncate_batch(texts, 3, threads)
        assert got == [any_tok.truncate(t, 3) for t in texts]
        assert all(kept is not t for (kept, _), t in zip(got, texts) if t)

    def test_empty_and_odd_batches(self, cl100k):
        assert cl100k.encode_batch([]) == (b"", b"\0" * 8)
        assert cl100k.count_batch([]) == cl100k.truncate_batch([], 5) == []
        assert cl100k.count_batch(("a b", "c")) == [2, 1]
        with pytest.raises(TypeError):
            cl100k.count_batch({"a b", "c"})

    def test_corpus_lines(self, o200k, corpus_texts):
        lines = [line for text in corpus_texts.values() for line in text.splitlines()[:500]]
        assert o200k.count_batch(lines, threads=2) == [o200k.count(t) for t in lines]


def test_id_lists_hold_their_own_references():
    # Lists of ids share one int per id and tokenizer: every list must own
    # its references, whatever happens to the tokenizer and other lists.
    import gc
    import sys

    import zelkor

    def fresh(buffer):
        return list(memoryview(buffer).cast("I"))

    tok = zelkor.Tokenizer("cl100k_base")
    plain = "hello world, " * 50
    special = plain + EOT
    expected = {
        "plain": fresh(tok.encode_to_buffer(plain)),
        "special": fresh(tok.encode_to_buffer(special, allowed_special="all")),
    }
    lists = {
        "plain": [
            tok.encode(plain),
            tok.encode_ordinary(plain),
            tok.encode_bytes(plain.encode()),
            tok.encode_with_offsets(plain)[0],
        ],
        "special": [tok.encode(special, allowed_special="all"), tok.encode_with_special(special)],
    }
    probe = lists["plain"][0][0]
    before = sys.getrefcount(probe)
    for _ in range(50):
        tok.encode(special, allowed_special="all")
        tok.encode_ordinary(plain)
    assert sys.getrefcount(probe) == before  # nothing leaked, nothing over-released

    del tok
    gc.collect()
    for kind, made in lists.items():
        for ids in made:
            assert ids == expected[kind]
