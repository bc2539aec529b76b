"""The command line: count, encode, decode and their failures."""

from __future__ import annotations

import json
import subprocess
import sys
import types

import pytest

import zelkor
from zelkor import cli


def run(capsys, *argv: str) -> tuple[int, str, str]:
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture(scope="module")
def cl100k():
    return zelkor.Tokenizer("cl100k_base")


def test_count_files_and_total(tmp_path, capsys, cl100k):
    a = tmp_path / "a.txt"
    b = tmp_path / "b.txt"
    a.write_text("hello world\n", encoding="utf-8")
    b.write_text("Ein kleiner Text. " * 50, encoding="utf-8")
    code, out, err = run(capsys, "count", "--encoding", "cl100k_base", str(a), str(b))
    assert code == 0 and err == ""
    lines = [line.split("\t") for line in out.splitlines()]
    na, nb = cl100k.count(a.read_text()), cl100k.count(b.read_text())
    assert lines == [[str(na), str(a)], [str(nb), str(b)], [str(na + nb), "total"]]


def test_count_default_encoding_is_o200k(tmp_path, capsys):
    f = tmp_path / "t.txt"
    f.write_text("strawberry fields", encoding="utf-8")
    code, out, _ = run(capsys, "count", str(f))
    assert code == 0
    assert out == f"{zelkor.Tokenizer('o200k_base').count('strawberry fields')}\t{f}\n"


def test_count_of_a_large_text_cut_in_pieces_is_exact(tmp_path, capsys, cl100k, monkeypatch):
    # Small pieces force many cuts, at every kind of line start.
    monkeypatch.setattr(cli, "CHUNK_CHARS", 64)
    lines = ["def f(x):\n", "    return x  \n", "\n\n", "1234 apples\n", "a\n", " b\n", "/path\n", "?!\r\n", "z"]
    text = "".join(lines * 40)
    f = tmp_path / "t.txt"
    f.write_text(text, encoding="utf-8", newline="")
    for encoding in ("cl100k_base", "o200k_base"):
        code, out, _ = run(capsys, "count", "-e", encoding, str(f))
        assert code == 0
        assert int(out.split("\t")[0]) == zelkor.Tokenizer(encoding).count(text)


def test_cut_points_tile_the_text():
    text = "abc\ndef\n\nghi\n jkl\n1\nmno" * 30
    pieces = list(cli._cut_points(text, 16))
    assert len(pieces) > 5
    assert pieces[0][0] == 0 and pieces[-1][1] == len(text)
    assert all(a[1] == b[0] for a, b in zip(pieces, pieces[1:]))
    for _, end in pieces[:-1]:
        assert text[end - 1] == "\n" and text[end].isalnum()


def test_encode_and_decode_round_trip(capsys, cl100k):
    code, out, _ = run(capsys, "encode", "-e", "cl100k_base", "hello world")
    assert code == 0
    ids = json.loads(out)
    assert ids == cl100k.encode("hello world")
    code, out, _ = run(capsys, "decode", "-e", "cl100k_base", json.dumps(ids))
    assert code == 0 and out == "hello world"


def test_encode_specials(capsys, cl100k):
    code, out, err = run(capsys, "encode", "-e", "cl100k_base", "a<|endoftext|>")
    assert code == 1 and out == ""
    assert err.startswith("zelkor: error: Encountered text corresponding to disallowed special token")
    assert len(err.splitlines()) == 1
    code, out, _ = run(capsys, "encode", "-e", "cl100k_base", "--allowed-special", "all", "a<|endoftext|>")
    assert code == 0 and json.loads(out) == [64, 100257]
    code, out, _ = run(capsys, "encode", "-e", "cl100k_base", "--allowed-special", "<|endoftext|>", "<|endoftext|>")
    assert json.loads(out) == [100257]


@pytest.mark.parametrize(
    "argv, message",
    [
        (["count", "/nonexistent/file"], "cannot read /nonexistent/file"),
        (["count", "-e", "gpt2", "-"], "unknown encoding: gpt2"),
        (["decode", "[1, 2"], "ids are not valid JSON"),
        (["decode", '{"a": 1}'], "ids must be a JSON list of integers"),
        (["decode", "[1.5]"], "ids must be a JSON list of integers"),
        (["decode", "[-1]"], "ids must lie between 0 and 4294967295"),
        (["decode", "--errors", "strict", "[255]"], "invalid utf-8 in decode"),
    ],
)
def test_bad_input_is_one_line(capsys, argv, message):
    code, out, err = run(capsys, *argv)
    assert code == 1 and out == ""
    assert err.startswith("zelkor: error: ") and message in err
    assert err.count("\n") == 1


