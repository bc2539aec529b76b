"""What the Python benchmarks share: best-of timing, and the corpora cut into
documents the way every batch table cuts them."""

from __future__ import annotations

import time


def best_of(fn, passes: int) -> float:
    fn()  # warm-up: caches, memo, page faults
    best = float("inf")
    for _ in range(passes):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def best_of_each(fns, passes: int) -> list[float]:
    """Best times of several functions, timed in turn within every pass, so that
    a slow spell of the machine falls on all of them alike instead of on one."""
    for fn in fns:
        fn()
    best = [float("inf")] * len(fns)
    for _ in range(passes):
        for i, fn in enumerate(fns):
            t0 = time.perf_counter()
            fn()
            best[i] = min(best[i], time.perf_counter() - t0)
    return best


def documents(text: str, size: int = 4096) -> list[str]:
    """Cuts a text into documents of about `size` bytes, at line ends where possible."""
    docs = []
    start = 0
    while start < len(text):
        end = text.find("\n", start + size)
        end = len(text) if end < 0 else end + 1
        docs.append(text[start:end])
        start = end
    return docs


def two_thread_table(emit, title: str, files, toks, encodings, passes: int, first, second) -> None:
    """Emits a table of two batch methods on each corpus cut into documents,
    with one and two threads, and the speed-up of each. `first` and `second`
    are (label, call) pairs; call(tok, docs, threads) runs the method."""
    (label_a, call_a), (label_b, call_b) = first, second
    emit(title)
    emit()
    emit(f"| corpus | encoding | {label_a} 1T | 2T | speed-up | {label_b} 1T | 2T | speed-up |")
    emit("|---|---|---:|---:|---:|---:|---:|---:|")
    for path in files:
        text = path.read_text(encoding="utf-8")
        docs = documents(text)
        mb = len(text.encode("utf-8")) / 1e6
        for enc in encodings:
            tok = toks[enc]
            a1, a2, b1, b2 = best_of_each(
                [lambda: call_a(tok, docs, 1), lambda: call_a(tok, docs, 2),
                 lambda: call_b(tok, docs, 1), lambda: call_b(tok, docs, 2)],
                passes)
            emit(f"| {path.stem} | {enc} | {mb / a1:.0f} | {mb / a2:.0f} | {a1 / a2:.2f} | "
                 f"{mb / b1:.0f} | {mb / b2:.0f} | {b1 / b2:.2f} |")
    emit()
