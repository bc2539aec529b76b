#!/usr/bin/env python3
"""The benchmark suite: one command, one table.

    python bench/run.py [--corpus DIR] [--passes N] [--quick] [--markdown docs/benchmarks.md]
                        [--chart docs/benchmarks.png]

Measures, from Python and with the installed `zelkor`:
  - per corpus file and encoding, single thread: MB/s and million tokens/s of
    count, encode_ordinary, encode_to_numpy and decode;
  - count_batch and encode_batch_to_numpy on the corpora cut into ~4 KB documents,
    1 and 2 threads;
  - serving-sized batches: microseconds per call of the four batch methods,
    the default thread count and 2 threads against 1 (bench/small_batches.py);
  - construction time per encoding, memory_bytes, peak RSS;
  - chunk and chunk_batch beside count and count_batch (bench/chunk.py);
  - long runs of one character at N, 2N, ... 1 MiB with the time ratio per doubling;
  - the classic-design baseline (bench/baseline_classic.cpp: PCRE2 JIT + merge loop)
    in the same run, its ids checked against zelkor's, and the ratio to it;
  - the hard shapes of bench/hard_shapes.py, with their ratio to prose-en in the same run;
  - prose after hard text: prose-en counted in a fresh process after one call on a hard
    shape, against prose alone (bench/after_hard_text.py).
Every figure is the best of several passes after a warm-up; the figures of one
row are timed in turn within each pass.
"""

from __future__ import annotations

import argparse
import os
import platform
import resource
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import small_batches  # bench/, beside this script
from bench_common import best_of, best_of_each, two_thread_table
import zelkor

ROOT = Path(__file__).resolve().parents[1]
SHARED = ROOT.parent / "shared"
CORPUS = SHARED / "corpus"
RANKS = {"cl100k_base": "cl100k_base.ranks", "o200k_base": "o200k_base.ranks"}
ENCODINGS = ["cl100k_base", "o200k_base"]


def corpus_files(directory: Path) -> list[Path]:
    """The *.txt files of the corpus folder; a clear message and exit when there are none."""
    files = sorted(directory.glob("*.txt"))
    if not files:
        sys.exit(f"no corpus: {directory} holds no *.txt files; give a folder of UTF-8 texts "
                 f"with --corpus DIR (default: {CORPUS})")
    return files


def build_baseline() -> Path | None:
    out = ROOT / "build" / "bench" / "baseline_classic"
    src = ROOT / "bench" / "baseline_classic.cpp"
    if out.exists() and out.stat().st_mtime >= src.stat().st_mtime:
        return out
    cxx = shutil.which("g++") or shutil.which("c++")
    if not cxx:
        return None
    out.parent.mkdir(parents=True, exist_ok=True)
    proc = subprocess.run([cxx, "-O2", "-std=c++20", str(src), "-lpcre2-8", "-o", str(out)], capture_output=True)
    if proc.returncode != 0:
        print("baseline not built (needs libpcre2-dev):", proc.stderr.decode()[-300:], file=sys.stderr)
        return None
    return out


