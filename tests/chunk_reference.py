"""A slow chunker that follows the definition word for word: it counts every
candidate chunk by encoding it alone, and finds boundaries with regular
expressions on the text before the cut."""

from __future__ import annotations

import re
from itertools import accumulate

WS = "\t\n\x0b\x0c\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000"
CLOSERS = "\"')\\]}\u2019\u201d\u00bb\u300d\u300f\uff09"
SENTENCE_END = re.compile(
    f"(?:[.!?\u2026][{CLOSERS}]*[{WS}]+|[\u3002\uff01\uff1f][{CLOSERS}]*[{WS}]*)$"
)
TRAILING_SPACE = re.compile(f"[{WS}]*$")
SPACE = re.compile(f"[{WS}]")


def is_space(ch: str) -> bool:
    return bool(SPACE.fullmatch(ch))


def is_boundary(kind: str, before: str, after: str) -> bool:
    """Whether a chunk may end between `before` and `after` (both non-empty)."""
    if kind == "whitespace":
        return is_space(before[-1]) and not is_space(after[0])
    if kind == "line":
        return before[-1] == "\n" or (before[-1] == "\r" and after[0] != "\n")
    if kind == "sentence":
        if is_space(after[0]):
            return False
        run = TRAILING_SPACE.search(before).group()
        if len(re.findall(r"\n|\r(?!\n)", run + after[0])) >= 2:
            return True
        return bool(SENTENCE_END.search(before))
    return False


def reference_chunks(tok, text: str, max_tokens: int, overlap: int = 0, boundary: str = "token"):
    """(start, end) character offsets of the chunks."""
    data = text.encode()
    n = len(data)
    ends = list(accumulate(len(tok.decode_single_token_bytes(i)) for i in tok.encode_ordinary(text)))

    def count(s: int, e: int) -> int:
        return len(tok.encode_ordinary(data[s:e].decode()))

    def starts_char(p: int) -> bool:
        return p == n or (data[p] & 0xC0) != 0x80

    def back(p: int) -> int:
        while 0 < p < n and not starts_char(p):
            p -= 1
        return p

    def forward(p: int) -> int:
        while p < n and not starts_char(p):
            p += 1
        return p

    def chars(s: int, e: int) -> int:
        return len(data[s:e].decode())

    spans = []
    s = prev_end = 0
    while s < n:
        first = sum(1 for e in ends if e <= s)
        last = first + max_tokens - 1
        budget_end = back(ends[last] if last < len(ends) else n)
        cut = None
        if budget_end == n and count(s, n) <= max_tokens:
            cut = n
        if cut is None and boundary != "token":
            total = chars(s, budget_end)
            p = budget_end
            while p > max(s, prev_end) and 2 * chars(s, p) >= total:
                if p < n and is_boundary(boundary, data[:p].decode(), data[p:].decode()) \
                        and count(s, p) <= max_tokens:
                    cut = p
                    break
                p = back(p - 1)
        if cut is None:
            for j in range(min(last, len(ends) - 1), first - 1, -1):
                e = back(ends[j])
                if e <= s:
                    break
                if count(s, e) <= max_tokens:
                    cut = e
                    break
        if cut is None:
            cut = forward(s + 1)
        spans.append((s, cut))
        prev_end = cut
        if cut == n:
            break
        nxt = cut
        if overlap:
            whole = sum(1 for e in ends if e <= cut)
            m0 = min(overlap, whole)
            if boundary != "token":
                p = forward(ends[whole - m0 - 1] if whole - m0 > 0 else 0)
                while p < cut:
                    if p > s and is_boundary(boundary, data[:p].decode(), data[p:].decode()) \
                            and count(p, cut) <= overlap:
                        nxt = p
                        break
                    p = forward(p + 1)
            for m in range(min(overlap, whole), 0, -1):
                if nxt != cut:
                    break
                q = forward(ends[whole - m - 1] if whole - m > 0 else 0)
                if s < q < cut and count(q, cut) <= overlap:
                    nxt = q
                    break
        s = nxt
    return [(chars(0, a), chars(0, b)) for a, b in spans]
