#!/usr/bin/env python3
"""Counting an Arrow column: zelkor.arrow.count against count_batch over Python strings.

    python bench/arrow_count.py [--encoding cl100k_base] [--threads 0] [--passes 5]

The shared corpora are cut into ~4 KB documents (at line ends) and written as
one string column to a Parquet file in a temporary folder; the column is read
back as a pyarrow.ChunkedArray, as a user would have it. Timed, best of N
after a warm-up, in one run:
  - arrow: zelkor.arrow.count(tok, column), the texts read in place;
  - count_batch from Arrow: tok.count_batch(column.to_pylist()), the path a
    user without zelkor.arrow has (the conversion to str included);
  - count_batch on str: tok.count_batch(texts) on ready-made Python strings;
  - to_pylist: the conversion alone.
MB/s are UTF-8 megabytes (10^6 bytes) of text per second. The goal is the
arrow path at least 1.5 times as fast as count_batch from Arrow.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
from pathlib import Path

import pyarrow as pa
import pyarrow.parquet as pq

import zelkor
import zelkor.arrow

from run import CORPUS, best_of_each, corpus_files, documents  # noqa: E402  (bench/ is the script's folder)

GOAL = 1.5


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--encoding", default="cl100k_base", choices=zelkor.BUILTIN_ENCODINGS)
    ap.add_argument("--threads", type=int, default=0, help="threads for both paths (0 = all cores)")
    ap.add_argument("--passes", type=int, default=5)
    ap.add_argument("--corpus", type=Path, default=CORPUS, metavar="DIR",
                    help=f"folder of the UTF-8 *.txt files to cut into documents (default: {CORPUS})")
    args = ap.parse_args()

    files = corpus_files(args.corpus)
    docs = [d for f in files for d in documents(f.read_text(encoding="utf-8"))]
    tok = zelkor.Tokenizer(args.encoding)

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "docs.parquet"
        pq.write_table(pa.table({"text": pa.array(docs, type=pa.string())}), path)
        column = pq.read_table(path, columns=["text"]).column("text")
    total_bytes = sum(len(d.encode("utf-8")) for d in docs)
    texts = column.to_pylist()

    arrow_counts = zelkor.arrow.count(tok, column, threads=args.threads).to_pylist()
    if arrow_counts != tok.count_batch(texts, threads=args.threads):
        print("the two paths disagree", file=sys.stderr)
        return 1

    t = args.threads
    paths = {
        "arrow (zelkor.arrow.count)": lambda: zelkor.arrow.count(tok, column, threads=t),
        "count_batch from Arrow (to_pylist included)": lambda: tok.count_batch(column.to_pylist(), threads=t),
        "count_batch on str (no conversion)": lambda: tok.count_batch(texts, threads=t),
        "to_pylist alone": column.to_pylist,
    }
    timings = dict(zip(paths, best_of_each(list(paths.values()), args.passes)))

    print(f"zelkor {zelkor.__version__}, pyarrow {pa.__version__}, {args.encoding}, threads={t}, "
          f"best of {args.passes}")
    print(f"{len(docs)} documents of ~4 KB, {total_bytes / 1e6:.2f} MB, {column.num_chunks} chunk(s), "
          f"{sum(arrow_counts)} tokens")
    print()
    print(f"| {'path':<44} | {'s':>7} | {'MB/s':>7} |")
    print(f"|{'-' * 46}|{'-' * 9}|{'-' * 9}|")
    for name, seconds in timings.items():
        print(f"| {name:<44} | {seconds:7.4f} | {total_bytes / seconds / 1e6:7.1f} |")
    names = list(timings)
    ratio = timings[names[1]] / timings[names[0]]
    ratio_str = timings[names[2]] / timings[names[0]]
    print()
    print(f"arrow vs count_batch from Arrow: {ratio:.2f}x (goal {GOAL}x: {'met' if ratio >= GOAL else 'NOT met'})")
    print(f"arrow vs count_batch on ready str: {ratio_str:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
