"""Batches when threads run short: more threads asked for than any call
starts, threads that the system refuses, and memory that runs out. The work
falls to the threads that did start, the calling thread at least, and the
results stay exact; what cannot be worked around is an ordinary Exception."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

# Runs in a child: computes every batch method's result over `texts` with one
# thread, then sets `limit` (Python code) and repeats each call `rounds`
# times with `threads`, printing one JSON line per method: whether every
# result was the same, or the first exception raised.
CHILD = """
import json, resource, zelkor, zelkor.chunking
tok = zelkor.Tokenizer("o200k_base")
texts = {texts}
short = [s[:4000] for s in texts[:500]]
calls = {{
    "encode_batch": lambda t: tok.encode_batch(texts, threads=t),
    "count_batch": lambda t: tok.count_batch(texts, threads=t, with_special=True),
    "truncate_batch": lambda t: tok.truncate_batch(texts, 7, threads=t),
    "chunk_batch": lambda t: zelkor.chunking.chunk_batch(tok, short, 64, overlap=8, threads=t),
}}
try:
    import numpy
    calls["encode_batch_to_numpy"] = lambda t: [a.tolist() for a in tok.encode_batch_to_numpy(texts, threads=t)]
except ImportError:
    pass
want = {{name: fn(1) for name, fn in calls.items()}}
{limit}
for name, fn in calls.items():
    for _ in range({rounds}):
        try:
            result = fn({threads}) == want[name]
        except BaseException as e:
            result = [type(e).__name__, type(e).__module__, isinstance(e, Exception), str(e)[:80]]
        if result is not True:
            break
    print(json.dumps([name, result]), flush=True)
print(json.dumps(["after", tok.count("still works")]))
"""

# The process may grow by `mib` MiB: its address space (RLIMIT_AS) or its
# private writable memory (RLIMIT_DATA, which thread stacks count against
# too). 64 MiB is room for a few thread stacks of 8 MiB, not for the 256
# threads a call may start.
def growth_limit(mib: int, kind: str = "AS") -> str:
    field = {"AS": 0, "DATA": 5}[kind]  # size, data in /proc/self/statm (pages)
    return f"""
used = int(open("/proc/self/statm").read().split()[{field}]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_{kind}, (used + ({mib} << 20),) * 2)
"""


ADDRESS_SPACE_LIMIT = growth_limit(64)

# No new thread or process at all for this user.
PROCESS_LIMIT = """
resource.setrlimit(resource.RLIMIT_NPROC, (1, 1))
"""


TEXTS = '[("Batch text %d: naïve café, 世界, 12345. " % i) * (i % 9 + 1) for i in range(3000)]'


def run_child(limit: str, threads: int, texts: str = TEXTS, rounds: int = 1) -> dict:
    code = textwrap.dedent(CHILD).format(
        texts=texts, limit=textwrap.dedent(limit), threads=threads, rounds=rounds
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=180)
    assert proc.returncode == 0, proc.stderr[-2000:]
    return dict(json.loads(line) for line in proc.stdout.splitlines())


def assert_exact(results: dict) -> None:
    assert results.pop("after") == 2
    assert len(results) >= 4
    for name, result in results.items():
        assert result is True, (name, result)


def test_threads_the_address_space_cannot_hold_leave_the_work_to_those_started():
    assert_exact(run_child(ADDRESS_SPACE_LIMIT, threads=500, rounds=3))


# Tighter still: what the started threads allocate after their stacks (their
# thread-local blocks above all, whose failure ends the process) must find
# room, call after call.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.parametrize(
    "kind, mib",
    [
        ("AS", 32),
        # The sanitizer's own allocator maps writable memory, and dies of it.
        pytest.param("DATA", 24, marks=pytest.mark.skipif(UNDER_ASAN, reason="sanitizer")),
    ],
)
def test_a_tight_limit_neither_ends_the_process_nor_fails_a_batch(kind, mib):
    assert_exact(run_child(growth_limit(mib, kind), threads=500, rounds=3))


@pytest.mark.skipif(os.geteuid() == 0, reason="root")  # root is exempt from RLIMIT_NPROC
def test_threads_past_the_process_limit_leave_the_work_to_the_calling_thread():
    assert_exact(run_child(PROCESS_LIMIT, threads=8))


def test_a_batch_that_memory_cannot_hold_is_a_memory_error():
    # Each text has 8 Mi ids, 32 MiB: the ids of the two cannot be gathered.
    out = run_child(ADDRESS_SPACE_LIMIT, threads=2, texts="['ab ' * (8 << 20)] * 2")
    assert out.pop("after") == 2
    for name in ("encode_batch", "encode_batch_to_numpy"):
        if name in out:
            assert out[name][:3] == ["MemoryError", "builtins", True], out[name]


def test_an_absurd_thread_count_gives_the_same_results(cl100k):
    texts = ["hi", "", "naïve café", "hello world " * 50] * 10000
    assert cl100k.count_batch(texts, threads=40000) == cl100k.count_batch(texts, threads=1)
    ids, offsets = cl100k.encode_batch(texts[:4000], threads=2**63)
    assert (ids, offsets) == cl100k.encode_batch(texts[:4000], threads=1)
    assert cl100k.truncate_batch(texts[:4000], 3, 10**6) == cl100k.truncate_batch(texts[:4000], 3, 1)
