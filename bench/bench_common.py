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
