"""Reading a UTF-8 stream as text pieces that count separately to the same total.

A piece ends only where a pre-token boundary is certain in every encoding, so
counting the pieces one by one gives the count of the whole text while memory
stays bounded by a few blocks, whatever the size of the input.
"""

from __future__ import annotations

import codecs
import re
from typing import BinaryIO, Callable, Iterator

# Bytes read at a time; a piece is about this many characters.
BLOCK_BYTES = 1 << 20

# An ASCII letter before a space and another ASCII letter: "x| y". The word
# before ends at the space whatever the encoding (a letter run stops there, and
# a contraction ends in a letter), and " y" starts the next pre-token.
_LETTER_SPACE_LETTER = re.compile(r"[A-Za-z](?= [A-Za-z])")


class NotUtf8(Exception):
    """The input is not valid UTF-8 at byte `offset`."""

    def __init__(self, offset: int) -> None:
        super().__init__(offset)
        self.offset = offset


def _certain_after_line_feed(c: str) -> bool:
    # Every pre-token that holds a line feed ends with the line feeds it holds
    # unless white space (or, in the o200k encodings, "/") follows them, and no
    # pre-token begins with a line feed before a letter, digit or mark.
    return not c.isspace() and c != "/"


def last_cut(text: str, lo: int) -> int:
    """The last place p with lo < p < len(text) where a pre-token boundary is
    certain, or -1.

    Matching only looks forward, so the text before p and the text from p
    split into the same pre-tokens alone as they do together.
    """
    hi = len(text) - 1
    while hi > lo:
        nl = text.rfind("\n", lo, hi)
        if nl < 0:
            break
        if _certain_after_line_feed(text[nl + 1]):
            return nl + 1
        hi = nl
    # No line to cut at (minified data, one long line): cut between words.
    last = -1
    for m in _LETTER_SPACE_LETTER.finditer(text, lo):
        last = m.end()
    return last if last > lo else -1


def read_pieces(
    stream: BinaryIO, on_bytes: Callable[[int], None] | None = None, block: int | None = None
) -> Iterator[str]:
    """The text of `stream` in pieces that end at certain pre-token boundaries.

    Raises NotUtf8 at the first byte that is not UTF-8. `on_bytes` hears how many
    bytes were read, block by block.
    """
    block = block or BLOCK_BYTES
    decoder = codecs.getincrementaldecoder("utf-8")()
    pending = ""
    read = 0
    while True:
        data = stream.read(block)
        final = not data
        held = len(decoder.getstate()[0])
        try:
            pending += decoder.decode(data, final)
        except UnicodeDecodeError as e:
            raise NotUtf8(read - held + e.start) from None
        read += len(data)
        if on_bytes is not None and data:
            on_bytes(len(data))
        if final:
            if pending:
                yield pending
            return
        # Cut in the newest block only, so a text without any place to cut is
        # not searched again and again as it grows.
        cut = last_cut(pending, max(0, len(pending) - block - 1))
        if cut > 0:
            yield pending[:cut]
            pending = pending[cut:]
