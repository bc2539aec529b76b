"""The pre-tokenizers against the published split patterns, run by the
`regex` package, on the corpus files and on generated text.

The `regex` package carries its own Unicode version. Generated text only uses
code points whose General_Category (and White_Space property) is the same in
`regex` and in the Unicode 17.0.0 data that the class tables are built from.
"""

from __future__ import annotations

import bisect
import functools
from pathlib import Path

import pytest

regex = pytest.importorskip("regex")
hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

try:
    from zelkor import _probe
except ImportError:
    raise ImportError(
        "zelkor._probe is built only on request: "
        "pip install '.[test]' -C cmake.define.ZELKOR_PROBE=ON"
    ) from None

from reference import corpus_files  # noqa: E402

# General_Category and White_Space of Unicode 17.0.0, as the images were made from.
UCD = Path(__file__).resolve().parent / "data" / "unicode-17.0.0"

_C = r"(?:[sS]|[tT]|[mM]|[dD]|[rR][eE]|[vV][eE]|[lL][lL])"
_U = r"[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]"
_L = r"[\p{Ll}\p{Lm}\p{Lo}\p{M}]"
_S = rf"(?:'{_C})?"
_SPACE_RULES = r"|\p{White_Space}*[\r\n]+|\p{White_Space}+(?!\P{White_Space})|\p{White_Space}+"

PATTERNS = {
    "cl100k_base": regex.compile(
        rf"'{_C}|[^\r\n\p{{L}}\p{{N}}]?\p{{L}}+|\p{{N}}{{1,3}}"
        r"| ?[^\p{White_Space}\p{L}\p{N}]+[\r\n]*" + _SPACE_RULES
    ),
    "o200k_base": regex.compile(
        rf"[^\r\n\p{{L}}\p{{N}}]?{_U}*{_L}+{_S}|[^\r\n\p{{L}}\p{{N}}]?{_U}+{_L}*{_S}"
        r"|\p{N}{1,3}| ?[^\p{White_Space}\p{L}\p{N}]+[\r\n/]*" + _SPACE_RULES
    ),
}
ENCODINGS = sorted(PATTERNS)


def reference_ends(encoding: str, text: str) -> list[int]:
    ends, chars, nbytes = [], 0, 0
    for m in PATTERNS[encoding].finditer(text):
        assert m.start() == chars, "reference pattern left a gap"
        chars = m.end()
        nbytes += len(m.group().encode())
        ends.append(nbytes)
    assert chars == len(text)
    return ends


