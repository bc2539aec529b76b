"""Tokenizers built and used in several interpreters of one process at once,
each with its own lock (or none, on a free-threaded build). Every run is a
child process: a fault in an interpreter would take the whole process down."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

try:
    import _interpreters  # noqa: F401
except ImportError:
    pytest.skip(
        "sub-interpreters with their own lock are driven through _interpreters, "
        f"which CPython has from 3.13 on; this is {sys.version.split()[0]}",
        allow_module_level=True,
    )

# Everything an interpreter computes, as one JSON text so that results from
# different interpreters compare as strings. The engine is shared by the
# whole process; everything Python about it must be each interpreter's own.
RESULTS = r'''
import json, pickle
import zelkor, zelkor._bulk, zelkor._probe

TEXTS = ["hello world", "naïve café 🎉 <|endoftext|> 12345", "def f(x):\n    return x * 2\n",
         "你好世界, Grüße!", "  spaces\t\tand\r\nnewlines  ", ""]

def results():
    out = {"class": [zelkor.Tokenizer.__module__, zelkor.Tokenizer.__qualname__,
                     zelkor._bulk.PanicException.__module__, zelkor.__version__]}
    for name in ["cl100k_base", "o200k_harmony"]:
        tok = zelkor.Tokenizer(name)
        again = pickle.loads(pickle.dumps(tok))
        ids = [tok.encode(t, allowed_special="all") for t in TEXTS]
        flat, offsets = tok.encode_batch(TEXTS, 2, True)
        dec = zelkor.StreamDecoder(tok)
        out[name] = {
            "repr": [repr(tok), repr(again), again is zelkor._builtin_tokenizer(name)],
            "ids": ids,
            "ordinary": [tok.encode_ordinary(t) for t in TEXTS],
            "offsets": [tok.encode_with_offsets(t, "char") for t in TEXTS],
            "count": [tok.count(t) for t in TEXTS],
            "count_batch": tok.count_batch(TEXTS, 2),
            "batch": [flat.hex(), offsets.hex()],
            "truncate": [tok.truncate(t, 3) for t in TEXTS],
            "truncate_batch": tok.truncate_batch(TEXTS, 3, 2),
            "decode": [tok.decode(i) for i in ids],
            "decode_batch": tok.decode_batch(ids),
            "stream": [dec.feed(i) for t in ids for i in t] + [dec.flush()],
            "specials": sorted(tok.special_tokens_set),
            "from_datadir": zelkor._bulk.from_datadir(tok),
            "pretokens": [zelkor._probe.pretokens(name, t.encode()) for t in TEXTS],
        }
        try:
            tok.encode("<|endoftext|>")
        except ValueError as e:
            out[name]["disallowed"] = str(e)
    return json.dumps(out, sort_keys=True)
'''


def _run(driver: str) -> str:
    code = f"RESULTS = {RESULTS!r}\n" + RESULTS + textwrap.dedent(driver)
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=600
    )
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    return proc.stdout


def test_raw_interpreters_in_parallel_match_the_main_one():
    # Two rounds: the interpreters of the first are destroyed before the
    # second starts, so nothing of theirs may be left for the next ones.
    out = _run(
        r'''
        import threading, _interpreters
        want = results()
        check = RESULTS + "\n".join([
            f"assert id(zelkor.Tokenizer) != {id(zelkor.Tokenizer)}, 'the main interpreter class'",
            f"assert id(zelkor._bulk.PanicException) != {id(zelkor._bulk.PanicException)}",
            "got = results()",
            f"assert got == {want!r}, got",
        ])
        for round in range(2):
            ids = [_interpreters.create() for _ in range(4)]
            errors = [None] * len(ids)
            def run(k):
                errors[k] = _interpreters.exec(ids[k], check)
            threads = [threading.Thread(target=run, args=(k,)) for k in range(len(ids))]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
            for iid in ids:
                _interpreters.destroy(iid)
            assert errors == [None] * len(ids), errors
        assert results() == want
        print("ok")
        '''
    )
    assert out.split() == ["ok"]


def test_interpreter_pool_matches_the_main_one():
    try:
        from concurrent.futures import InterpreterPoolExecutor  # noqa: F401
    except ImportError:
        pytest.skip(f"concurrent.futures has no InterpreterPoolExecutor on {sys.version.split()[0]}")
    out = _run(
        r'''
        from concurrent.futures import InterpreterPoolExecutor
        want = results()
        # The worker interpreters outlive their tasks: later tasks meet the
        # module that earlier ones imported there.
        task = f"(exec({RESULTS!r}, g := {{}}), g['results']())[1]"
        with InterpreterPoolExecutor(max_workers=3) as pool:
            got = list(pool.map(eval, [task] * 6))
        assert got == [want] * 6
        print("ok")
        '''
    )
    assert out.split() == ["ok"]


def test_numpy_that_will_not_load_here_is_not_called_missing():
    pytest.importorskip("numpy")
    out = _run(
        r'''
        import _interpreters
        iid = _interpreters.create()
        error = _interpreters.exec(iid, """
        import zelkor
        try:
            import numpy
        except ImportError:
            numpy = None
        try:
            print(zelkor.Tokenizer("cl100k_base").encode_to_numpy("hello world").tolist())
        except RuntimeError as e:
            assert numpy is None, e
            assert str(e) == "the numpy methods need numpy, which failed to import", e
            assert isinstance(e.__cause__, ImportError), e.__cause__
            print("refused")
        """.replace("\n        ", "\n"))
        _interpreters.destroy(iid)
        assert error is None, error
        '''
    )
    assert out.split() in (["refused"], ["[15339,", "1917]"])
