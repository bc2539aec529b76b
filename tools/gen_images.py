#!/usr/bin/env python3
"""Generate the seven built-in data images from the published rank lists and
the Unicode Character Database.

    python tools/gen_images.py SOURCE_DIR OUT_DIR

SOURCE_DIR holds cl100k_base.ranks, o200k_base.ranks and unicode-17.0.0/.
"""

from __future__ import annotations

import base64
import struct
import sys
from pathlib import Path

# ---- vocabulary images -----------------------------------------------------------


def vocab_image(ranks_path: Path) -> bytes:
    """count u32, then per token in rank order: len u16, bytes, rank u32."""
    records = []
    expected_rank = 0
    for line in ranks_path.read_bytes().splitlines():
        if not line:
            continue
        b64, rank = line.split(b" ")
        token = base64.b64decode(b64)
        if int(rank) != expected_rank:
            raise ValueError(f"{ranks_path}: ranks are not dense at {expected_rank}")
        records.append(struct.pack("<H", len(token)) + token + struct.pack("<I", int(rank)))
        expected_rank += 1
    return struct.pack("<I", len(records)) + b"".join(records)


# ---- special-token images -------------------------------------------------------

CL100K_SPECIALS = [
    (100257, "<|endoftext|>"),
    (100258, "<|fim_prefix|>"),
    (100259, "<|fim_middle|>"),
    (100260, "<|fim_suffix|>"),
    (100276, "<|endofprompt|>"),
]
O200K_SPECIALS = [(199999, "<|endoftext|>"), (200018, "<|endofprompt|>")]
HARMONY_NAMED = {
    199998: "<|startoftext|>",
    199999: "<|endoftext|>",
    200002: "<|return|>",
    200003: "<|constrain|>",
    200005: "<|channel|>",
    200006: "<|start|>",
    200007: "<|end|>",
    200008: "<|message|>",
    200012: "<|call|>",
    200018: "<|endofprompt|>",
}


def harmony_specials() -> list[tuple[int, str]]:
    out = []
    for i in range(199998, 201088):
        if i in HARMONY_NAMED:
            out.append((i, HARMONY_NAMED[i]))
        if i not in HARMONY_NAMED or i == 200018:
            out.append((i, f"<|reserved_{i}|>"))
    return out


def specials_image(specials: list[tuple[int, str]]) -> bytes:
    """count u32, then per token: id u32, len u16, UTF-8 bytes."""
    parts = [struct.pack("<I", len(specials))]
    for ident, text in specials:
        raw = text.encode("utf-8")
        parts.append(struct.pack("<IH", ident, len(raw)) + raw)
    return b"".join(parts)


# ---- Unicode class images -------------------------------------------------------


def parse_ucd(path: Path) -> dict[str, list[tuple[int, int]]]:
    """Property value -> list of (lo, hi) from a UCD file of `lo..hi ; value` lines."""
    out: dict[str, list[tuple[int, int]]] = {}
    for line in path.read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        cps, value = (f.strip() for f in line.split(";")[:2])
        lo, _, hi = cps.partition("..")
        out.setdefault(value, []).append((int(lo, 16), int(hi or lo, 16)))
    return out


def merged(ranges: list[tuple[int, int]]) -> list[tuple[int, int]]:
    result: list[tuple[int, int]] = []
    for lo, hi in sorted(ranges):
        if result and lo <= result[-1][1] + 1:
            result[-1] = (result[-1][0], max(hi, result[-1][1]))
        else:
            result.append((lo, hi))
    return result


def class_lists(ucd_dir: Path) -> list[list[tuple[int, int]]]:
    gc = parse_ucd(ucd_dir / "DerivedGeneralCategory.txt")
    props = parse_ucd(ucd_dir / "PropList.txt")

    def cats(*names: str) -> list[tuple[int, int]]:
        return merged([r for n in names for r in gc.get(n, [])])

    return [
        cats("Lu", "Ll", "Lt", "Lm", "Lo"),
        cats("Nd", "Nl", "No"),
        merged(props["White_Space"]),
        cats("Lu", "Lt", "Lm", "Lo", "Mn", "Mc", "Me"),
        cats("Ll", "Lm", "Lo", "Mn", "Mc", "Me"),
    ]


def uniclass_image(lists: list[list[tuple[int, int]]]) -> bytes:
    parts = []
    for ranges in lists:
        parts.append(struct.pack("<I", len(ranges)))
        parts.extend(struct.pack("<II", lo, hi) for lo, hi in ranges)
    return b"".join(parts)


def generate(source: Path) -> dict[str, bytes]:
    lists = class_lists(source / "unicode-17.0.0")
    return {
        "cl100k.vocab": vocab_image(source / "cl100k_base.ranks"),
        "o200k.vocab": vocab_image(source / "o200k_base.ranks"),
        "cl100k.special": specials_image(CL100K_SPECIALS),
        "o200k.special": specials_image(O200K_SPECIALS),
        "o200k_harmony.special": specials_image(harmony_specials()),
        "uniclass.bin": uniclass_image(lists[:3]),
        "uniclass_o200k.bin": uniclass_image(lists),
    }


def main(argv: list[str]) -> int:
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    out = Path(argv[2])
    out.mkdir(parents=True, exist_ok=True)
    for name, blob in generate(Path(argv[1])).items():
        (out / name).write_bytes(blob)
        print(f"{name}: {len(blob)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
