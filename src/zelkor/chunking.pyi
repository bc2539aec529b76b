from typing import Iterable, Literal, SupportsIndex

import numpy as np
import numpy.typing as npt

from ._zelkor import Tokenizer

_Boundary = Literal["token", "whitespace", "line", "sentence"]

BOUNDARIES: tuple[str, ...]

def chunk(
    tokenizer: Tokenizer, text: str, max_tokens: SupportsIndex, *, overlap: SupportsIndex = 0,
    boundary: _Boundary = "token",
) -> list[str]: ...
def chunk_spans(
    tokenizer: Tokenizer, text: str, max_tokens: SupportsIndex, *, overlap: SupportsIndex = 0,
    boundary: _Boundary = "token",
) -> npt.NDArray[np.int64] | list[tuple[int, int]]: ...
def chunk_batch(
    tokenizer: Tokenizer, texts: Iterable[str], max_tokens: SupportsIndex, *,
    overlap: SupportsIndex = 0, boundary: _Boundary = "token", threads: SupportsIndex = 0,
) -> list[list[str]]: ...
