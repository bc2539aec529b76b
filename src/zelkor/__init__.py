"""zelkor: fast, exact byte-level BPE for cl100k_base, o200k_base and o200k_harmony.

>>> import zelkor
>>> tok = zelkor.Tokenizer("cl100k_base")
>>> tok.encode("hello world")
[15339, 1917]
"""

from ._zelkor import BUILTIN_ENCODINGS, Tokenizer, __version__

__all__ = ["BUILTIN_ENCODINGS", "Tokenizer", "__version__"]
