"""The command line: count, encode, decode and their failures."""

from __future__ import annotations

import io
import json
import os
import re
import subprocess
import sys

import pytest

import zelkor
from zelkor import _progress, cli


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
    code, out, err = run(capsys, "count", "--json", "-e", "cl100k_base", str(a), str(b))
    assert code == 0 and err == ""
    assert json.loads(out) == {
        "encoding": "cl100k_base",
        "counts": [{"file": str(a), "tokens": na}, {"file": str(b), "tokens": nb}],
        "total": na + nb,
    }


def test_count_default_encoding_is_o200k(tmp_path, capsys):
    f = tmp_path / "t.txt"
    f.write_text("strawberry fields", encoding="utf-8")
    code, out, _ = run(capsys, "count", str(f))
    assert code == 0
    assert out == f"{zelkor.Tokenizer('o200k_base').count('strawberry fields')}\t{f}\n"


# Line starts of every kind: the places where a cut is allowed and those where
# it is not (white space, "/" after a line feed, digits, CJK, marks, words).
LINES = ["def f(x):\n", "    return x  \n", "\n\n", "1234 apples\n", "a\n", " b\n", "/path\n", "?!\r\n",
         "z", "\u4e16\u754c\u4f60\u597d\n", "\u0301x\n", "'s it\n", "\t\n", "word word word "]


@pytest.mark.parametrize("block", [7, 64, 1 << 20])
def test_count_read_in_pieces_is_exact(tmp_path, capsys, monkeypatch, block):
    import zelkor._textpieces as pieces

    monkeypatch.setattr(pieces, "BLOCK_BYTES", block)
    # One long line too: there the pieces end between words.
    text = "".join(LINES * 40) + "one long line of words " * 200 + "x" * 300
    f = tmp_path / "t.txt"
    f.write_text(text, encoding="utf-8", newline="")
    for encoding in ("cl100k_base", "o200k_base"):
        code, out, _ = run(capsys, "count", "-e", encoding, str(f))
        assert code == 0
        assert int(out.split("\t")[0]) == zelkor.Tokenizer(encoding).count(text)


def test_pieces_tile_the_text_and_end_at_certain_boundaries():
    import io

    from zelkor._textpieces import read_pieces

    text = "".join(LINES * 30) + "é" * 50
    got = list(read_pieces(io.BytesIO(text.encode()), block=16))
    assert len(got) > 20 and "".join(got) == text
    tok = zelkor.Tokenizer("o200k_base")
    for a, b in zip(got, got[1:]):
        # The pre-tokens do not cross the cut: encoding the two halves
        # separately gives the ids of the pair.
        assert tok.encode_ordinary(a) + tok.encode_ordinary(b) == tok.encode_ordinary(a + b)


def test_invalid_utf8_is_found_across_blocks(tmp_path, capsys):
    f = tmp_path / "bad.txt"
    # A character cut by the block end is fine; the bad byte comes later.
    f.write_bytes(("ü" * 700_000).encode() + b"\n\xe4\xb8x")
    code, out, err = run(capsys, "count", str(f))
    assert (code, out) == (1, "")
    assert err == f"zelkor: error: {f} is not valid UTF-8 (byte 1400001)\n"


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
    text = "a<|endoftext|><|fim_prefix|>"
    code, out, _ = run(capsys, "encode", "-e", "cl100k_base", "--disallowed-special", "none", text)
    assert code == 0 and json.loads(out) == cl100k.encode_ordinary(text)
    argv = ["encode", "-e", "cl100k_base", "--allowed-special", "<|fim_prefix|>", "--disallowed-special", "none"]
    code, out, _ = run(capsys, *argv, text)
    assert code == 0 and json.loads(out) == cl100k.encode_ordinary("a<|endoftext|>") + [100258]
    code, _, err = run(capsys, "encode", "-e", "cl100k_base", "--disallowed-special", "<|fim_prefix|>", text)
    assert code == 1 and '"<|fim_prefix|>"' in err and "--disallowed-special" in err


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
        (["encode", "caf\udce9"], "TEXT is not valid UTF-8 (character 3)"),
        (["encode", "--allowed-special", "\udcff", "x"], "--allowed-special is not valid UTF-8"),
        (["count", "-e", "o200k\udcff", "-"], "--encoding is not valid UTF-8"),
        # Every file is opened first: no count is printed before the error.
        (["count", "/dev/null", "/nonexistent/b"], "cannot read /nonexistent/b"),
    ],
)
def test_bad_input_is_one_line(capsys, argv, message):
    code, out, err = run(capsys, *argv)
    assert code == 1 and out == ""
    assert err.startswith("zelkor: error: ") and message in err
    assert err.count("\n") == 1


