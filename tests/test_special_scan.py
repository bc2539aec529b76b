"""The allowed-special scan against the obvious one, on o200k_harmony's 1091 specials
(which all share the prefix "<|", and one of whose ids has two strings)."""

from __future__ import annotations

import random

import pytest

import zelkor

FRAGMENTS = ["<|", "reserved_", "2000", "18", "|>", "<|endoftext|>", "<|endofprompt|>",
             "<|reserved_200018|>", "a", " ", "<|start|>", "<|end", "|>x", "<|<|"]


def obvious_scan(tok, text, candidates):
    out, pos = [], 0
    while pos < len(text):
        best = None
        for s, i in candidates:  # earliest start; table order breaks ties
            q = text.find(s, pos)
            if q >= 0 and (best is None or q < best[0]):
                best = (q, s, i)
        if best is None:
            return out + tok.encode_ordinary(text[pos:])
        out += tok.encode_ordinary(text[pos : best[0]]) + [best[2]]
        pos = best[0] + len(best[1])
    return out


@pytest.fixture(scope="module")
def harmony():
    return zelkor.Tokenizer("o200k_harmony")


def test_allowed_subsets_match_the_obvious_scan(harmony):
    table = harmony.special_tokens()
    strings = [s for s, _ in table]
    rng = random.Random(1)
    for round_ in range(300):
        text = "".join(rng.choice(FRAGMENTS) for _ in range(rng.randrange(12)))
        if round_ % 3 == 0:
            allowed = "all"
            candidates = table
        else:
            allowed = set(rng.sample(strings, 40)) | {"<|reserved_200018|>", "<|end"}
            candidates = [(s, i) for s, i in table if s in allowed]
        assert harmony.encode(text, allowed_special=allowed, disallowed_special=()) == \
            obvious_scan(harmony, text, candidates), (text, round_)
    text = "x<|endofprompt|><|reserved_200018|>"
    assert harmony.encode_with_special(text) == obvious_scan(harmony, text, table)


def test_dense_prefix_text_is_linear(harmony):
    # Every position starts "<|", a prefix of all 1091 strings, and none matches.
    text = "<|" * 100_000
    assert harmony.encode_with_special(text) == harmony.encode_ordinary(text)
    assert harmony.encode_with_special(text + "<|end|>")[-1] == 200007