def assert_same_split(encoding: str, text: str) -> None:
    data = text.encode()
    got = _probe.pretokens(encoding, data)
    want = reference_ends(encoding, text)
    if got == want:
        return
    i = next((k for k, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    start = got[i - 1] if i else 0
    got_end = got[i] if i < len(got) else None
    want_end = want[i] if i < len(want) else None
    context = data[max(0, start - 20) : start + 40]
    pytest.fail(
        f"{encoding}: pre-token {i} at byte {start}: got end {got_end}, want {want_end}; "
        f"context {context!r}"
    )


# ---- corpus files -----------------------------------------------------------------


@pytest.mark.parametrize("path", corpus_files(), ids=lambda p: p.name)
@pytest.mark.parametrize("encoding", ENCODINGS)
def test_corpus_file(encoding: str, path: Path) -> None:
    assert_same_split(encoding, path.read_text(encoding="utf-8"))


def test_harmony_splits_as_o200k() -> None:
    data = "Hello World's 1234 \u00e9t\u00e9\n\n  x".encode()
    assert _probe.pretokens("o200k_harmony", data) == _probe.pretokens("o200k_base", data)


def test_rejects_unknown_encoding_and_non_bytes() -> None:
    with pytest.raises(ValueError):
        _probe.pretokens("p50k_base", b"x")
    with pytest.raises(TypeError):
        _probe.pretokens("cl100k_base", "x")


# ---- code points on which both Unicode versions agree -----------------------------

GENERAL_CATEGORIES = (
    "Lu Ll Lt Lm Lo Mn Mc Me Nd Nl No Pc Pd Ps Pe Pi Pf Po Sm Sc Sk So Zs Zl Zp Cc Cf Co Cn"
).split()


def _ucd_ranges(name: str) -> tuple[list[int], list[int], list[str]]:
    """Sorted (starts, ends, values) of a UCD property file."""
    rows = []
    for line in (UCD / name).read_text(encoding="utf-8").splitlines():
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        cps, value = (f.strip() for f in line.split(";"))
        lo, _, hi = cps.partition("..")
        rows.append((int(lo, 16), int(hi or lo, 16), value))
    rows.sort()
    return [r[0] for r in rows], [r[1] for r in rows], [r[2] for r in rows]


def _lookup(table, cp: int, default: str) -> str:
    starts, ends, values = table
    i = bisect.bisect_right(starts, cp) - 1
    return values[i] if i >= 0 and cp <= ends[i] else default


@functools.cache
def agreeing(cps: tuple[int, ...]) -> list[str]:
    """The code points of cps whose category and White_Space agree."""
    gc_table = _ucd_ranges("DerivedGeneralCategory.txt")
    props = _ucd_ranges("PropList.txt")
    ws_table = tuple(
        [x for x, v in zip(col, props[2]) if v == "White_Space"] for col in props
    )
    chars = [chr(c) for c in cps if not 0xD800 <= c <= 0xDFFF]
    joined = "".join(chars)
    theirs: dict[int, str] = {}
    for gc in GENERAL_CATEGORIES:
        for m in regex.finditer(rf"\p{{gc={gc}}}+", joined):
            for k in range(m.start(), m.end()):
                theirs[k] = gc
    space = {m.start() for m in regex.finditer(r"\p{White_Space}", joined)}
    keep = []
    for k, ch in enumerate(chars):
        cp = ord(ch)
        same_gc = theirs.get(k) == _lookup(gc_table, cp, "Cn")
        same_ws = (k in space) == (_lookup(ws_table, cp, "") == "White_Space")
        if same_gc and same_ws:
            keep.append(ch)
    assert keep
    return keep


def _cps(*spans: tuple[int, int] | int) -> tuple[int, ...]:
    out: list[int] = []
    for s in spans:
        lo, hi = (s, s) if isinstance(s, int) else s
        out.extend(range(lo, hi + 1))
    return tuple(out)


WHITE_SPACE = _cps((0x09, 0x0D), 0x20, 0x85, 0xA0, 0x1680, (0x2000, 0x200A), 0x2028, 0x2029,
                   0x202F, 0x205F, 0x3000)
POOLS = {
    "ascii": _cps((0x00, 0x7F)),
    "latin": _cps((0x41, 0x5A), (0x61, 0x7A), (0xC0, 0x24F), (0x300, 0x36F), (0x1E00, 0x1EFF),
                  (0x370, 0x3FF), (0x400, 0x4FF), 0x01C5, 0x02B0, 0x20, 0x27, 0x2E),
    "cjk": _cps((0x4E00, 0x4E80), (0xAC00, 0xAC80), (0x1100, 0x1112), (0x3040, 0x30FF),
                (0x3000, 0x303F), (0xFF01, 0xFF5E), (0x41, 0x43), 0x20, 0x0A),
    "astral": _cps((0x1F300, 0x1F320), (0x1F3FB, 0x1F3FF), (0x1F1E6, 0x1F1FF), (0x20000, 0x20040),
                   (0x1D400, 0x1D440), (0x1D7CE, 0x1D7FF), (0x10400, 0x1044F), (0x1E900, 0x1E95F),
                   (0x323B0, 0x323C0), (0x16FF0, 0x16FF6), (0x11DE0, 0x11DE9), (0xE0100, 0xE0110),
                   (0x1F100, 0x1F10C), 0x200D, 0xFE0F, 0x20, 0x61, 0x41, 0x27),
    "space": WHITE_SPACE + _cps(0x200B, 0x180E, 0xFEFF, 0x61, 0x41, 0x2E, 0x31),
    "digits": _cps((0x30, 0x39), (0x660, 0x669), (0x6F0, 0x6F9), (0x966, 0x96F), (0xFF10, 0xFF19),
                   0xB2, 0xB3, 0xB9, (0xBC, 0xBE), (0x2160, 0x2188), (0x2460, 0x249B), 0x3007,
                   0x20, 0x2C, 0x2E, 0x78),
}
# Mostly ASCII with the two-byte characters of European text: words with
# accents cross the 64-byte windows.
POOLS["accents"] = _cps((0x41, 0x5A), (0x61, 0x7A), (0x61, 0x7A), 0x20, 0x20, 0x20, 0x0A, 0x27, 0x2C,
                        0x2E, 0x31, 0xA0, 0xAB, 0xBB, 0xB2, 0xC9, 0xDF, 0xE0, 0xE9, 0xE7, 0xF6, 0xFC,
                        0x1C5, 0x2B0, 0x301, 0x414, 0x434, 0x3B1, 0x2019)
# Latin-1 whole: its signs (punctuation, symbols) among letters, digits and
# spaces, as other code points inside the windows.
POOLS["latin1"] = _cps((0x20, 0x7E), (0xA0, 0xFF), (0xA1, 0xBF), (0xA1, 0xBF), 0x0A)
POOLS["mixed"] = tuple(sorted(set().union(*POOLS.values())))

FRAGMENTS = ["'s", "'t", "'re", "'VE", "'ll", "'Ll", "'d", "'M", "'x", "\r\n", "\n\n", " \n",
             "  ", "/", " /", "'"]


def texts(pool: str):
    chars = agreeing(POOLS[pool])
    one = st.sampled_from(chars)
    # Long runs of one character reach across the 16-byte blocks.
    run = st.builds(lambda c, n: c * n, one, st.integers(2, 40))
    piece = st.one_of(one, one, one, run, st.sampled_from(FRAGMENTS))
    return st.lists(piece, max_size=30).map("".join)


@pytest.mark.parametrize("encoding", ENCODINGS)
@pytest.mark.parametrize("pool", sorted(POOLS))
def test_generated_text(encoding: str, pool: str) -> None:
    @settings(max_examples=400, deadline=None, database=None)
    @given(text=texts(pool))
    def check(text: str) -> None:
        assert_same_split(encoding, text)

    check()


@pytest.mark.parametrize("encoding", ENCODINGS)
def test_every_white_space_character_in_context(encoding: str) -> None:
    for w in agreeing(WHITE_SPACE):
        for t in (f"a{w}", f"a{w}{w}b", f"{w}{w}", f"{w}\n{w}x", f"x {w}y", f"!{w}", f"{w}'s",
                  f"1{w}2", f"{' ' * 15}{w}z", f"\r{w}\n{w}"):
            assert_same_split(encoding, t)
