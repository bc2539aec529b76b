"""Concurrent use of one Tokenizer, the interpreter lock being given up, and
failures inside the engine reaching Python as exceptions."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import threading
import time

import pytest

EOT = "<|endoftext|>"


def _releasing_calls(tok, text: str, texts: list[str]):
    """Every method that gives up the lock, with its result computed beforehand."""
    calls = [
        lambda: tok.encode(text),
        lambda: tok.encode(text + EOT, allowed_special="all"),
        lambda: tok.encode_ordinary(text),
        lambda: tok.encode_bytes(text.encode()),
        lambda: tok.encode_with_special(text + EOT),
        lambda: tok.encode_to_buffer(text),
        lambda: tok.encode_with_offsets(text, "char"),
        lambda: tok.count(text),
        lambda: tok.truncate(text, 5),
        lambda: tok.decode(tok.encode(text)),
        lambda: tok.decode_bytes(tok.encode(text)),
        lambda: tok.decode_batch([tok.encode(t) for t in texts]),
        lambda: tok.encode_batch(texts, 2),
        lambda: tok.count_batch(texts, 2, True),
        lambda: tok.truncate_batch(texts, 4, 2),
    ]
    try:
        import numpy  # noqa: F401
    except ImportError:
        pass
    else:
        calls.append(lambda: tok.encode_to_numpy(text).tolist())
        calls.append(lambda: [a.tolist() for a in tok.encode_batch_to_numpy(texts, 2)])
    return [(fn, fn()) for fn in calls]


def test_every_releasing_method_concurrently(any_tok):
    text = "Threads share one tokenizer: naïve café, 世界, and some digits 12345.\n" * 20
    calls = _releasing_calls(any_tok, text, [text[: 50 * i] for i in range(12)])
    failures: list[int] = []
    barrier = threading.Barrier(4)

    def worker(offset: int):
        barrier.wait()
        for rep in range(15):
            for i in range(len(calls)):
                fn, want = calls[(i + offset + rep) % len(calls)]
                if fn() != want:
                    failures.append(i)

    threads = [threading.Thread(target=worker, args=(k * 3,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_other_threads_run_during_a_long_engine_call(cl100k, corpus_texts):
    # Some megabytes, called until 0.2 s have passed inside the calls, far
    # beyond the spinner's period however fast the engine is. (A two-thread
    # batch keeps both processors of a small machine busy, so the spinner
    # runs only when the system takes one from it.)
    big = "".join(corpus_texts.values()) * 16
    stamps: list[float] = []
    stop = threading.Event()

    def spin():
        # Each stamp is taken while this thread runs Python code. If the
        # engine call kept the lock, at most the stamp of one hand-over just
        # before the call could fall inside it.
        while not stop.is_set():
            stamps.append(time.perf_counter())
            time.sleep(0.0005)

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        for method in (cl100k.count, lambda t: cl100k.count_batch([t[: len(t) // 4]] * 2, 2)):
            inside, spent = 0, 0.0
            while spent < 0.2:
                start = time.perf_counter()
                method(big)
                end = time.perf_counter()
                spent += end - start
                # Less the one a kept lock would still let in, per call.
                inside += max(0, sum(start < t < end for t in stamps) - 1)
            assert inside >= 5, f"only {inside} stamps during {spent:.2f}s of engine calls"
    finally:
        stop.set()
        spinner.join()


def _under_address_space_limit(extra_mb: int, setup: str, call: str) -> str:
    """Runs `call` in a child process whose address space may grow by only
    extra_mb; prints the exception's type, module and message head."""
    code = f"""
        import resource, zelkor
        tok = zelkor.Tokenizer("cl100k_base")
        {setup}
        vm = next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmSize:"))
        limit = vm * 1024 + ({extra_mb} << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            {call}
        except BaseException as e:
            print(type(e).__name__, type(e).__module__, issubclass(type(e), Exception), str(e).split(":")[0])
        else:
            print("no error")
        print(tok.count("still works"))
    """
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout


def test_out_of_memory_is_a_memory_error_not_an_abort():
    out = _under_address_space_limit(
        200, 'text = "ab " * (100 << 20); tok.count("warm up")', "tok.encode_ordinary(text)"
    )
    assert out.splitlines()[0].startswith("MemoryError builtins True")
    assert out.splitlines()[1] == "2"
