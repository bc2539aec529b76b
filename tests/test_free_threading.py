"""Many threads on shared tokenizers while other threads change the lists and
sets handed to them. Without an interpreter lock nothing orders these
threads; with one the test still runs, coarser.

ZELKOR_STRESS_SECONDS (default 2) and ZELKOR_STRESS_THREADS (default 8) make
it a soak run by hand; run with -s to see threads, seconds and calls."""

from __future__ import annotations

import array
import os
import random
import re
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time

import pytest

import zelkor

SECONDS = float(os.environ.get("ZELKOR_STRESS_SECONDS", "2"))
WORKERS = int(os.environ.get("ZELKOR_STRESS_THREADS", "8"))

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

POOL = [
    "hello world",
    "naïve café, 世界 and Grüße 🎉",
    "def f(x):\n    return x * 2  # twice\n",
    "  indented\t\ttabs\r\n\r\nand 1234567 digits",
    "<|endoftext|> is ordinary text here",
    "x" * 300,
    "",
]
SPECIALS = ["<|endoftext|>", "<|fim_prefix|>"]
SPECIAL_TEXT = "one <|endoftext|> two <|fim_prefix|> three"


def _batch_ids(flat: bytes, offsets: bytes) -> list[list[int]]:
    ids, offs = array.array("I", flat), array.array("q", offsets)
    return [ids[offs[i] : offs[i + 1]].tolist() for i in range(len(offs) - 1)]


class Shared:
    """The inputs that the mutators change while the workers read them, and
    what any of their states may give."""

    def __init__(self, tok):
        self.tok = tok
        self.texts = list(POOL)
        self.id_lists = [tok.encode_ordinary(t) for t in POOL]
        a, b = tok.encode_single_token("a"), tok.encode_single_token("b")
        self.ab_pair = (a, b)
        self.ab_ids = [a, b] * 50
        self.allowed: set[str] = set(SPECIALS)
        self.ids_of = {tuple(tok.encode_ordinary(t)) for t in POOL}
        self.counts = {tok.count(t) for t in POOL}
        self.cuts = {tok.truncate(t, 3) for t in POOL}
        self.by_subset = {
            tuple(tok.encode(SPECIAL_TEXT, allowed_special=subset, disallowed_special=()))
            for subset in ([], SPECIALS[:1], SPECIALS[1:], SPECIALS)
        }

    def mutate(self, rng: random.Random) -> None:
        # Lists grow to a bound, then shrink from it: never below their start.
        op = rng.randrange(6)
        if op == 0:
            self.texts[rng.randrange(len(self.texts))] = rng.choice(POOL)
        elif op == 1:
            if len(self.texts) < 40:
                self.texts.append(rng.choice(POOL))
            else:
                self.texts.pop()
        elif op == 2:
            if len(self.id_lists) < 40:
                self.id_lists.append(self.tok.encode_ordinary(rng.choice(POOL)))
            else:
                del self.id_lists[rng.randrange(len(self.id_lists))]
        elif op == 3:
            self.ab_ids[rng.randrange(len(self.ab_ids))] = rng.choice(self.ab_pair)
        elif op == 4:
            if len(self.ab_ids) < 400:
                self.ab_ids.append(rng.choice(self.ab_pair))
            else:
                self.ab_ids.pop()
        else:
            s = rng.choice(SPECIALS)
            if s in self.allowed:
                self.allowed.discard(s)
            else:
                self.allowed.add(s)

    def checks(self):
        """(name, call, test of its result) for the calls on mutated inputs."""
        tok, pool_texts = self.tok, set(POOL)
        ab = re.compile(r"[ab]*")

        def changed_during_iteration(fn):
            try:
                return fn()
            except RuntimeError as e:  # the interpreter's own refusal, not ours
                if "changed size during iteration" in str(e):
                    return None
                raise

        return [
            ("encode_batch", lambda: _batch_ids(*tok.encode_batch(self.texts, 2)),
             lambda r: all(tuple(ids) in self.ids_of for ids in r)),
            ("count_batch", lambda: tok.count_batch(self.texts, 2),
             lambda r: all(n in self.counts for n in r)),
            ("truncate_batch", lambda: tok.truncate_batch(self.texts, 3, 2),
             lambda r: all(c in self.cuts for c in r)),
            ("decode_batch", lambda: tok.decode_batch(self.id_lists),
             lambda r: all(t in pool_texts for t in r)),
            ("decode", lambda: tok.decode(self.ab_ids),
             lambda r: ab.fullmatch(r) is not None and 100 <= len(r) <= 410),
            ("encode allowed set",
             lambda: changed_during_iteration(
                 lambda: tok.encode(SPECIAL_TEXT, allowed_special=self.allowed, disallowed_special=())),
             lambda r: r is None or tuple(r) in self.by_subset),
        ]


