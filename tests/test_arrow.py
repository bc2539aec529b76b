"""zelkor.arrow: Arrow string columns through the batch engine, zero copy."""

from __future__ import annotations

import gc
import struct
import subprocess
import sys

import pytest

pa = pytest.importorskip("pyarrow")

import zelkor  # noqa: E402
import zelkor.arrow as za  # noqa: E402
from zelkor import _bulk  # noqa: E402

from arrow_c_producer import Stream, StringArray  # noqa: E402

TEXTS = ["hello world", None, "", "héllo wörld", "日本語のテキスト", None, "  \n\n\t x",
         "a <|endoftext|> b", "<|endofprompt|><|endoftext|>", "x" * 40, "🙂" * 5, ""]
LAYOUTS = [pa.string(), pa.large_string()] + ([pa.string_view()] if hasattr(pa, "string_view") else [])


def lists_of(tok, texts, with_special=False):
    """What encode_batch gives, as lists, None where the text is None."""
    ids, offsets = tok.encode_batch([t or "" for t in texts], with_special=with_special)
    ids = struct.unpack(f"<{len(ids) // 4}I", ids)
    offsets = struct.unpack(f"<{len(offsets) // 8}q", offsets)
    return [None if t is None else list(ids[offsets[i]:offsets[i + 1]]) for i, t in enumerate(texts)]


def counts_of(tok, texts, with_special=False):
    counts = tok.count_batch([t or "" for t in texts], with_special=with_special)
    return [None if t is None else c for t, c in zip(texts, counts)]


def raw_strings(texts: list[bytes]):
    """A string array over arbitrary bytes (pyarrow validates UTF-8 otherwise)."""
    offsets = [0]
    for t in texts:
        offsets.append(offsets[-1] + len(t))
    return pa.Array.from_buffers(pa.string(), len(texts), [
        None, pa.py_buffer(struct.pack(f"<{len(offsets)}i", *offsets)), pa.py_buffer(b"".join(texts))])


@pytest.mark.parametrize("layout", LAYOUTS, ids=str)
@pytest.mark.parametrize("with_special", [False, True])
def test_equal_to_batch_methods(any_tok, layout, with_special):
    array = pa.array(TEXTS, type=layout)
    expected = lists_of(any_tok, TEXTS, with_special)
    for threads in (1, 2, 0):
        got = za.encode(any_tok, array, threads=threads, with_special=with_special)
        assert got.type == pa.large_list(pa.uint32())
        assert got.to_pylist() == expected
        counts = za.count(any_tok, array, threads=threads, with_special=with_special)
        assert counts.type == pa.int64()
        assert counts.to_pylist() == counts_of(any_tok, TEXTS, with_special)
    assert got.null_count == 2 and counts.null_count == 2
    # Slices: the array offset and a validity bitmap that starts mid-byte.
    for start in (1, 3, 9):
        part = array.slice(start, len(TEXTS) - start - 1)
        assert za.encode(any_tok, part, with_special=with_special).to_pylist() == expected[start:-1]
        assert za.count(any_tok, part).to_pylist() == counts_of(any_tok, TEXTS[start:-1])


def test_empty_and_all_null(cl100k):
    for texts in ([], [None, None], [""]):
        array = pa.array(texts, type=pa.string())
        assert za.encode(cl100k, array).to_pylist() == [None if t is None else [] for t in texts]
        assert za.count(cl100k, array).to_pylist() == [None if t is None else 0 for t in texts]


def test_chunked_arrays_and_streams(o200k):
    chunks = [TEXTS[:4], [], TEXTS[4:]]
    chunked = pa.chunked_array(chunks, type=pa.large_string())
    got = za.encode(o200k, chunked, threads=2)
    assert isinstance(got, pa.ChunkedArray) and got.type == pa.large_list(pa.uint32())
    assert [len(c) for c in got.chunks] == [4, 0, len(TEXTS) - 4]
    assert got.to_pylist() == lists_of(o200k, TEXTS)
    assert za.count(o200k, chunked).to_pylist() == counts_of(o200k, TEXTS)
    assert za.count(o200k, pa.chunked_array([], type=pa.string())).type == pa.int64()

    class Stream:  # any producer of the stream interface, not only pyarrow
        def __arrow_c_stream__(self, requested_schema=None):
            return chunked.__arrow_c_stream__(requested_schema)

    streamed = za.encode(o200k, Stream(), with_special=True)
    assert [len(c) for c in streamed.chunks] == [4, 0, len(TEXTS) - 4]
    assert streamed.to_pylist() == lists_of(o200k, TEXTS, with_special=True)
    assert za.count(o200k, Stream()).to_pylist() == counts_of(o200k, TEXTS)