@pytest.mark.parametrize(
    "argv, message",
    [
        (["count", "--threads", "99999999999999999999999"], "argument --threads: must lie between 0 and 4096"),
        (["count", "--threads", "-1"], "argument --threads: must lie between 0 and 4096"),
        (["count", "--threads", "two"], "argument --threads: not an integer: 'two'"),
        (["decode", "--errors", "loose", "[1]"], "argument --errors: invalid choice: 'loose'"),
        (["frobnicate"], "argument COMMAND: invalid choice: 'frobnicate'"),
    ],
)
def test_usage_mistakes_end_with_one_error_line(capsys, argv, message):
    with pytest.raises(SystemExit) as exit:
        cli.main(argv)
    out, err = capsys.readouterr()
    assert exit.value.code == 2 and out == ""
    last = err.splitlines()[-1]
    assert last.startswith("zelkor: error: ") and message in last, err
    assert "Traceback" not in err


def test_invalid_utf8_file(tmp_path, capsys):
    f = tmp_path / "bad.bin"
    f.write_bytes(b"ok\xff")
    code, _, err = run(capsys, "count", str(f))
    assert code == 1 and "is not valid UTF-8 (byte 2)" in err


def test_output_that_the_terminal_cannot_show_is_one_error_line():
    proc = subprocess.run(
        [sys.executable, "-m", "zelkor", "decode", "[71344, 231]"],
        capture_output=True,
        check=False,
        env={**os.environ, "PYTHONIOENCODING": "latin-1"},
    )
    assert proc.returncode == 1 and proc.stdout == b""
    assert proc.stderr.startswith(b"zelkor: error: standard output (latin-1) cannot show ")
    assert proc.stderr.count(b"\n") == 1


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


def record_bars(monkeypatch) -> list:
    """The progress bars the command draws, onto a terminal of its own."""
    bars = []

    class Bar(_progress.ProgressBar):
        def __init__(self, total, desc, unit, stream):
            super().__init__(total, desc, unit, io.StringIO())
            self.closed = False
            bars.append(self)

        def close(self):
            super().close()
            self.closed = True

    monkeypatch.setattr(_progress, "ProgressBar", Bar)
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True, raising=False)
    return bars


def test_text_files_show_a_bar_of_bytes(tmp_path, capsys, monkeypatch):
    bars = record_bars(monkeypatch)
    small = tmp_path / "small.txt"
    small.write_text("tiny", encoding="utf-8")
    code, _, _ = run(capsys, "count", str(small))
    assert code == 0 and bars == []
    monkeypatch.setattr(cli, "PROGRESS_THRESHOLD", 1000)
    big = tmp_path / "big.txt"
    big.write_text("naïve café\n" * 500, encoding="utf-8")
    code, out, _ = run(capsys, "count", str(big), str(small))
    assert code == 0 and out.endswith("\ttotal\n")
    [bar] = bars
    size = big.stat().st_size + small.stat().st_size
    assert (bar.unit, bar.total, bar.done, bar.closed) == ("B", size, size, True)
    drawn = bar.stream.getvalue()
    assert "100%" in drawn and "/s" in drawn and drawn.endswith("\r")


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
    bars = record_bars(monkeypatch)
    monkeypatch.setattr(cli, "PARQUET_BATCH_ROWS", 7)
    for column in ("text", "large", "coded"):
        argv = ["count", "-e", "cl100k_base", "--threads", "2", "--parquet", str(path), "--column", column]
        code, out, _ = run(capsys, *argv)
        assert (code, out) == (0, f"{want}\t{path}\n")
    assert [(b.unit, b.total, b.done, b.closed) for b in bars] == [("rows", len(texts), len(texts), True)] * 3
    code, out, _ = run(capsys, "count", "--json", "-e", "cl100k_base", "--parquet", str(path), "--column", "text")
    assert code == 0 and json.loads(out) == {
        "encoding": "cl100k_base", "counts": [{"file": str(path), "column": "text", "tokens": want}], "total": want
    }


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


def test_decode_help_examples_are_true(capsys):
    with pytest.raises(SystemExit):
        cli.main(["decode", "--help"])
    text = capsys.readouterr().out
    examples = re.findall(r"zelkor decode (--errors strict )?'(\[[\d, ]+\])'\s+(prints: (.+?)(?: \(|$)|fails)", text, re.M)
    assert len(examples) == 3
    for strict, ids, _, want in examples:
        code, out, err = run(capsys, "decode", *(["--errors", "strict"] if strict else []), ids)
        assert (code, out) == ((1, "") if strict else (0, want)), err


def _peak_rss_kb_of_count(blocks: int, block: bytes) -> tuple[int, bytes]:
    proc = subprocess.Popen(
        [sys.executable, "-m", "zelkor", "count", "-e", "cl100k_base"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
    )
    assert proc.stdin is not None and proc.stdout is not None
    for _ in range(blocks):
        proc.stdin.write(block)
    proc.stdin.close()
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    assert proc.returncode == 0
    return usage.ru_maxrss, out


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer keeps freed memory")
def test_count_of_a_large_stream_keeps_memory_bounded(cl100k):
    block = ("word " * 200 + "\n").encode() * 1000  # 1 MB, no token crosses its ends
    idle, out = _peak_rss_kb_of_count(1, block)
    peak, out = _peak_rss_kb_of_count(192, block)
    assert int(out.split(b"\t")[0]) == 192 * cl100k.count(block.decode())
    # Read whole, 192 MB of text would take 400 MB and more.
    assert peak - idle < 100_000, (idle, peak)
