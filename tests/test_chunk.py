"""zelkor.chunk and its batch, command-line and Arrow forms: cases chosen to
break them, bad arguments, and the forms agreeing with one another."""

from __future__ import annotations

import builtins
import json

import pytest

import zelkor
from zelkor import cli

from chunk_reference import reference_chunks
from zelkor.chunking import BOUNDARIES

# Texts where a piece of the text, encoded alone, can need more tokens than
# the text's own tokens over it: contractions, digit runs, whitespace runs,
# marks and characters of several tokens.
TRICKY = [
    "\x1cDON'TFox\r\n quick\u0645\u0631\u062d\u0628\u0627.  \u0628\u0627\u0644\u0639\u0627\u0644\u0645",
    "I DON'T KNOW. YOU'LL SEE, WE'RE HERE'S THE DEAL'S OFF. " * 3,
    "1234567890 12345.678 9999999 " * 4,
    "hello    world\n\n\n   next  \t line\r\n\r\nend " * 3,
    "こんにちは世界。你好！Привет мир 🎉👍🏽🇩🇪 e\u0301 " * 3,
]


@pytest.mark.parametrize("name", ["cl100k_base", "o200k_base"])
def test_every_budget_on_tricky_texts(name):
    tok = zelkor.Tokenizer(name)
    for text in TRICKY:
        for m in range(1, 17):
            for k in sorted({0, m // 2, m - 1}):
                for boundary in BOUNDARIES:
                    spans = [tuple(map(int, s)) for s in
                             zelkor.chunk_spans(tok, text, m, overlap=k, boundary=boundary)]
                    for a, b in spans:
                        assert len(tok.encode_ordinary(text[a:b])) <= m or b - a == 1, (text, m, k, boundary)
                    if m in (1, 2, 5, 13):
                        assert spans == reference_chunks(tok, text, m, k, boundary)


def test_a_character_over_the_budget_is_a_chunk_by_itself(cl100k):
    # The flag takes more than one token of its own.
    assert cl100k.count("🇩🇪") > 1
    assert zelkor.chunk(cl100k, "a🇩🇪b", 1) == ["a", "🇩", "🇪", "b"]


def test_boundaries_are_taken_only_in_the_second_half(cl100k):
    text = "One. Two three four five six seven eight nine ten eleven twelve."
    # A sentence end early in the budget is passed over for the budget's end ...
    first = zelkor.chunk(cl100k, text, 10, boundary="sentence")[0]
    assert first == zelkor.chunk(cl100k, text, 10)[0]
    # ... and taken when it lies in the second half.
    text = "One two three four five six. Seven eight nine ten eleven twelve."
    assert zelkor.chunk(cl100k, text, 10, boundary="sentence")[0] == "One two three four five six. "
    lines = "first line here\nsecond line is here\nthird\n"
    # The budget of 8 ends after "here", and the line break lies in the first half.
    assert zelkor.chunk(cl100k, lines, 8, boundary="line")[0] == "first line here\nsecond line is here"
    assert zelkor.chunk(cl100k, lines, 7, boundary="line")[0] == "first line here\n"
    assert zelkor.chunk(cl100k, "alpha beta gamma delta", 3, boundary="whitespace") == [
        "alpha beta ", "gamma delta"]


@pytest.mark.parametrize("kwargs, message", [
    ({"max_tokens": 0}, "max_tokens must be at least 1, got 0"),
    ({"max_tokens": 4, "overlap": 4}, r"overlap must be at least 0 and less than max_tokens \(4\), got 4"),
    ({"max_tokens": 4, "overlap": -1}, "overlap must be at least 0"),
    ({"max_tokens": 4, "boundary": "word"}, "boundary must be one of 'token', 'whitespace', 'line', 'sentence', got 'word'"),
])
def test_bad_arguments(cl100k, kwargs, message):
    max_tokens = kwargs.pop("max_tokens")
    for call in (lambda: zelkor.chunk(cl100k, "text", max_tokens, **kwargs),
                 lambda: zelkor.chunk_spans(cl100k, "text", max_tokens, **kwargs),
                 lambda: zelkor.chunk_batch(cl100k, ["text"], max_tokens, **kwargs)):
        with pytest.raises(ValueError, match=message):
            call()


def test_bad_types(cl100k):
    with pytest.raises(TypeError, match="text must be a str"):
        zelkor.chunk(cl100k, b"bytes", 4)
    with pytest.raises(TypeError, match="texts must be a sequence of str"):
        zelkor.chunk_batch(cl100k, "one text", 4)
    with pytest.raises(TypeError, match=r"texts\[1\] must be a str"):
        zelkor.chunk_batch(cl100k, ["a", None], 4)
    with pytest.raises(TypeError, match="expected a zelkor.Tokenizer"):
        zelkor.chunk("cl100k_base", "text", 4)
    with pytest.raises(TypeError):
        zelkor.chunk(cl100k, "text", 4.0)
    with pytest.raises(OverflowError):
        zelkor.chunk_batch(cl100k, ["text"], 4, threads=-1)


def test_strings_of_every_kind_of_text(o200k):
    # ASCII, mostly ASCII with a character beyond the BMP (four bytes per
    # code point inside the str), and text that is mostly not ASCII: each
    # alone and all in one batch, where they meet in one call.
    texts = ["plain words, " * 40, "naïve café 🎉 " + "more words here. " * 30,
             "こんにちは世界。你好！Привет мир " * 12]
    for text in texts:
        spans = [tuple(map(int, s)) for s in zelkor.chunk_spans(o200k, text, 7, overlap=2)]
        assert zelkor.chunk(o200k, text, 7, overlap=2) == [text[a:b] for a, b in spans]
        (whole,) = zelkor.chunk(o200k, text, 10**6)
        assert whole is text
    batch = zelkor.chunk_batch(o200k, texts, 7, overlap=2, threads=2)
    assert batch == [zelkor.chunk(o200k, t, 7, overlap=2) for t in texts]
    assert zelkor.chunk_batch(o200k, texts[:2], 7) == [zelkor.chunk(o200k, t, 7) for t in texts[:2]]


def test_huge_budget_and_empty_text(o200k):
    text = "a few words " * 100
    assert zelkor.chunk(o200k, text, 2**62) == [text]
    assert zelkor.chunk(o200k, "", 3) == []
    assert zelkor.chunk_batch(o200k, [], 3) == []


def test_spans_without_numpy(monkeypatch, o200k):
    real_import = builtins.__import__

    def no_numpy(name, *args, **kwargs):
        if name == "numpy":
            raise ImportError(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", no_numpy)
    assert zelkor.chunk_spans(o200k, "héllo wörld, héllo wörld", 3) == [(0, 7), (7, 12), (12, 20), (20, 24)]


def test_spans_are_numpy_when_there_is_numpy(o200k):
    np = pytest.importorskip("numpy")
    spans = zelkor.chunk_spans(o200k, "héllo wörld, héllo wörld", 3)
    assert spans.dtype == np.int64 and spans.shape == (4, 2)


def test_cli_json_lines(tmp_path, capsys, cl100k):
    a = tmp_path / "a.txt"
    b = tmp_path / "b.txt"
    a.write_text("Grüße aus Köln. Noch ein Satz hier.\nZweite Zeile.\n", encoding="utf-8")
    b.write_text("", encoding="utf-8")
    code = cli.main(["chunk", "-e", "cl100k_base", "--max-tokens", "6", "--overlap", "2",
                     "--boundary", "sentence", str(a), str(b)])
    out, err = capsys.readouterr()
    assert code == 0 and err == ""
    rows = [json.loads(line) for line in out.splitlines()]
    text = a.read_text(encoding="utf-8")
    spans = [tuple(map(int, s)) for s in
             zelkor.chunk_spans(cl100k, text, 6, overlap=2, boundary="sentence")]
    assert [(r["start"], r["end"]) for r in rows] == spans
    assert [r["index"] for r in rows] == list(range(len(spans)))
    for r in rows:
        assert r["file"] == str(a)
        assert r["text"] == text[r["start"]:r["end"]]
        assert r["tokens"] == cl100k.count(r["text"]) <= 6


@pytest.mark.parametrize("argv, message", [
    (["--max-tokens", "0"], "--max-tokens must be at least 1, got 0"),
    (["--max-tokens", "3", "--overlap", "3"], "--overlap must be at least 0 and less than --max-tokens (3), got 3"),
])
def test_cli_bad_options(capsys, tmp_path, argv, message):
    f = tmp_path / "t.txt"
    f.write_text("text", encoding="utf-8")
    assert cli.main(["chunk", *argv, str(f)]) == 1
    out, err = capsys.readouterr()
    assert out == "" and err == f"zelkor: error: {message}\n"


def test_arrow_chunk(o200k):
    pa = pytest.importorskip("pyarrow")
    import zelkor.arrow

    texts = ["Ein Satz. Noch einer hier, und mehr.", None, "", "🇩🇪 flag", "x" * 50]
    result = zelkor.arrow.chunk(o200k, pa.array(texts, pa.large_string()), 4, overlap=1,
                                boundary="whitespace", threads=2)
    assert result.type == pa.list_(pa.large_string())
    assert result.to_pylist() == [
        None if t is None else zelkor.chunk(o200k, t, 4, overlap=1, boundary="whitespace") for t in texts]
    chunked = zelkor.arrow.chunk(o200k, pa.chunked_array([texts[:2], texts[2:]]), 4)
    assert chunked.to_pylist() == [None if t is None else zelkor.chunk(o200k, t, 4) for t in texts]

    class Stream:  # any producer of the stream interface
        def __arrow_c_stream__(self, requested_schema=None):
            return pa.chunked_array([texts[:3], texts[3:]], pa.string()).__arrow_c_stream__()

    streamed = zelkor.arrow.chunk(o200k, Stream(), 4)
    assert streamed.num_chunks == 2 and streamed.to_pylist() == chunked.to_pylist()
    with pytest.raises(ValueError, match="max_tokens must be at least 1"):
        zelkor.arrow.chunk(o200k, pa.array(texts), 0)
