"""What the module and the class look like from Python: attributes, tables,
signatures, docstrings, calling conventions and construction."""

from __future__ import annotations

import gc
import inspect
import shutil
import weakref
from pathlib import Path

import pytest

import zelkor
from zelkor import _zelkor
from zelkor._zelkor import Tokenizer

DATA_DIR = Path(__file__).resolve().parents[1] / "data"

POLICY = "($self, text, allowed_special=None, disallowed_special=None)"
BATCH = "($self, texts, threads=0, with_special=False)"
# (name, stored signature line, docstring body; None = freely worded) in table order.
METHODS = [
    ("encode", POLICY, None),
    ("encode_ordinary", "($self, text)", None),
    ("encode_bytes", "($self, data)", "Encode raw bytes (no UTF-8 validation)."),
    ("encode_with_special", "($self, text)", "Every special-token string is turned into its id."),
    ("encode_to_buffer", POLICY, "Same as `encode`, but returns the ids as a little-endian uint32 buffer —\n"
     "the Python wrapper turns it into a numpy array with no per-token Python\n"
     "int objects (the cost that otherwise dominates big inputs)."),
    ("encode_to_numpy", POLICY, "Same as `encode`, but returns a numpy `uint32` array — the fastest path\n"
     "from Python: no per-token Python int objects, just one buffer."),
    ("encode_batch_to_numpy", BATCH, "Encode many texts in parallel into numpy arrays: `(ids, offsets)`, where\n"
     "text `i` occupies `ids[offsets[i]:offsets[i + 1]]`."),
    ("encode_with_offsets", '($self, text, unit="byte")', None),
    ("encode_single_token", "($self, piece)", "Exact bytes/str of a SINGLE token -> its id."),
    ("truncate", "($self, text, max_tokens)", "Truncate to at most `max_tokens` tokens. Returns `(text, total_tokens)`,\n"
     "where `total_tokens` counts the whole input whether or not it was cut."),
    ("truncate_batch", "($self, texts, max_tokens, threads=0)", "`truncate` over many texts, in parallel."),
    ("count", "($self, text)", ""),
    ("encode_batch", BATCH, "Encode many texts in parallel. Returns (flat uint32 id buffer, per-text\n"
     "int64 offsets buffer with `len(texts)+1` entries)."),
    ("count_batch", BATCH, "Token counts for many texts, in parallel — no ids are materialized, so a\n"
     "counting workload allocates O(threads) instead of O(total tokens)."),
    ("decode", '($self, ids, errors="replace")', ""),
    ("decode_bytes", "($self, ids)", ""),
    ("decode_single_token_bytes", "($self, id)", ""),
    ("decode_batch", '($self, batch, errors="replace")', ""),
    ("token_byte_values", "($self)", "All base-vocab token byte strings, indexed by id."),
    ("is_special_token", "($self, id)", ""),
    ("special_tokens", "($self)", None),
]
PROPERTIES = ["name", "memory_bytes", "n_vocab", "max_token_value", "eot_token", "special_tokens_set"]


def test_module_attributes():
    public = sorted(k for k in vars(_zelkor) if not k.startswith("__") or k == "__version__")
    assert public == ["BUILTIN_ENCODINGS", "Tokenizer", "__version__"]
    assert _zelkor.__version__ == "0.1.4" and _zelkor.__doc__ == ""
    assert type(_zelkor.BUILTIN_ENCODINGS) is list
    assert _zelkor.BUILTIN_ENCODINGS == ["cl100k_base", "o200k_base", "o200k_harmony"]
    assert zelkor.Tokenizer is Tokenizer


def test_class_shape():
    assert Tokenizer.__module__ == "zelkor._zelkor"
    assert Tokenizer.__name__ == Tokenizer.__qualname__ == "Tokenizer"
    assert Tokenizer.__bases__ == (object,)
    assert Tokenizer.__text_signature__ == '(encoding, datadir="")'
    assert str(inspect.signature(Tokenizer)) == "(encoding, datadir='')"
    assert not Tokenizer.__doc__
    names = [k for k in vars(Tokenizer) if not k.startswith("__")]
    assert names == [m[0] for m in METHODS] + PROPERTIES
    assert Tokenizer.memory_bytes.__doc__ == "Exact heap footprint of the loaded encoding, in bytes."
    assert [getattr(Tokenizer, p).__doc__ for p in PROPERTIES[2:]] == [None] * 4