def test_corpus_documents(any_tok, corpus_texts):
    docs = []
    for text in corpus_texts.values():
        docs += [text[i:i + 4096] for i in range(0, min(len(text), 400_000), 4096)]
    array = pa.array(docs, type=pa.large_string())
    got = za.encode(any_tok, array, threads=2)
    assert got.to_pylist() == lists_of(any_tok, docs)
    assert za.count(any_tok, array, threads=2).to_pylist() == any_tok.count_batch(docs, threads=2)


def test_bytes_taken_as_they_are(cl100k):
    texts = [b"\xffab\xfe", b"caf\xc3", b"<|endoftext|>\x80", b"ok"]
    array = raw_strings(texts)
    expected = [cl100k.encode_bytes(t) for t in texts]
    assert za.encode(cl100k, array).to_pylist() == expected
    # Invalid UTF-8 is encoded as ordinary text even with specials on, as
    # encode_batch does; valid texts still get their special ids.
    with_special = za.encode(cl100k, array, with_special=True).to_pylist()
    assert with_special[:3] == expected[:3]
    assert with_special[3] == cl100k.encode_with_special("ok")


@pytest.mark.parametrize("kind, fmt", [(pa.string(), "<i"), (pa.large_string(), "<q")])
def test_unaligned_buffers(cl100k, kind, fmt):
    # Columns rebuilt from serialised bytes may have buffers at any address.
    texts = ["one", "", "two words", "caf\u00e9", "x" * 40]
    data = "".join(texts).encode()
    ends = [0]
    for t in texts:
        ends.append(ends[-1] + len(t.encode()))
    offsets = b"".join(struct.pack(fmt, e) for e in ends)
    shifted_offsets = pa.py_buffer(b"\0" + offsets).slice(1)
    shifted_data = pa.py_buffer(b"\0" + data).slice(1)
    arr = pa.Array.from_buffers(kind, len(texts), [None, shifted_offsets, shifted_data])
    assert arr.to_pylist() == texts
    assert za.count(cl100k, arr).to_pylist() == cl100k.count_batch(texts)
    assert za.encode(cl100k, arr).to_pylist() == [cl100k.encode_ordinary(t) for t in texts]


def test_results_own_the_engine_buffers(cl100k):
    gc.collect()
    live = _bulk.live_exports()
    empty_pool = pa.total_allocated_bytes()
    array = pa.array(["some text " * 50] * 200, type=pa.string())
    pool_bytes = pa.total_allocated_bytes()
    ids = za.encode(cl100k, array)
    counts = za.count(cl100k, array)
    # Nothing was copied into pyarrow's memory pool.
    assert pa.total_allocated_bytes() == pool_bytes
    assert _bulk.live_exports() == live + 2
    values = ids.values
    del ids, counts
    gc.collect()
    assert _bulk.live_exports() == live + 1  # the values keep their buffer
    assert values.to_pylist()[:2] == cl100k.encode("some text ")[:2]
    del values
    gc.collect()
    assert _bulk.live_exports() == live
    # Results nobody imports are released with their capsules.
    capsules = _bulk.encode_array(cl100k, *array.__arrow_c_array__(), 0, False)
    assert _bulk.live_exports() == live + 1
    del capsules
    gc.collect()
    assert _bulk.live_exports() == live
    # The input taken from its capsule was released as well.
    za.encode(cl100k, pa.chunked_array([array, array]))
    del array
    gc.collect()
    assert pa.total_allocated_bytes() == empty_pool


def test_refused_inputs(cl100k):
    strings = pa.array(["a", "b"])
    with pytest.raises(TypeError, match="got format 'l'"):
        za.encode(cl100k, pa.array([1, 2]))
    with pytest.raises(TypeError, match="got format 'z'"):
        za.count(cl100k, pa.chunked_array([[b"a"]], type=pa.binary()))
    with pytest.raises(TypeError, match="dictionary-encoded"):
        za.count(cl100k, strings.dictionary_encode())
    with pytest.raises(TypeError, match="got list"):
        za.encode(cl100k, ["a", "b"])
    with pytest.raises(TypeError, match="zelkor.Tokenizer"):
        za.count("cl100k_base", pa.chunked_array([], type=pa.string()))
    with pytest.raises(TypeError, match="with_special"):
        za.count(cl100k, strings, with_special=1)
    with pytest.raises(OverflowError):
        za.count(cl100k, strings, threads=-1)
    with pytest.raises(TypeError):
        za.count(cl100k, strings, threads=1.5)
    # Offsets that run backwards are refused, not read out of bounds.
    bad = pa.Array.from_buffers(pa.string(), 2, [None, pa.py_buffer(struct.pack("<3i", 0, 5, 3)),
                                                 pa.py_buffer(b"hello")])
    with pytest.raises(ValueError, match="decreasing offsets at slot 1"):
        za.encode(cl100k, bad)
    schema, array = strings.__arrow_c_array__()
    _bulk.count_array(cl100k, schema, array, 0, False)
    with pytest.raises(ValueError, match="already been consumed"):
        _bulk.count_array(cl100k, schema, array, 0, False)