def test_invalid_utf8_file(tmp_path, capsys):
    f = tmp_path / "bad.bin"
    f.write_bytes(b"ok\xff")
    code, _, err = run(capsys, "count", str(f))
    assert code == 1 and "is not valid UTF-8 (byte 2)" in err


def test_python_dash_m_and_stdin():
    proc = subprocess.run(
        [sys.executable, "-m", "zelkor", "count", "-e", "cl100k_base"],
        input=b"hello world",
        capture_output=True,
        check=False,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == b"2\t-\n"
    proc = subprocess.run([sys.executable, "-m", "zelkor", "frobnicate"], capture_output=True, check=False)
    assert proc.returncode == 2 and b"Traceback" not in proc.stderr


@pytest.fixture
def parquet_file(tmp_path):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    texts = ["hello world", None, "naïve café, 世界 😀", "", "def f(x):\n    return x\n", "<|endoftext|> a"] * 9
    columns = {"id": list(range(len(texts))), "nested": [{"a": 1, "b": "x"}] * len(texts)}
    columns["text"] = texts
    columns["large"] = pa.array(texts, pa.large_string())
    columns["coded"] = pa.array(texts).dictionary_encode()
    path = tmp_path / "t.parquet"
    pq.write_table(pa.table(columns), path, row_group_size=20)
    return path, texts


def test_parquet_column_counts_across_batches_and_row_groups(capsys, cl100k, parquet_file, monkeypatch):
    path, texts = parquet_file
    want = sum(cl100k.count_batch([t for t in texts if t is not None]))
    bars = []

    class Bar:  # records what the command does with its progress bar
        def __init__(self, **kw):
            self.kw, self.done = kw, 0
            bars.append(self)

        def update(self, n):
            self.done += n

        def close(self):
            self.kw["closed"] = True

    monkeypatch.setitem(sys.modules, "tqdm", types.SimpleNamespace(tqdm=Bar))
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True, raising=False)
    monkeypatch.setattr(cli, "PARQUET_BATCH_ROWS", 7)
    for column in ("text", "large", "coded"):
        argv = ["count", "-e", "cl100k_base", "--threads", "2", "--parquet", str(path), "--column", column]
        code, out, _ = run(capsys, *argv)
        assert (code, out) == (0, f"{want}\t{path}\n")
    seen = [(b.kw["unit"], b.kw["total"], b.done, b.kw["closed"]) for b in bars]
    assert seen == [("rows", len(texts), len(texts), True)] * 3


def test_parquet_failures_are_one_line(tmp_path, capsys, parquet_file, monkeypatch):
    path, _ = parquet_file
    junk = tmp_path / "junk.parquet"
    junk.write_bytes(b"not parquet at all")
    cases = [
        (["--parquet", str(path), "--column", "txt"], "no column 'txt'; its columns: id, nested, text, large, coded"),
        (["--parquet", str(path), "--column", "id"], f"column 'id' of {path} holds int64, not strings"),
        (["--parquet", str(path), "--column", "nested"], "holds struct<a: int64, b: string>, not strings"),
        (["--parquet", str(junk), "--column", "text"], f"cannot read {junk}: "),
        (["--parquet", str(tmp_path / "absent.parquet"), "--column", "text"], "cannot read "),
        (["--parquet", str(path)], "--parquet needs --column NAME"),
        (["--column", "text", str(path)], "--column goes with --parquet"),
        (["--parquet", str(path), "--column", "text", str(path)], "give either FILE or --parquet, not both"),
    ]
    for argv, message in cases:
        code, out, err = run(capsys, "count", *argv)
        assert (code, out, err.count("\n")) == (1, "", 1), err
        assert err.startswith("zelkor: error: ") and message in err, err
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    code, _, err = run(capsys, "count", "--parquet", str(path), "--column", "text")
    assert err == "zelkor: error: --parquet needs pyarrow: pip install 'zelkor-rs[arrow]'\n"
