"""Incremental decoding of ids as a model emits them.

>>> import zelkor
>>> tok = zelkor.Tokenizer("cl100k_base")
>>> dec = zelkor.StreamDecoder(tok)
>>> dec.feed(76460)       # the first three bytes of an emoji: nothing to show yet
''
>>> dec.pending
b'\\xf0\\x9f\\x98'
>>> dec.feed([222, 5509])  # its last byte, then " ok"
'😀 ok'
>>> dec.flush()
''
"""

from __future__ import annotations

from typing import Any

from ._zelkor import Tokenizer

__all__ = ["StreamDecoder"]

_FFFD = "\ufffd"

# Per lead byte: the length of its sequence and the range allowed for the byte after it.
_LEADS: dict[int, tuple[int, int, int]] = {}
for _b in range(0xC2, 0xE0):
    _LEADS[_b] = (2, 0x80, 0xBF)
for _b in range(0xE0, 0xF0):
    _LEADS[_b] = (3, 0x80, 0xBF)
for _b in range(0xF0, 0xF5):
    _LEADS[_b] = (4, 0x80, 0xBF)
_LEADS[0xE0] = (3, 0xA0, 0xBF)
_LEADS[0xED] = (3, 0x80, 0x9F)  # no surrogates
_LEADS[0xF0] = (4, 0x90, 0xBF)
_LEADS[0xF4] = (4, 0x80, 0x8F)  # nothing above U+10FFFF
del _b


def _complete_end(data: bytes) -> int:
    """Where the unfinished start of a character at the end of `data` begins (len(data) if none).

    Only a true prefix of a valid sequence is held back. The interpreter's own
    incremental decoder also holds back the start of an encoded surrogate, which
    is invalid at its second byte and must be replaced at once.
    """
    n = len(data)
    i = n - 1
    while i >= 0 and i >= n - 3 and 0x80 <= data[i] < 0xC0:
        i -= 1
    if i < 0 or i < n - 3:
        return n
    lead = _LEADS.get(data[i])
    if lead is None or n - i >= lead[0]:
        return n
    if n - i >= 2 and not lead[1] <= data[i + 1] <= lead[2]:
        return n
    return i


class StreamDecoder:
    """Turns ids fed one at a time or in chunks into text, never a broken character.

    The bytes of a character that is still incomplete are held back (see
    `pending`) until the ids that finish it arrive. An invalid sequence is dealt
    with as soon as it is known to be invalid, under the same `errors` policy as
    `Tokenizer.decode`: "replace" (the default; any other name does the same)
    emits U+FFFD per maximal ill-formed subpart, "ignore" drops what "replace"
    would emit as U+FFFD, "strict" raises ValueError. The text of all `feed`
    results followed by `flush()` equals `decode` of all the ids at once.

    A call that raises changes nothing: the ids of that call are not taken in,
    and the decoder stays as it was. One decoder serves one stream; it is not
    meant to be shared between threads.
    """

    __slots__ = ("_tok", "_errors", "_mode", "_pending", "_offset")

    def __init__(self, tokenizer: Tokenizer, errors: str = "replace") -> None:
        if not isinstance(tokenizer, Tokenizer):
            hint = f"; build one with zelkor.Tokenizer({tokenizer!r})" if isinstance(tokenizer, str) else ""
            raise TypeError(f"StreamDecoder needs a zelkor.Tokenizer, not {type(tokenizer).__name__}{hint}")
        # Let decode itself vet the policy, so both accept and refuse the same values.
        tokenizer.decode([], errors=errors)
        self._tok = tokenizer
        self._errors = errors
        self._mode = errors if errors in ("strict", "ignore") else "replace"
        self._pending = b""
        # Bytes decoded before `_pending`, so that strict errors give the same
        # index as decode of the whole stream.
        self._offset = 0

    @property
    def tokenizer(self) -> Tokenizer:
        return self._tok

    @property
    def errors(self) -> str:
        return self._errors

    @property
    def pending(self) -> bytes:
        """The bytes held back: the start of a character not yet complete."""
        return self._pending

    def feed(self, ids: Any) -> str:
        """Takes one id or a sequence of ids; returns the text that became complete."""
        if type(ids) is int or (hasattr(type(ids), "__index__") and not hasattr(type(ids), "__len__")):
            ids = [ids]
        # Same conversion as decode: bad ids raise here, unknown ids add nothing.
        data = self._tok.decode_bytes(ids)
        if not data:
            return ""
        if self._pending:
            data = self._pending + data
        cut = len(data) if data[-1] < 0x80 else _complete_end(data)
        head = data[:cut] if cut < len(data) else data
        if self._mode == "strict":
            try:
                text = head.decode("utf-8")
            except UnicodeDecodeError as e:
                # `head` ends in a whole character or right before held bytes,
                # so what fails here is invalid, never merely incomplete.
                raise ValueError(
                    f"invalid utf-8 in decode: invalid utf-8 sequence of {e.end - e.start} bytes "
                    f"from index {self._offset + e.start}"
                ) from None
        else:
            text = head.decode("utf-8", "replace")
            if self._mode == "ignore" and _FFFD in text:
                text = text.replace(_FFFD, "")
        used = len(head)
        self._offset += used
        self._pending = data[used:]
        return text

    def flush(self) -> str:
        """Ends the stream: returns what is held back under the policy, then starts afresh.

        Under "strict" an incomplete character raises ValueError and stays held,
        so that `reset()` or more ids may follow.
        """
        rest = self._pending
        if not rest:
            text = ""
        elif self._mode == "strict":
            # `rest` is always the valid start of a character: anything else was
            # reported when it arrived.
            raise ValueError(f"invalid utf-8 in decode: incomplete utf-8 byte sequence from index {self._offset}")
        elif self._mode == "ignore":
            text = ""
        else:
            text = _FFFD
        self.reset()
        return text

    def reset(self) -> None:
        """Drops what is held back and starts a new stream."""
        self._pending = b""
        self._offset = 0

    def __repr__(self) -> str:
        return f"<zelkor.StreamDecoder {self._tok.name!r} errors={self._errors!r} pending={self._pending!r}>"
