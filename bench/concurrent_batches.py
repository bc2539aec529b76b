#!/usr/bin/env python3
"""Batches called from several Python threads at once: calls per second.

    python bench/concurrent_batches.py [--seconds S] [--encoding NAME] [--corpus FILE]

A server may have several threads in batch calls at the same time, each of
which starts worker threads of its own. For 1, 2, 4 and 8 threads calling
`count_batch` on 64 documents of 2 KB each, with `threads=2` and with the
default, it prints the calls per second of all threads together.
"""

from __future__ import annotations

import argparse
import threading
import time
from pathlib import Path

import zelkor

ROOT = Path(__file__).resolve().parents[1]
PROSE = ROOT.parent / "shared" / "corpus" / "prose-en.txt"


def docs_of(data: bytes, count: int = 64, size: int = 2048) -> list[str]:
    """`count` slices of about `size` bytes from `data`, on character boundaries."""
    out = []
    for i in range(count):
        start = (i * 7919) % max(1, len(data) - size)
        out.append(data[start:start + size].decode("utf-8", errors="ignore"))
    return out


def calls_per_second(tok, docs, callers: int, threads: int, seconds: float) -> float:
    counts = [0] * callers
    stop = time.perf_counter() + seconds

    def run(k: int) -> None:
        while time.perf_counter() < stop:
            tok.count_batch(docs, threads=threads)
            counts[k] += 1

    workers = [threading.Thread(target=run, args=(k,)) for k in range(callers)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return sum(counts) / seconds


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seconds", type=float, default=1.5)
    ap.add_argument("--encoding", default="cl100k_base")
    ap.add_argument("--corpus", type=Path, default=PROSE)
    args = ap.parse_args()
    tok = zelkor.Tokenizer(args.encoding)
    docs = docs_of(args.corpus.read_bytes())
    print("| threads calling | `threads=2` | default |")
    print("|---:|---:|---:|")
    for callers in (1, 2, 4, 8):
        two = calls_per_second(tok, docs, callers, 2, args.seconds)
        default = calls_per_second(tok, docs, callers, 0, args.seconds)
        print(f"| {callers} | {two:,.0f} | {default:,.0f} |")


if __name__ == "__main__":
    main()
