"""Calls that the type stubs must accept, checked by tools/check-typing.sh
with mypy --strict (not run by pytest: the behaviour is tested elsewhere)."""

from __future__ import annotations

import array

import numpy as np

import zelkor

tok = zelkor.Tokenizer("o200k_base")
ids = tok.encode_to_numpy("hello world")
text: str = tok.decode(ids)
raw: bytes = tok.decode_bytes(tok.encode_to_numpy("hello"))
flat, offsets = tok.encode_batch_to_numpy(["a", "b c"])
texts: list[str] = tok.decode_batch([flat[offsets[0] : offsets[1]], [1, 2], range(3), array.array("I", [4])])
rows: list[str] = tok.decode_batch(np.zeros((2, 3), dtype=np.uint32))
tok.decode(tuple(tok.encode("x")), errors="strict")
tok.encode("<|endoftext|>", allowed_special={"<|endoftext|>"}, disallowed_special=())
tok.count_batch(("a", "b"), threads=np.int64(2))

dec = zelkor.StreamDecoder(tok)
parts: list[str] = [dec.feed(i) for i in ids] + [dec.feed(ids), dec.feed(np.uint32(5)), dec.flush()]
same: zelkor.Tokenizer = dec.tokenizer