def test_without_pyarrow():
    code = ("import sys; sys.modules['pyarrow'] = None\n"
            "import zelkor, zelkor.arrow as za\n"
            "try:\n"
            "    za.count(zelkor.Tokenizer('cl100k_base'), None)\n"
            "except ImportError as e:\n"
            "    print(e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "zelkor.arrow needs pyarrow: pip install 'zelkor-rs[arrow]'"


# --- arrays from producers that lie or fail ---------------------------------

MALFORMED = "malformed Arrow string array: "
TOO_BIG = "is more than memory can hold"
IMPOSSIBLE = {  # case: (layout, fields the consumer is told, the message's detail)
    "length 2**62": ("u", {"length": 2**62}, TOO_BIG),
    "large_string length 2**62": ("U", {"length": 2**62}, TOO_BIG),
    "string_view length 2**62": ("vu", {"length": 2**62}, TOO_BIG),
    "length int64 max": ("u", {"length": 2**63 - 1}, TOO_BIG),
    "length 2**60": ("u", {"length": 2**60}, TOO_BIG),  # offsets fit, a slice per slot does not
    "offset int64 max": ("U", {"offset": 2**63 - 1}, TOO_BIG),
    "offset + length overflow": ("u", {"offset": 2**62, "length": 2**62}, TOO_BIG),
    "null count -2": ("u", {"null_count": -2}, "null count -2 for length 3"),
    "null count above length": ("U", {"null_count": 4}, "null count 4 for length 3"),
    "buffer count 2**62": ("u", {"n_buffers": 2**62}, "too many buffers"),
    "buffer count 2": ("u", {"n_buffers": 2}, "expected 3 buffers"),
    "negative length": ("u", {"length": -1}, "negative length or offset"),
}


@pytest.mark.parametrize("case", list(IMPOSSIBLE))
def test_impossible_sizes_are_refused_before_any_read(cl100k, case):
    # The buffers hold three texts; the fields describe buffers no real array
    # could have. Nothing may be read on their word: a clear ValueError, and
    # the producer's array released once.
    layout, fields, detail = IMPOSSIBLE[case]
    fmt = "U" if layout == "U" else "u"
    for run in (za.count, za.encode):
        array = StringArray([b"one", b"two", b"three"], fmt, schema_format=layout, **fields)
        with pytest.raises(ValueError, match="^" + MALFORMED + ".*" + detail):
            run(cl100k, array)
        assert array.released == {"array": 1}
    assert za.count(cl100k, StringArray([b"one", b"two", b"three"], fmt)).to_pylist() == [1, 1, 1]


def test_refusal_releases_a_python_producer_with_no_error_pending(cl100k):
    # A producer whose release callbacks are Python code: they must run
    # while no exception is set, and the refusal must still arrive.
    def backwards():
        return StringArray([b"ab", b"c"], offsets=[0, 5, 3])

    bad = backwards()
    with pytest.raises(ValueError, match="decreasing offsets at slot 1"):
        za.encode(cl100k, bad)
    assert bad.released == {"array": 1}

    good, bad = StringArray([b"x y"]), backwards()
    stream = Stream([good, bad])
    with pytest.raises(ValueError, match="decreasing offsets at slot 1"):
        za.count(cl100k, stream)
    assert stream.released == {"stream": 1}
    assert good.released == {"schema": 1, "array": 1} and bad.released == {"array": 1}

    good = StringArray([b"x y", b""])
    assert za.encode(cl100k, Stream([good])).to_pylist() == [[87, 379], []]
    assert good.released == {"schema": 1, "array": 1}


def test_with_special_takes_numpy_bools_only(cl100k):
    np = pytest.importorskip("numpy")
    array = pa.array(["<|endoftext|>"])
    assert za.count(cl100k, array, with_special=np.bool_(True)).to_pylist() == [1]
    assert za.count(cl100k, array, with_special=np.bool_(False)).to_pylist() == [7]

    class LookAlike:
        def __bool__(self):
            return True

    LookAlike.__module__, LookAlike.__name__ = "numpy", "bool_"
    with pytest.raises(TypeError, match="with_special must be True or False"):
        za.count(cl100k, array, with_special=LookAlike())
