#!/usr/bin/env python3
"""Chunking beside counting, on every corpus file and encoding.

    python bench/chunk.py [--passes N]

Called by bench/run.py for its tables; run alone it prints them. `chunk` of
a whole file is timed against `count` of the same file (one thread), and
`chunk_batch` against `count_batch` on the file cut into ~4 KB documents
(1 and 2 threads). Budget 512 tokens; with overlap 64 and boundary
"sentence" in the second column.
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import zelkor
from bench_common import best_of_each, two_thread_table  # bench/, beside this file

MAX_TOKENS = 512
OVERLAP = 64


def tables(emit, files, toks, encodings, passes) -> None:
    emit(f"## Chunks of at most {MAX_TOKENS} tokens beside count, single thread (MB/s; time / count)")
    emit()
    emit(f"| corpus | encoding | count | chunk | chunk, overlap {OVERLAP}, sentence | ratio | ratio, overlap |")
    emit("|---|---|---:|---:|---:|---:|---:|")
    for path in files:
        text = path.read_text(encoding="utf-8")
        mb = len(text.encode("utf-8")) / 1e6
        for enc in encodings:
            tok = toks[enc]
            t_count, t_chunk, t_over = best_of_each(
                [lambda: tok.count(text), lambda: zelkor.chunk(tok, text, MAX_TOKENS),
                 lambda: zelkor.chunk(tok, text, MAX_TOKENS, overlap=OVERLAP, boundary="sentence")],
                passes)
            emit(f"| {path.stem} | {enc} | {mb / t_count:.0f} | {mb / t_chunk:.0f} | {mb / t_over:.0f} | "
                 f"{t_chunk / t_count:.2f} | {t_over / t_count:.2f} |")
    emit()
    two_thread_table(
        emit, "## chunk_batch beside count_batch, ~4 KB documents (MB/s; speed-up from 1 to 2 threads)",
        files, toks, encodings, passes,
        ("count_batch", lambda tok, docs, t: tok.count_batch(docs, threads=t)),
        ("chunk_batch", lambda tok, docs, t: zelkor.chunk_batch(tok, docs, MAX_TOKENS, threads=t)))


def main() -> int:
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import run

    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--passes", type=int, default=5)
    ap.add_argument("--encoding", action="append", help="only these encodings")
    args = ap.parse_args()
    files = sorted(run.CORPUS.glob("*.txt"))
    if not files:
        print(f"no corpus in {run.CORPUS}", file=sys.stderr)
        return 2
    encodings = args.encoding or run.ENCODINGS
    toks = {enc: zelkor.Tokenizer(enc) for enc in encodings}
    tables(print, files, toks, encodings, args.passes)
    return 0


if __name__ == "__main__":
    sys.exit(main())
