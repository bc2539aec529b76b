"""Writes the seed corpora of the fuzz targets into fuzz/corpus/.

The seeds are committed; run this only to recreate them:
    python3 fuzz/make_seeds.py
"""

from __future__ import annotations

import struct
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
CORPUS = HERE / "corpus"


def vocab(records: list[tuple[bytes, int]]) -> bytes:
    out = struct.pack("<I", len(records))
    for tok, rank in records:
        out += struct.pack("<H", len(tok)) + tok + struct.pack("<I", rank)
    return out


def specials(records: list[tuple[int, bytes]], tail: bytes = b"") -> bytes:
    out = struct.pack("<I", len(records))
    for sid, text in records:
        out += struct.pack("<IH", sid, len(text)) + text
    return out + tail


def uclass(lists: list[list[tuple[int, int]]]) -> bytes:
    out = b""
    for ranges in lists:
        out += struct.pack("<I", len(ranges))
        for lo, hi in ranges:
            out += struct.pack("<II", lo, hi)
    return out


def single_bytes() -> list[tuple[bytes, int]]:
    return [(bytes([b]), b) for b in range(256)]


def write(target: str, name: str, data: bytes) -> None:
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def vocab_seeds() -> None:
    worked = single_bytes() + [(b"bc", 256), (b"ab", 257), (b"abc", 258)]
    write("fuzz_vocab_image", "worked_example", vocab(worked))
    write("fuzz_vocab_image", "descending_ranks", vocab(list(reversed(worked))))
    # Long and odd-length tokens (two-byte steps and a last odd byte), a
    # three-byte character and its neighbours, and a duplicate string.
    extra = [b"he", b"ll", b"hell", b"hello", b" w", b" wo", b"rl", b" wor", b" world",
             "\u4e00".encode(), "\u4e00\u4e01".encode(), b"\xe4\xb8", b"abcdefgh",
             b"ab", b"cd", b"abcd", b"efgh", b"ef", b"gh", b"hell"]
    rich = single_bytes() + [(t, 256 + i) for i, t in enumerate(extra)]
    write("fuzz_vocab_image", "merges_and_duplicates", vocab(rich))
    write("fuzz_vocab_image", "missing_byte", vocab(single_bytes()[1:] + [(b"\x00\x00", 255)]))
    write("fuzz_vocab_image", "truncated", vocab(worked)[:900])
    write("fuzz_vocab_image", "header_only", struct.pack("<I", 262144))


def specials_seeds() -> None:
    data = ROOT / "data"
    for name in ("cl100k.special", "o200k.special"):
        write("fuzz_specials_image", name, (data / name).read_bytes())
    write("fuzz_specials_image", "empty_list", struct.pack("<I", 0))
    write("fuzz_specials_image", "junk_after", specials([(7, b"<|x|>")], b"\xff\xff\xff"))
    write("fuzz_specials_image", "longest_and_utf8",
          specials([(1, b"x" * 64), (1, "\u00e9\u4e00\U0001f600".encode()), (5, b"<|x|>")]))
    write("fuzz_specials_image", "bad_utf8", specials([(3, b"ok"), (4, b"\xed\xa0\x80")]))


def uclass_seeds() -> None:
    write("fuzz_uclass_image", "uniclass.bin", (ROOT / "data" / "uniclass.bin").read_bytes())
    write("fuzz_uclass_image", "five_lists",
          uclass([[(0x41, 0x5A), (0x61, 0x7A), (0xFFF0, 0x10010)], [(0x30, 0x39)],
                  [(0x09, 0x0D), (0x20, 0x20)], [(0x41, 0x5A), (0x10FFFF, 0x10FFFF)],
                  [(0x61, 0x7A)]]))
    write("fuzz_uclass_image", "unsorted_overlapping",
          uclass([[(0x20000, 0x20010), (0x100, 0x200), (0x150, 0x300), (0x301, 0x301)],
                  [], [(0x10000, 0x10FFFF), (0, 0x10)]]) + b"junk")
    write("fuzz_uclass_image", "too_few_lists", uclass([[(0x41, 0x5A)], [(0x30, 0x39)]]))


def encode_seeds() -> None:
    corpus = ROOT.parent / "shared" / "corpus"
    for name in ("prose-en.txt", "code-python.txt", "prose-multilingual.txt", "cjk.txt"):
        path = corpus / name
        if path.is_file():
            # A cut at a byte boundary may split a character: so much the better.
            write("fuzz_encode", name.removesuffix(".txt"), path.read_bytes()[20000:20600])
    write("fuzz_encode", "shapes",
          "HelloWorld parseHTML HTMLParser don't They'RE 'sure x's' 1234 x\u00b2\u00b3 a.b "
          "path/to/\n )/\n\n a\n  b\u3000\u3000y e\u0301 \u0301abc \u4e00\u4e01 \r\n\t... "
          "\U0001f600\U0001f600".encode())
    write("fuzz_encode", "raw_bytes",
          b"\xaabc \x80!! \xe4\xb8 \xf0\x9f\x98 \xff\xfe \xc3 \xe0\x80\x80 \xed\xa0\x80 \x00\x01\x7f "
          b"\xa0\x85 \xb2\xb3 " + b" " * 40 + b"\n" + b"a" * 70)


def specials_encode_seeds() -> None:
    # A mask of allowed specials, then two-byte ops (see the target).
    write("fuzz_specials_encode", "whole_specials",
          b"\xff\xff\xff\xff" + bytes([0, 0, 3 << 2 | 3]) + b"hi " + bytes([0, 1, 0, 2, 0, 5]))
    write("fuzz_specials_encode", "broken_specials",
          b"\x55\x55\x55\x55" + bytes([1 | 5 << 2, 0, 2 | 3 << 2, 0, 0, 3, 1 | 7 << 2, 1, 0, 4]))
    write("fuzz_specials_encode", "mixed",
          b"\x0f\x00\xf0\x00" + bytes(x for i in range(40) for x in (i * 37 % 256, i * 11 % 256)))


if __name__ == "__main__":
    vocab_seeds()
    specials_seeds()
    uclass_seeds()
    encode_seeds()
    specials_encode_seeds()
