#!/usr/bin/env python3
"""Serving-sized batches: microseconds per call of the batch methods.

    python bench/small_batches.py [--corpus DIR] [--passes N] [--quick]

A server tokenizes a handful of prompts per call with the default thread
count. For batches from one text of 0.5 KB up to 128 x 4 KB and one of
256 KB, both encodings, English prose and multilingual text, it times
encode_batch, count_batch, truncate_batch and encode_batch_to_numpy with
threads=1, with the default (threads=0) and with threads=2, in turn, and
prints per method: the time of threads=1 in microseconds, then the speed of
the default and of two threads relative to it (above 1: faster than one
thread).
bench/run.py prints the same table as one section of the suite.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import zelkor

ROOT = Path(__file__).resolve().parents[1]
CORPUS = ROOT.parent / "shared" / "corpus"
TEXTS = {"prose": "prose-en.txt", "multilingual": "prose-multilingual.txt"}
ENCODINGS = ["o200k_base", "cl100k_base"]
# (number of texts, bytes per text)
SHAPES = [(1, 512), (1, 2048), (4, 1536), (8, 2048), (32, 512), (64, 2048), (128, 2048),
          (64, 4096), (128, 4096), (1, 262144)]
QUICK_SHAPES = [(1, 512), (4, 1536), (8, 2048), (32, 512), (64, 2048), (128, 2048)]
VARIANTS = (1, 0, 2)  # threads
TRUNCATE_TO = 64


def cut(data: bytes, start: int, size: int) -> str:
    """About `size` bytes of `data` from `start`, on character boundaries."""
    start %= max(1, len(data) - size)
    while start and data[start] & 0xC0 == 0x80:
        start -= 1
    end = min(len(data), start + size)
    while end < len(data) and data[end] & 0xC0 == 0x80:
        end += 1
    return data[start:end].decode("utf-8")


def batch(data: bytes, n: int, size: int) -> list[str]:
    # Texts from spread-out places, so that a batch is not one text repeated.
    stride = max(size, len(data) // (n + 1))
    return [cut(data, 7919 + i * stride, size) for i in range(n)]


def methods(tok, texts):
    return {
        "encode_batch": lambda t: tok.encode_batch(texts, threads=t),
        "count_batch": lambda t: tok.count_batch(texts, threads=t),
        "truncate_batch": lambda t: tok.truncate_batch(texts, TRUNCATE_TO, threads=t),
        "encode_batch_to_numpy": lambda t: tok.encode_batch_to_numpy(texts, threads=t),
    }


def per_call(fns, samples: int, budget: float) -> list[float]:
    """Best seconds per call of each function over `samples` samples of about
    `budget` seconds each, the functions taking turns sample by sample: on a
    busy machine short samples are the ones that find a quiet moment, and
    taking turns lets a slow spell fall on all of them alike."""
    reps = []
    for fn in fns:  # warm-up and calibration
        fn()
        t0 = time.perf_counter()
        fn()
        reps.append(max(1, int(budget / max(time.perf_counter() - t0, 1e-7))))
    best = [float("inf")] * len(fns)
    for _ in range(samples):
        for i, fn in enumerate(fns):
            r = reps[i]
            t0 = time.perf_counter()
            for _ in range(r):
                fn()
            best[i] = min(best[i], (time.perf_counter() - t0) / r)
    return best


def run(emit, passes: int = 5, quick: bool = False, corpus: Path = CORPUS) -> None:
    """Emits the section: a table with one row per batch, encoding and text
    (the texts are cut from prose-en.txt and prose-multilingual.txt of
    `corpus`; without them the section says so and stops)."""
    names = list(methods(None, []))
    missing = [name for name in TEXTS.values() if not (corpus / name).is_file()]
    emit("## Serving-sized batches (microseconds per call)")
    emit()
    emit("Per method: microseconds with `threads=1`, then the speed of the default `threads=0` and "
         "of `threads=2` relative to it (x1.00 = as fast as one thread; higher is faster). "
         f"truncate_batch cuts to {TRUNCATE_TO} tokens.")
    emit()
    if missing:
        emit(f"Not measured: {', '.join(missing)} not in {corpus}.")
        emit()
        return
    emit("| batch | encoding | text | " + " | ".join(names) + " |")
    emit("|---|---|---|" + "---:|" * len(names))
    corpora = {kind: (corpus / name).read_bytes() for kind, name in TEXTS.items()}
    toks = {enc: zelkor.Tokenizer(enc) for enc in ENCODINGS}
    samples, budget = 6 * passes, 0.001
    for n, size in QUICK_SHAPES if quick else SHAPES:
        for enc in ENCODINGS:
            for kind, data in corpora.items():
                texts = batch(data, n, size)
                cells = []
                for fn in methods(toks[enc], texts).values():
                    t1, t0, t2 = per_call([lambda t=t: fn(t) for t in VARIANTS], samples, budget)
                    cells.append(f"{t1 * 1e6:.0f} · x{t1 / t0:.2f} · x{t1 / t2:.2f}")
                label = f"{n} x {size / 1024:g} KB"
                emit(f"| {label} | {enc} | {kind} | " + " | ".join(cells) + " |")
    emit()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--corpus", type=Path, default=CORPUS, metavar="DIR")
    ap.add_argument("--passes", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="fewer shapes and passes")
    args = ap.parse_args()
    run(print, 2 if args.quick else args.passes, args.quick, args.corpus)
    return 0


if __name__ == "__main__":
    sys.exit(main())
