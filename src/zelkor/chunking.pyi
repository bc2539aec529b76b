from typing import Iterable, Literal, Sequence, SupportsIndex

import numpy as np
import numpy.typing as npt

from ._zelkor import Tokenizer

__all__ = ["chunk", "chunk_batch", "chunk_spans"]

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

# Shared with the command line.
def _spans(
    tokenizer: Tokenizer, texts: Sequence[str], max_tokens: SupportsIndex, overlap: SupportsIndex,
    boundary: str, threads: SupportsIndex,
) -> list[list[tuple[int, int, int]]]: ...
def _options(
    tokenizer: Tokenizer, max_tokens: SupportsIndex, overlap: SupportsIndex, boundary: str
) -> tuple[int, int, int]: ...
