#!/usr/bin/env python3
"""Hard shapes of text: inputs that are one long pre-token or many distinct ones.

    python bench/hard_shapes.py [--passes N] [--size BYTES] [--only SUBSTRING] [--encoding NAME] [--prose FILE]
    python bench/hard_shapes.py --dump DIR    # the shapes as files, for bench_shapes.cpp

Every shape is generated from a fixed seed, `--size` bytes of UTF-8 each (512 KiB by
default). The table gives `count` and `encode_ordinary` in MB/s, one thread, and the
ratio to prose-en.txt timed in the same run. bench/run.py prints it as one section.
"""

from __future__ import annotations

import argparse
import random
import string
import sys
from pathlib import Path

import zelkor
from bench_common import best_of  # bench/, beside this file

ROOT = Path(__file__).resolve().parents[1]
PROSE = ROOT.parent / "shared" / "corpus" / "prose-en.txt"
SIZE = 512 * 1024
SEED = 20261209

BASE64 = string.ascii_letters + string.digits + "+/"
PROTEIN = "ACDEFGHIKLMNPQRSTVWY"
WHITESPACE = " \t\n\r\x0b\x0c\x85\xa0\u1680\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a" \
             "\u2028\u2029\u202f\u205f\u3000"
LATIN1_PRINTABLE = "".join(chr(c) for c in range(0xA1, 0x100))
PATTERNS = ["ab", "-=", "=-", "+-", "<>", "/*", "_-", ". ", ", ", "a ", " a", "\t ", " \n", "\r\n", "!?",
            "aB", "0.", "ab ", "abc", "-=-", "+--", "...", "1, ", "+--+", "abcd", "xyz1", "ab1 ", "<!--",
            "=-=-"]


def fill(size: int, piece) -> str:
    """Calls piece() until the UTF-8 length reaches `size`, then cuts to exactly `size` bytes
    (or a character less)."""
    parts, n = [], 0
    while n < size:
        p = piece()
        parts.append(p)
        n += len(p.encode("utf-8"))
    return "".join(parts).encode("utf-8")[:size].decode("utf-8", errors="ignore")


def word(rng: random.Random, lo: int, hi: int, chars: str = string.ascii_lowercase) -> str:
    return "".join(rng.choice(chars) for _ in range(rng.randint(lo, hi)))


def lines(size: int, width: int, chars: str, rng: random.Random) -> str:
    return fill(size, lambda: "".join(rng.choice(chars) for _ in range(width)) + "\n")


def chars_in(lo: int, hi: int, rng: random.Random, count: int = 64) -> str:
    return "".join(chr(rng.randint(lo, hi)) for _ in range(count))


def chars_among(ranges: list[tuple[int, int]], rng: random.Random, count: int = 64) -> str:
    """Each character from one of the code-point ranges, chosen at random."""
    return "".join(chr(rng.randint(*rng.choice(ranges))) for _ in range(count))