@pytest.mark.parametrize("name,signature,body", METHODS, ids=[m[0] for m in METHODS])
def test_stored_signatures_and_docstrings(name, signature, body):
    method = getattr(Tokenizer, name)
    assert method.__text_signature__ == signature
    if body is None:  # freely worded, but present
        assert method.__doc__
    else:
        assert method.__doc__ == (body or None)  # an empty body reads as None
    params = list(inspect.signature(method).parameters.values())[1:]
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)


def test_objects_are_frozen_and_final(cl100k):
    assert repr(cl100k) == "<zelkor.Tokenizer 'cl100k_base'>"
    for attempt in (lambda: setattr(cl100k, "name", "x"), lambda: delattr(cl100k, "n_vocab"),
                    lambda: setattr(cl100k, "anything", 1)):
        with pytest.raises(AttributeError):
            attempt()
    with pytest.raises(TypeError):
        weakref.ref(cl100k)
    with pytest.raises(TypeError):
        type("T", (Tokenizer,), {})
    # The class object itself stays an ordinary, assignable heap type.
    Tokenizer.some_marker = 1
    try:
        assert cl100k.some_marker == 1
    finally:
        del Tokenizer.some_marker
    assert gc.is_tracked(cl100k) and gc.get_referents(cl100k) == [Tokenizer]


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda t: t.encode(), "Tokenizer.encode() missing 1 required positional argument: 'text'"),
        (lambda t: t.truncate(), "Tokenizer.truncate() missing 2 required positional arguments: 'text' and 'max_tokens'"),
        (lambda t: t.encode("a", None, None, None), "Tokenizer.encode() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda t: t.count("a", "b"), "Tokenizer.count() takes 1 positional argument but 2 were given"),
        (lambda t: t.count("a", txt="b"), "Tokenizer.count() got an unexpected keyword argument 'txt'"),
        (lambda t: t.count("a", text="b"), "Tokenizer.count() got multiple values for argument 'text'"),
        (lambda t: t.token_byte_values(1), "Tokenizer.token_byte_values() takes no arguments (1 given)"),
        (lambda t: Tokenizer(datadir=""), "Tokenizer.__new__() missing 1 required positional argument: 'encoding'"),
    ],
)
def test_call_errors(cl100k, call, message):
    with pytest.raises(TypeError) as info:
        call(cl100k)
    assert str(info.value) == message


def test_keywords_and_positionals_are_the_same(cl100k):
    assert cl100k.encode(text="a") == cl100k.encode("a")
    assert cl100k.truncate(max_tokens=1, text="a b") == cl100k.truncate("a b", 1)
    assert Tokenizer(encoding="o200k_base", datadir="").name == "o200k_base"


class TestConstruction:
    @pytest.mark.parametrize("name", ["gpt2", "CL100K_BASE", "cl100k_base ", ""])
    def test_unknown_encoding(self, name):
        with pytest.raises(RuntimeError) as info:
            Tokenizer(name)
        assert str(info.value) == f"zelkor: unknown encoding: {name} (built-in: cl100k_base, o200k_base, o200k_harmony)"

    def test_arguments_must_be_str(self):
        for args in ((b"cl100k_base",), ("cl100k_base", None)):
            with pytest.raises(TypeError):
                Tokenizer(*args)

    def test_data_directory(self, tmp_path, cl100k):
        for f in ("cl100k.vocab", "uniclass.bin", "cl100k.special"):
            shutil.copy(DATA_DIR / f, tmp_path / f)
        text = "hello <|endoftext|>"
        from_dir = Tokenizer("cl100k_base", str(tmp_path) + "/")
        assert from_dir.encode(text, allowed_special="all") == cl100k.encode(text, allowed_special="all")
        missing = tmp_path / "nowhere"
        with pytest.raises(RuntimeError, match=f"cannot open vocab file {missing}/cl100k.vocab"):
            Tokenizer("cl100k_base", str(missing))
