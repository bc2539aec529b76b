"""zelkor: fast, exact byte-level BPE for cl100k_base, o200k_base and o200k_harmony.

>>> import zelkor
>>> tok = zelkor.Tokenizer("cl100k_base")
>>> tok.encode("hello world")
[15339, 1917]
"""

import copyreg as _copyreg
import threading as _threading
from collections.abc import Callable

from ._zelkor import BUILTIN_ENCODINGS, Tokenizer, __version__
from .chunking import chunk, chunk_batch, chunk_spans
from .stream import StreamDecoder

__all__ = [
    "BUILTIN_ENCODINGS", "StreamDecoder", "Tokenizer", "__version__", "chunk", "chunk_batch", "chunk_spans",
]

# Tokenizers rebuilt from a pickle, one per built-in encoding and process.
# They are immutable and safe to share between threads, and a worker that
# receives one with every task would otherwise build the vocabulary again
# each time (tenths of a second and tens of MB apiece).
_unpickled: dict[str, Tokenizer] = {}
_unpickled_lock = _threading.Lock()


def _builtin_tokenizer(name: str) -> Tokenizer:
    tok = _unpickled.get(name)
    if tok is None:
        with _unpickled_lock:
            tok = _unpickled.get(name)
            if tok is None:
                tok = _unpickled[name] = Tokenizer(name)
    return tok


def _reduce_tokenizer(tok: Tokenizer) -> tuple[Callable[[str], Tokenizer], tuple[str]]:
    # A built-in tokenizer is fully described by its encoding name, so it
    # travels as that name. One loaded from a data directory is not: the
    # files may be absent or different on the other side.
    from . import _bulk

    if _bulk.from_datadir(tok):
        raise TypeError(
            "cannot pickle a zelkor.Tokenizer built from a data directory; "
            "construct it from that directory in the receiving process instead"
        )
    return (_builtin_tokenizer, (tok.name,))


_copyreg.pickle(Tokenizer, _reduce_tokenizer)