def catalogue(size: int = SIZE, seed: int = SEED) -> list[tuple[str, str]]:
    """(name, text) for every shape, in a fixed order; the same for the same size and seed."""
    rng = random.Random(seed)
    reps = lambda unit: (unit * (size // len(unit.encode("utf-8")) + 1)).encode("utf-8")[:size].decode(
        "utf-8", errors="ignore")
    shapes: list[tuple[str, str]] = []
    for c in string.punctuation + string.ascii_letters + string.digits + " \t\n\r\x0b\x0c\xa0\u3000":
        shapes.append((f"run {c!r}", reps(c)))
    randoms = ["".join(rng.choice(string.printable[:94]) for _ in range(rng.randint(2, 4))) for _ in range(12)]
    for unit in PATTERNS + randoms:
        shapes.append((f"pattern {unit!r}", reps(unit)))

    def rand(chars: str) -> str:
        return fill(size, lambda: "".join(rng.choice(chars) for _ in range(256)))

    shapes += [
        ("random letters, one line", rand(string.ascii_letters)),
        ("random lowercase, one line", rand(string.ascii_lowercase)),
        ("words of 30-200 letters", fill(size, lambda: "".join(
            rng.choice(string.ascii_lowercase) for _ in range(rng.randint(30, 200))) + " ")),
        ("random digits", rand(string.digits)),
        ("random punctuation", rand(string.punctuation)),
        ("random printable ASCII", rand(string.printable[:95])),
        ("hex, one line", rand("0123456789abcdef")),
        ("hex, 64 columns", lines(size, 64, "0123456789abcdef", rng)),
        ("base64, one line", rand(BASE64)),
        ("base64, 76 columns", lines(size, 76, BASE64, rng)),
        ("DNA, one line", rand("ACGT")),
        ("DNA, 60 columns", lines(size, 60, "ACGT", rng)),
        ("protein, one line", rand(PROTEIN)),
        ("protein, 60 columns", lines(size, 60, PROTEIN, rng)),
        ("UUIDs", fill(size, lambda: "%08x-%04x-%04x-%04x-%012x\n" % tuple(
            rng.getrandbits(b) for b in (32, 16, 16, 16, 48)))),
        ("random CJK", fill(size, lambda: chars_in(0x4E00, 0x9FFF, rng))),
        ("random Hangul", fill(size, lambda: chars_in(0xAC00, 0xD7A3, rng))),
        ("random emoji", fill(size, lambda: chars_in(0x1F300, 0x1FAFF, rng))),
        ("random Cyrillic", fill(size, lambda: chars_in(0x400, 0x4FF, rng))),
        ("random Devanagari", fill(size, lambda: chars_in(0x900, 0x97F, rng))),
        ("combining-mark stacks", fill(size, lambda: rng.choice(string.ascii_letters) + "".join(
            chr(rng.randint(0x300, 0x36F)) for _ in range(rng.randint(1, 8))))),
        ("mixed Unicode whitespace", rand(WHITESPACE)),
        ("random BMP code points", fill(size, lambda: "".join(
            c for c in chars_in(0x20, 0xFFFD, rng) if not 0xD800 <= ord(c) <= 0xDFFF))),
        ("lines of 300-1000 '-'", fill(size, lambda: "-" * rng.randint(300, 1000) + "\n")),
    ]
    shapes += repeated_lines(size, rng)
    # Added later, at the end so that the other shapes keep their numbers.
    shapes += [
        ("words of 5-12 letters", fill(size, lambda: " " + "".join(
            rng.choice(string.ascii_lowercase) for _ in range(rng.randint(5, 12))))),
        ("camelCase words", fill(size, lambda: " " + "".join(
            rng.choice(string.ascii_uppercase if rng.random() < 0.2 else string.ascii_lowercase)
            for _ in range(rng.randint(5, 40))))),
        ("random Latin-1 characters", fill(size, lambda: chars_in(0x01, 0xFF, rng))),
        ("random Greek", fill(size, lambda: chars_in(0x370, 0x3FF, rng))),
        ("random Arabic", fill(size, lambda: chars_in(0x600, 0x6FF, rng))),
        ("random Hebrew", fill(size, lambda: chars_in(0x5D0, 0x5EA, rng))),
        ("random uppercase, one line", rand(string.ascii_uppercase)),
        ("random lowercase and spaces", rand(string.ascii_lowercase + " ")),
        ("random accented lowercase", fill(size, lambda: chars_among(
            [(0x61, 0x7A), (0xE0, 0xF6), (0xF8, 0xFF)], rng))),
        ("random Cyrillic lowercase", fill(size, lambda: chars_in(0x430, 0x44F, rng))),
        ("random letters and digits", rand(string.ascii_letters + string.digits)),
        ("base32, one line", rand(string.ascii_uppercase + "234567")),
        ("random Thai", fill(size, lambda: chars_among([(0xE01, 0xE3A), (0xE40, 0xE4E)], rng))),
        ("random hiragana", fill(size, lambda: chars_in(0x3041, 0x3096, rng))),
        ("random katakana", fill(size, lambda: chars_in(0x30A1, 0x30FA, rng))),
        ("random Armenian", fill(size, lambda: chars_in(0x561, 0x586, rng))),
        ("random Georgian", fill(size, lambda: chars_in(0x10D0, 0x10FA, rng))),
        ("random Tamil", fill(size, lambda: chars_among([(0xB85, 0xBB9), (0xBBE, 0xBCD)], rng))),
        ("random printable ASCII and Latin-1", rand(string.printable[:94] + LATIN1_PRINTABLE)),
        ("random Latin Extended-A", fill(size, lambda: chars_in(0x100, 0x17F, rng))),
        ("random IPA", fill(size, lambda: chars_in(0x250, 0x2AF, rng))),
        ("random math symbols", fill(size, lambda: chars_in(0x2200, 0x22FF, rng))),
        ("box-drawing frames", fill(size, lambda: "\u250c" + "\u2500" * rng.randint(10, 200) + "\u2510\n")),
        ("random lowercase and punctuation", rand(string.ascii_lowercase + ".,;:!?")),
        ("random Cyrillic words", fill(size, lambda: " " + chars_in(0x430, 0x44F, rng, rng.randint(2, 12)))),
        ("random letters and apostrophes", rand(string.ascii_letters + "'")),
        ("random URLs", fill(size, lambda: "https://" + word(rng, 3, 12) + ".com/" + "/".join(
            word(rng, 2, 10, string.ascii_letters + string.digits + "-_") for _ in range(rng.randint(1, 5)))
            + f"?id={rng.randint(0, 10**9)}\n")),
        ("zero-width characters among letters", rand("ab\u200b\u200c\u200d\u2060\ufeff")),
        ("random supplementary CJK", fill(size, lambda: chars_in(0x20000, 0x2A6DF, rng))),
        ("random fullwidth forms", fill(size, lambda: chars_in(0xFF01, 0xFF5E, rng))),
        ("emoji with joiners and selectors", fill(size, lambda: rng.choice(
            ["\U0001F468\u200d\U0001F469\u200d\U0001F467", chr(rng.randint(0x1F600, 0x1F64F)) + "\ufe0f"]))),
        ("random flags", fill(size, lambda: chr(0x1F1E6 + rng.randint(0, 25)) + chr(0x1F1E6 + rng.randint(0, 25)))),
    ]
    return shapes


def repeated_lines(size: int, rng: random.Random) -> list[tuple[str, str]]:
    """Lines of 256-1039 bytes that repeat a short unit: each one a single pre-token, too long
    for the long-piece store and too short to be cut into the piece encoder's chunks."""
    def line(unit: str, lo: int = 256, hi: int = 1039, before: str = "") -> str:
        return fill(size, lambda: before + (unit * hi)[:rng.randint(lo, hi)] + "\n")

    shapes = [(f"lines of 256-1039 {c!r}", line(c)) for c in string.punctuation]
    # Whitespace and tab/space patterns after a letter: the run and its newline are one piece.
    shapes += [(f"lines of 256-1039 {u!r}", line(u, before="x"))
               for u in [" ", "\t", "\x0b", "\x0c", "\xa0", "\u3000", "\t ", " \t", "\t  "]]
    shapes += [(f"lines of 256-1039 {u!r}", line(u))
               for u in ["-=", "+-", ". ", "/*", "_-", "+--", "+--+", "<!--", "ab", "abc"]]
    # Without the letter: consecutive lines are one pre-token.
    shapes += [(f"whitespace-only lines of 256-1039 {u!r}", line(u)) for u in ["\t", " "]]
    shapes += [
        ("lines of random tabs and spaces", fill(size, lambda: "x" + "".join(
            rng.choice(" \t") for _ in range(rng.randint(256, 1039))) + "\n")),
        ("'=' rules of 20-1100", line("=", 20, 1100)),
        ("markdown rules '|---|---|'", fill(size, lambda: "|" + "---|" * rng.randint(64, 260) + "\n")),
        ("markdown rules of mixed widths", fill(size, lambda: "|" + "|".join(
            "-" * rng.randint(3, 12) for _ in range(rng.randint(30, 100))) + "|\n")),
    ]
    return shapes


def table(toks: dict, passes: int, emit, size: int = SIZE, only: str = "", prose_path: Path = PROSE) -> None:
    """Emits the markdown table: per shape and encoding, count and encode MB/s and their
    ratio to prose-en.txt (`prose_path`) in this run; then the worst ratio of each column."""
    prose = prose_path.read_text(encoding="utf-8")
    prose_mb = len(prose.encode("utf-8")) / 1e6
    encs = list(toks)
    ref = {}
    for enc in encs:
        tok = toks[enc]
        ref[enc] = (prose_mb / best_of(lambda: tok.count(prose), passes),
                    prose_mb / best_of(lambda: tok.encode_ordinary(prose), passes))
    emit("prose-en.txt in this run (MB/s, count / encode): " + ", ".join(
        f"{enc} {c:.0f} / {e:.0f}" for enc, (c, e) in ref.items()))
    emit()
    emit("| shape | " + " | ".join(f"{e} count | ratio | {e} encode | ratio" for e in encs) + " |")
    emit("|---|" + "---:|" * (4 * len(encs)))
    worst = {(enc, k): (float("inf"), "") for enc in encs for k in range(2)}
    for name, text in catalogue(size):
        if only and only not in name:
            continue
        mb = len(text.encode("utf-8")) / 1e6
        cells = []
        for enc in encs:
            tok = toks[enc]
            for k, fn in enumerate((lambda: tok.count(text), lambda: tok.encode_ordinary(text))):
                speed = mb / best_of(fn, passes)
                ratio = speed / ref[enc][k]
                worst[(enc, k)] = min(worst[(enc, k)], (ratio, name))
                cells += [f"{speed:.0f}", f"{ratio:.3f}"]
        emit(f"| {name} | " + " | ".join(cells) + " |")
    emit()
    for (enc, k), (ratio, name) in worst.items():
        emit(f"- worst {('count', 'encode')[k]} ratio, {enc}: {ratio:.3f} ({name})")
    emit()


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--passes", type=int, default=3)
    ap.add_argument("--size", type=int, default=SIZE)
    ap.add_argument("--only", default="", help="only shapes whose name contains this")
    ap.add_argument("--encoding", action="append", help="default: cl100k_base and o200k_base")
    ap.add_argument("--prose", type=Path, default=PROSE, help="the prose text the ratios are to")
    ap.add_argument("--dump", type=Path, help="write the shapes to files in this directory and stop")
    args = ap.parse_args()
    if args.dump:
        args.dump.mkdir(parents=True, exist_ok=True)
        for i, (name, text) in enumerate(catalogue(args.size)):
            if args.only in name:
                (args.dump / f"{i:03d}.txt").write_bytes(text.encode("utf-8"))
                print(f"{i:03d}.txt  {name}")
        return 0
    if not args.prose.is_file():
        print(f"no {args.prose}", file=sys.stderr)
        return 2
    toks = {e: zelkor.Tokenizer(e) for e in (args.encoding or ["cl100k_base", "o200k_base"])}
    table(toks, args.passes, lambda line="": print(line, flush=True), args.size, args.only, args.prose)
    return 0


if __name__ == "__main__":
    sys.exit(main())
