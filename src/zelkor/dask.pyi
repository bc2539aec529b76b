from typing import Any, SupportsIndex

from ._zelkor import Tokenizer

__all__ = [
    "count_bag",
    "count_column",
    "count_series",
    "encode_bag",
    "encode_column",
    "encode_series",
    "worker_tokenizer",
]

# Dask collections are typed loosely: dask ships no stubs for them.
def worker_tokenizer(encoding: str) -> Tokenizer: ...
def count_series(
    series: Any, encoding: str | Tokenizer, *, threads: SupportsIndex = 1, with_special: bool = False
) -> Any: ...
def encode_series(
    series: Any, encoding: str | Tokenizer, *, threads: SupportsIndex = 1, with_special: bool = False
) -> Any: ...
def count_column(
    df: Any, column: str, encoding: str | Tokenizer, *, threads: SupportsIndex = 1, with_special: bool = False
) -> Any: ...
def encode_column(
    df: Any, column: str, encoding: str | Tokenizer, *, threads: SupportsIndex = 1, with_special: bool = False
) -> Any: ...
def count_bag(
    bag: Any, encoding: str | Tokenizer, *, threads: SupportsIndex = 1, with_special: bool = False
) -> Any: ...
def encode_bag(
    bag: Any, encoding: str | Tokenizer, *, threads: SupportsIndex = 1, with_special: bool = False
) -> Any: ...