def _fixed_calls(tok, text: str, texts: list[str]):
    """Every method on inputs nobody changes, with its single-threaded result."""
    import zelkor.stream

    ids = tok.encode(text)

    def stream():
        dec = zelkor.stream.StreamDecoder(tok)
        return [dec.feed(i) for i in ids] + [dec.flush()]

    calls = [
        lambda: tok.encode(text + SPECIALS[0], allowed_special="all"),
        lambda: tok.encode_ordinary(text),
        lambda: tok.encode_bytes(text.encode()),
        lambda: tok.encode_with_special(text + SPECIALS[0]),
        lambda: tok.encode_to_buffer(text),
        lambda: tok.encode_with_offsets(text, "char"),
        lambda: tok.encode_single_token("hello"),
        lambda: tok.count(text),
        lambda: tok.truncate(text, 7),
        lambda: tok.decode(ids),
        lambda: tok.decode_bytes(ids),
        lambda: tok.decode_single_token_bytes(ids[0]),
        lambda: tok.decode_batch([ids, ids[:5]]),
        lambda: tok.encode_batch(texts, 2, True),
        lambda: tok.count_batch(texts, 0),
        lambda: tok.truncate_batch(texts, 4, 2),
        lambda: tok.is_special_token(tok.eot_token),
        lambda: tok.special_tokens(),
        lambda: (repr(tok), tok.name, tok.n_vocab, tok.max_token_value, tok.special_tokens_set),
        stream,
    ]
    try:
        import numpy  # noqa: F401
    except ImportError:
        pass
    else:
        calls.append(lambda: tok.encode_to_numpy(text).tolist())
        calls.append(lambda: [a.tolist() for a in tok.encode_batch_to_numpy(texts, 2)])
    try:
        import pyarrow as pa
    except ImportError:
        pass
    else:
        import zelkor.arrow

        column = pa.array(texts + [None])
        calls.append(lambda: zelkor.arrow.count(tok, column, 2).to_pylist())
        calls.append(lambda: zelkor.arrow.encode(tok, column, 2).to_pylist())
    return [(fn, fn()) for fn in calls]


def test_threads_share_tokenizers_while_their_inputs_change(cl100k, harmony):
    text = "Threads share one tokenizer: naïve café, 世界, 🎉 and digits 12345.\n" * 8
    texts = [text[: 40 * i] for i in range(10)]
    fixed = [c for tok in (cl100k, harmony) for c in _fixed_calls(tok, text, texts)]
    shared = [Shared(cl100k), Shared(harmony)]
    checked = [c for s in shared for c in s.checks()]

    stop = threading.Event()
    failures: list[str] = []
    calls = [0] * WORKERS
    start = threading.Barrier(WORKERS + 2 + 1)

    def worker(k: int) -> None:
        rng = random.Random(k)
        start.wait()
        try:
            while not stop.is_set():
                fn, want = rng.choice(fixed)
                got = fn()
                if got != want:
                    failures.append(f"fixed call gave {got!r:.200}, not {want!r:.200}")
                name, call, ok = rng.choice(checked)
                got = call()
                if not ok(got):
                    failures.append(f"{name} gave {got!r:.300}")
                calls[k] += 2
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(f"worker {k}: {type(e).__name__}: {e}")
            stop.set()

    def mutator(k: int) -> None:
        rng = random.Random(1000 + k)
        start.wait()
        try:
            while not stop.is_set():
                for s in shared:
                    try:
                        s.mutate(rng)
                    except IndexError:  # the other mutator shortened the list meanwhile
                        pass
        except BaseException as e:  # noqa: BLE001 - reported below
            failures.append(f"mutator {k}: {type(e).__name__}: {e}")
            stop.set()

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(WORKERS)]
    threads += [threading.Thread(target=mutator, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    start.wait()
    began = time.monotonic()
    stop.wait(SECONDS)
    stop.set()
    for t in threads:
        t.join(timeout=120)
    elapsed = time.monotonic() - began
    assert not any(t.is_alive() for t in threads), "a thread did not finish"
    print(f"\nstress: {WORKERS} workers + 2 mutators, {elapsed:.1f} s, {sum(calls)} calls, "
          f"lock {'off' if FREE_THREADED and not sys._is_gil_enabled() else 'on'}")
    assert failures == [], failures[:10]
    assert all(calls), "a worker made no call"


@pytest.mark.skipif(not FREE_THREADED, reason="this interpreter is built with the lock")
def test_the_lock_stays_off_after_import_and_use():
    # A fresh process: the test process may have loaded modules that turned
    # the lock on. PYTHON_GIL is left unset, so only the modules decide.
    code = textwrap.dedent(
        """
        import sys
        assert not sys._is_gil_enabled()
        import zelkor, zelkor._bulk, zelkor._probe, zelkor.stream
        tok = zelkor.Tokenizer("o200k_base")
        ids = tok.encode_batch(["hello world"] * 4, 2)
        zelkor.StreamDecoder(tok).feed(tok.encode("hi"))
        zelkor._probe.pretokens("o200k_base", b"hello world")
        print(sys._is_gil_enabled())
        """
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    out = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=env
    )
    assert out.returncode == 0, out.stderr[-2000:]
    assert out.stdout.split() == ["False"], out.stderr[-2000:]
