"""Tokenizers travel by encoding name: pickle, copy and worker processes."""

from __future__ import annotations

import copy
import multiprocessing
import pickle
import shutil
from pathlib import Path

import pytest

import zelkor

DATA = Path(__file__).resolve().parents[1] / "data"
TEXT = "Hello, wörld! 你好 <|endoftext|> 123  \n\tx"


def fingerprint(tok):
    return (tok.name, tok.encode(TEXT, allowed_special="all"), tok.encode_ordinary(TEXT),
            tok.n_vocab, tok.special_tokens())


@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_builtin_round_trip(any_tok, protocol):
    blob = pickle.dumps(any_tok, protocol=protocol)
    back = pickle.loads(blob)
    assert fingerprint(back) == fingerprint(any_tok)
    # Rebuilt once per process and encoding, not once per unpickling.
    assert pickle.loads(blob) is back
    # The pickle names the encoding, not the vocabulary.
    assert len(blob) < 200


def test_copies_are_equivalent(cl100k):
    for dup in (copy.copy(cl100k), copy.deepcopy(cl100k), copy.deepcopy([cl100k, cl100k])[1]):
        assert fingerprint(dup) == fingerprint(cl100k)
    pair = copy.deepcopy([cl100k, cl100k])
    assert pair[0] is pair[1]


@pytest.fixture(scope="module")
def from_files(tmp_path_factory):
    d = tmp_path_factory.mktemp("data")
    for f in DATA.iterdir():
        shutil.copy(f, d / f.name)
    return zelkor.Tokenizer("cl100k_base", str(d))


def test_datadir_tokenizer_refused(from_files, cl100k):
    assert from_files.encode(TEXT, allowed_special="all") == cl100k.encode(TEXT, allowed_special="all")
    message = "cannot pickle a zelkor.Tokenizer built from a data directory"
    with pytest.raises(TypeError, match=message):
        pickle.dumps(from_files)
    with pytest.raises(TypeError, match=message):
        pickle.dumps({"tok": [from_files]})
    with pytest.raises(TypeError, match=message):
        copy.deepcopy(from_files)
    # An explicit empty datadir is the built-in data.
    assert pickle.loads(pickle.dumps(zelkor.Tokenizer("o200k_base", ""))).name == "o200k_base"


def test_spawned_worker_process(o200k):
    ctx = multiprocessing.get_context("spawn")
    texts = ["first text", "zweiter Text ü", "<|endoftext|> third"]
    with ctx.Pool(1) as pool:
        got = pool.starmap(zelkor.Tokenizer.encode_ordinary, [(o200k, t) for t in texts])
        counts = pool.apply(zelkor.Tokenizer.count_batch, (o200k, texts))
    assert got == [o200k.encode_ordinary(t) for t in texts]
    assert counts == o200k.count_batch(texts)
