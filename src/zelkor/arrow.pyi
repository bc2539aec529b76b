from typing import Any, Literal, Protocol, SupportsIndex, overload

import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

from ._zelkor import Tokenizer

__all__ = ["chunk", "count", "encode"]

class _ArrowArray(Protocol):
    def __arrow_c_array__(self, requested_schema: Any = None) -> tuple[Any, Any]: ...

class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any: ...

@overload
def encode(
    tokenizer: Tokenizer, array: _ArrowArray, threads: SupportsIndex = 0, with_special: bool = False
) -> pa.LargeListArray: ...
@overload
def encode(
    tokenizer: Tokenizer, array: pa.ChunkedArray | _ArrowStream, threads: SupportsIndex = 0,
    with_special: bool = False,
) -> pa.ChunkedArray: ...
@overload
def count(
    tokenizer: Tokenizer, array: _ArrowArray, threads: SupportsIndex = 0, with_special: bool = False
) -> pa.Int64Array: ...
@overload
def count(
    tokenizer: Tokenizer, array: pa.ChunkedArray | _ArrowStream, threads: SupportsIndex = 0,
    with_special: bool = False,
) -> pa.ChunkedArray: ...
@overload
def chunk(
    tokenizer: Tokenizer, array: _ArrowArray, max_tokens: SupportsIndex, *,
    overlap: SupportsIndex = 0, boundary: Literal["token", "whitespace", "line", "sentence"] = "token",
    threads: SupportsIndex = 0,
) -> pa.ListArray: ...
@overload
def chunk(
    tokenizer: Tokenizer, array: pa.ChunkedArray | _ArrowStream, max_tokens: SupportsIndex, *,
    overlap: SupportsIndex = 0, boundary: Literal["token", "whitespace", "line", "sentence"] = "token",
    threads: SupportsIndex = 0,
) -> pa.ChunkedArray: ...