def run_baseline(exe: Path, encoding: str, path: Path, passes: int, tok) -> tuple[float, bool]:
    with tempfile.NamedTemporaryFile(suffix=".ids") as dump:
        proc = subprocess.run(
            [str(exe), encoding, str(SHARED / "data" / RANKS[encoding]), str(path), "--dump", dump.name,
             "--passes", str(passes)],
            capture_output=True, check=True,
        )
        seconds = float(proc.stdout.split()[0])
        same = Path(dump.name).read_bytes() == tok.encode_to_buffer(path.read_text(encoding="utf-8"),
                                                                     disallowed_special=())
    return seconds, same


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--corpus", type=Path, default=CORPUS, metavar="DIR",
                    help=f"folder of the UTF-8 *.txt files to time (default: {CORPUS})")
    ap.add_argument("--passes", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="fewer passes and shorter long runs")
    ap.add_argument("--markdown", type=Path, help="also write the tables to this file")
    ap.add_argument("--chart", type=Path, help="write a PNG chart (needs matplotlib)")
    ap.add_argument("--no-baseline", action="store_true")
    args = ap.parse_args()
    passes = 2 if args.quick else args.passes
    files = corpus_files(args.corpus)
    lines: list[str] = []

    def emit(line: str = "") -> None:
        print(line, flush=True)
        lines.append(line)

    emit(f"# zelkor {zelkor.__version__} benchmarks")
    emit()
    emit(f"Machine: {platform.machine()}, {os.cpu_count()} CPUs, {platform.platform()}, "
         f"Python {platform.python_version()}.")
    emit(f"Command: `python bench/run.py{' --quick' if args.quick else ''}`; best of {passes} passes after a warm-up.")
    emit()

    # Construction.
    emit("## Construction")
    emit()
    emit("| encoding | ms | memory_bytes |")
    emit("|---|---:|---:|")
    toks = {}
    for name in zelkor.BUILTIN_ENCODINGS:
        t = best_of(lambda: zelkor.Tokenizer(name), passes)
        toks[name] = zelkor.Tokenizer(name)
        emit(f"| {name} | {t * 1e3:.1f} | {toks[name].memory_bytes:,} |")
    emit()

    baseline = None if args.no_baseline else build_baseline()
    chart_rows = []
    emit("## Single thread, from Python (MB/s, Mtok/s in parentheses)")
    emit()
    emit("| corpus | encoding | count | encode_ordinary | encode_to_numpy | decode | baseline | count / baseline |")
    emit("|---|---|---:|---:|---:|---:|---:|---:|")
    for path in files:
        text = path.read_text(encoding="utf-8")
        mb = len(text.encode("utf-8")) / 1e6
        for enc in ENCODINGS:
            tok = toks[enc]
            ids = tok.encode_ordinary(text)
            mt = len(ids) / 1e6
            t_count, t_enc, t_np, t_dec = best_of_each(
                [lambda: tok.count(text), lambda: tok.encode_ordinary(text),
                 lambda: tok.encode_to_numpy(text, disallowed_special=()), lambda: tok.decode(ids)],
                passes)
            cells = [f"{mb / t:.0f} ({mt / t:.1f})" for t in (t_count, t_enc, t_np, t_dec)]
            base = ratio = "-"
            base_mbs = None
            if baseline is not None:
                # The baseline (two passes a call) and count take turns, so
                # that a slow spell of the machine falls on both alike.
                t_base, same = float("inf"), True
                for _ in range(max(1, passes // 2)):
                    t, ok = run_baseline(baseline, enc, path, 2, tok)
                    t_base, same = min(t_base, t), same and ok
                    t_count = min(t_count, best_of(lambda: tok.count(text), 2))
                cells[0] = f"{mb / t_count:.0f} ({mt / t_count:.1f})"
                base_mbs = mb / t_base
                base = f"{base_mbs:.1f}" + ("" if same else " (ids differ!)")
                ratio = f"{t_base / t_count:.1f}x"
            chart_rows.append((path.stem, enc, mb / t_count, base_mbs))
            emit(f"| {path.stem} | {enc} | " + " | ".join(cells) + f" | {base} | {ratio} |")
    emit()

    two_thread_table(
        emit, "## Batches of ~4 KB documents (MB/s)", files, toks, ENCODINGS, passes,
        ("count_batch", lambda tok, docs, t: tok.count_batch(docs, threads=t)),
        ("encode_batch_to_numpy", lambda tok, docs, t: tok.encode_batch_to_numpy(docs, threads=t)))

    small_batches.run(emit, passes, args.quick, args.corpus)

    import chunk as chunk_bench  # bench/chunk.py, beside this file

    chunk_bench.tables(emit, files, toks, ENCODINGS, passes)

    emit("## Long runs of one character (`count`, ms; ratio per doubling)")
    emit()
    top = 1 << (18 if args.quick else 20)
    sizes = []
    n = 1 << 14
    while n <= top:
        sizes.append(n)
        n *= 2
    emit("| input | encoding | " + " | ".join(f"{s >> 10} KiB" for s in sizes) + " | worst ratio |")
    emit("|---|---|" + "---:|" * (len(sizes) + 1))
    runs = {"letter a": "a", "CJK \u4f60": "\u4f60", "punctuation !": "!", "spaces": " ", "digits 1": "1"}
    for label, ch in runs.items():
        width = len(ch.encode("utf-8"))
        for enc in ENCODINGS:
            tok = toks[enc]
            times = [best_of(lambda: tok.count(ch * (s // width)), max(2, passes // 2)) for s in sizes]
            ratios = [b / a for a, b in zip(times, times[1:])]
            emit(f"| {label} | {enc} | " + " | ".join(f"{t * 1e3:.2f}" for t in times) + f" | {max(ratios):.2f} |")
    emit()
    import hard_shapes  # bench/, beside this file

    emit("## Hard shapes, 512 KiB each (`count` and `encode_ordinary`, MB/s; ratio to prose-en)")
    emit()
    hard_shapes.table({e: toks[e] for e in ENCODINGS}, max(1, passes // 2), emit)
    prose = args.corpus / "prose-en.txt"
    if prose.exists():
        import after_hard_text  # bench/, beside this file

        emit()
        emit("## Prose after hard text (`count`, each row a fresh process)")
        emit()
        after_hard_text.table(emit, max(2, passes // 2), prose)
        emit()
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    emit(f"Peak RSS of the benchmark process: {peak / 1024:.0f} MiB.")

    if args.markdown:
        args.markdown.parent.mkdir(parents=True, exist_ok=True)
        args.markdown.write_text("\n".join(lines) + "\n", encoding="utf-8")
    if args.chart:
        chart(chart_rows, args.chart)
    return 0


def chart(rows, out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    labels = [f"{c}\n{e.split('_')[0]}" for c, e, _, _ in rows]
    xs = range(len(rows))
    fig, ax = plt.subplots(figsize=(10, 4.5))
    ax.bar([x - 0.2 for x in xs], [r[2] for r in rows], width=0.4, label="zelkor count")
    ax.bar([x + 0.2 for x in xs], [r[3] or 0 for r in rows], width=0.4, label="classic baseline (PCRE2 + merge loop)")
    ax.set_xticks(list(xs))
    ax.set_xticklabels(labels, fontsize=8)
    ax.set_ylabel("MB/s, one thread")
    ax.set_title("zelkor against the classic design")
    ax.legend()
    fig.tight_layout()
    fig.savefig(out, dpi=120)


if __name__ == "__main__":
    sys.exit(main())
