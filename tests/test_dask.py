"""Dask columns and bags on a real two-process cluster give what one process gives."""

from __future__ import annotations

import doctest
import re
import subprocess
import sys
from pathlib import Path

import pytest

pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")
dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
db = pytest.importorskip("dask.bag")
distributed = pytest.importorskip("distributed")

import zelkor  # noqa: E402
import zelkor.dask as zd  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
TEXTS = [
    "hello world",
    "naïve café, 世界 12345 😀🎉",
    "",
    "def f(x):\n    return x  # <|endoftext|>\n",
    " \t\n\n ",
    "Ein Text. " * 40,
] * 7
GAPPY = [None if i % 5 == 1 else t for i, t in enumerate(TEXTS)]


def want(tok, texts, with_special=False):
    encode = tok.encode_with_special if with_special else tok.encode_ordinary
    return [None if t is None else encode(t) for t in texts]


def lengths(lists):
    return [None if ids is None else len(ids) for ids in lists]


def test_on_a_two_process_cluster():
    index = pd.RangeIndex(100, 100 + len(TEXTS))
    arrow = pd.Series(TEXTS, index=index, dtype=pd.ArrowDtype(pa.large_string()))
    pdf = pd.DataFrame({"arrow": arrow, "objects": pd.Series(GAPPY, index=index, dtype=object)})
    # Keep one column as Python objects rather than letting Dask turn it into Arrow strings.
    with dask.config.set({"dataframe.convert-string": False}):
        df = dd.from_pandas(pdf, npartitions=6)
    bag = db.from_sequence(GAPPY, npartitions=5)
    tok = zelkor.Tokenizer("cl100k_base")  # travels by its name
    work = [zd.encode_column(df, "arrow", "o200k_base"), zd.count_column(df, "arrow", tok, threads=2)]
    work += [zd.encode_column(df, "objects", "o200k_base"), zd.count_column(df, "objects", tok, threads=2)]
    bag_work = [zd.encode_bag(bag, tok), zd.count_bag(bag, "o200k_harmony", with_special=True)]

    cluster = distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0", host="127.0.0.1"
    )
    with cluster, distributed.Client(cluster) as client:
        done = client.compute(work, sync=True) + client.compute(bag_work, sync=True)
        # Each worker built every tokenizer it used once and kept it for the later
        # partitions, the same one that unpickling gives there.
        kept = client.run(
            lambda: {n for n in zelkor.BUILTIN_ENCODINGS if zelkor._unpickled.get(n) is zd.worker_tokenizer(n)}
        )
    assert len(kept) == 2 and set().union(*kept.values()) == set(zelkor.BUILTIN_ENCODINGS)

    o200k, harmony = zelkor.Tokenizer("o200k_base"), zelkor.Tokenizer("o200k_harmony")
    for column, ids, counts in (("arrow", *done[0:2]), ("objects", *done[2:4])):
        assert ids.dtype == pd.ArrowDtype(pa.large_list(pa.uint32()))
        assert counts.dtype == pd.ArrowDtype(pa.int64())
        assert ids.index.equals(index) and counts.name == column
        assert [None if v is pd.NA else list(v) for v in ids] == want(o200k, pdf[column])
        assert [None if v is pd.NA else v for v in counts] == lengths(want(tok, pdf[column]))
    assert done[4:] == [want(tok, GAPPY), lengths(want(harmony, GAPPY, with_special=True))]


def test_edge_partitions_and_refusals():
    df = dd.from_pandas(pd.DataFrame({"t": pd.Series([None, None, "a b", "c"], dtype=object)}), npartitions=2)
    assert zd.count_column(df, "t", "cl100k_base").compute(scheduler="sync").tolist() == [pd.NA, pd.NA, 2, 1]
    assert zd.count_column(df[df.t == "none"], "t", "cl100k_base").compute(scheduler="sync").tolist() == []
    numbers = dd.from_pandas(pd.DataFrame({"n": [1, 2, 3]}), npartitions=1)
    with pytest.raises(TypeError, match="'n' must hold strings"):
        zd.count_column(numbers, "n", "cl100k_base").compute(scheduler="sync")
    for mistake in (lambda: zd.count_column(df, "t", "gpt2"), lambda: zd.worker_tokenizer("gpt2")):
        with pytest.raises(RuntimeError, match="^zelkor: unknown encoding: gpt2 "):
            mistake()
    with pytest.raises(TypeError):
        zd.worker_tokenizer(5)
    # Rebuilt by name on a worker, this one would silently use other data.
    with pytest.raises(TypeError, match="data directory"):
        zd.encode_bag(db.from_sequence(["a"]), zelkor.Tokenizer("cl100k_base", datadir=str(ROOT / "data")))


def test_docs_examples_are_real():
    flags = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
    result = doctest.testfile(str(ROOT / "docs" / "dask.md"), module_relative=False, optionflags=flags)
    assert result.failed == 0 and result.attempted > 0
    section = (ROOT / "README.md").read_text(encoding="utf-8").split("## Large-scale use", 1)[1]
    found = re.search(r"```python\n(import dask.*?)```\s*and prints\s*```text\n(.*?)```", section, re.S)
    assert found, "the README's Dask script and its output"
    proc = subprocess.run([sys.executable, "-c", found[1]], capture_output=True, text=True, timeout=120, check=False)
    assert (proc.returncode, proc.stdout) == (0, found[2]), proc.stderr[-2000:]
