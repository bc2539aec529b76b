"""Token counts and ids of Dask collections, partition by partition.

Each worker process builds a tokenizer of an encoding once, on first use, and
keeps it for every later partition; the task graph carries only the encoding
name. DataFrame results are Arrow-backed pandas Series: `int64[pyarrow]` for
counts and `pd.ArrowDtype(pa.large_list(pa.uint32()))` for ids, with nulls
kept as nulls. Bags give one Python value per element.

    >>> import dask.dataframe as dd, pandas as pd
    >>> import zelkor.dask
    >>> df = dd.from_pandas(pd.DataFrame({"text": ["hello world", None, "你好"]}), npartitions=2)
    >>> zelkor.dask.count_column(df, "text", "cl100k_base").compute().tolist()
    [2, <NA>, 2]

Inside a partition the texts go through one batch call on `threads` engine
threads (default 1: Dask already runs one task per worker thread).
"""

from __future__ import annotations

import functools
import operator
import pickle
import sys
from typing import Any

from . import _builtin_tokenizer
from ._zelkor import BUILTIN_ENCODINGS, Tokenizer

__all__ = [
    "count_bag",
    "count_column",
    "count_series",
    "encode_bag",
    "encode_column",
    "encode_series",
    "worker_tokenizer",
]


def worker_tokenizer(encoding: str) -> Tokenizer:
    """This process's tokenizer of a built-in encoding, built on first use.

    It is the same object that unpickling a tokenizer of that encoding gives,
    so a process holds one tokenizer per encoding however they arrive.
    """
    _check_builtin(encoding)
    return _builtin_tokenizer(encoding)


def _check_builtin(encoding: str) -> None:
    if encoding not in BUILTIN_ENCODINGS:
        # The same mistake fails as it does for the constructor, which builds
        # nothing for a name it does not know.
        Tokenizer(encoding)


def _encoding_name(encoding: str | Tokenizer) -> str:
    """The name that stands for `encoding` in the task graph, checked here rather than on a worker."""
    if isinstance(encoding, Tokenizer):
        # Refuses what cannot travel by name (a tokenizer from a data directory).
        pickle.dumps(encoding)
        return encoding.name
    if isinstance(encoding, str):
        _check_builtin(encoding)
        return encoding
    raise TypeError(f"expected an encoding name or a zelkor.Tokenizer, got {type(encoding).__name__}")


def _options(threads: Any, with_special: Any) -> tuple[int, bool]:
    threads = operator.index(threads)
    if threads < 0:
        raise ValueError("threads must not be negative")
    if with_special is not True and with_special is not False:
        raise TypeError(f"with_special must be True or False, not {type(with_special).__name__}")
    return threads, with_special


def _bind(func, encoding: str, threads: int, with_special: bool):
    # A partial keeps the options out of the graph's own arguments, where a
    # string could be taken for the key of another task.
    return functools.partial(func, encoding=encoding, threads=threads, with_special=with_special)


# ---- DataFrame columns ----------------------------------------------------------


def _id_list_dtype():
    import pandas as pd
    import pyarrow as pa

    return pd.ArrowDtype(pa.large_list(pa.uint32()))


def _count_dtype():
    import pandas as pd
    import pyarrow as pa

    return pd.ArrowDtype(pa.int64())


def _arrow_texts(series):
    """The partition's texts as one Arrow string array; no copy if they already are one Arrow chunk."""
    import pyarrow as pa

    try:
        arr = pa.array(series, from_pandas=True)
    except (pa.ArrowInvalid, pa.ArrowTypeError) as e:
        raise TypeError(f"column {series.name!r} must hold strings: {e}") from None
    kind = arr.type
    if pa.types.is_null(kind):  # empty, or nothing but missing values
        return arr.cast(pa.large_string())
    if pa.types.is_dictionary(kind):
        arr = arr.dictionary_decode()
        kind = arr.type
    if not (pa.types.is_string(kind) or pa.types.is_large_string(kind) or _is_string_view(pa, kind)):
        raise TypeError(f"column {series.name!r} must hold strings, not {kind}")
    return arr


def _is_string_view(pa, kind) -> bool:
    check = getattr(pa.types, "is_string_view", None)
    return bool(check and check(kind))


def _count_partition(series, encoding: str, threads: int, with_special: bool):
    import pandas as pd

    from . import arrow as zarrow

    counts = zarrow.count(worker_tokenizer(encoding), _arrow_texts(series), threads=threads, with_special=with_special)
    return pd.Series(pd.arrays.ArrowExtensionArray(counts), index=series.index, name=series.name, copy=False)


def _encode_partition(series, encoding: str, threads: int, with_special: bool):
    import pandas as pd

    from . import arrow as zarrow

    ids = zarrow.encode(worker_tokenizer(encoding), _arrow_texts(series), threads=threads, with_special=with_special)
    return pd.Series(pd.arrays.ArrowExtensionArray(ids), index=series.index, name=series.name, copy=False)


def _map_series(series, func, dtype, encoding, threads, with_special):
    import pandas as pd

    name = _encoding_name(encoding)
    threads, with_special = _options(threads, with_special)
    meta = pd.Series([], dtype=dtype, name=series.name)
    return series.map_partitions(_bind(func, name, threads, with_special), meta=meta)


def count_series(series, encoding: str | Tokenizer, *, threads: int = 1, with_special: bool = False):
    """Token counts of a Dask Series of texts, as a lazy Series of `int64[pyarrow]` (nulls stay null)."""
    return _map_series(series, _count_partition, _count_dtype(), encoding, threads, with_special)


def encode_series(series, encoding: str | Tokenizer, *, threads: int = 1, with_special: bool = False):
    """Token ids of a Dask Series of texts, as a lazy Series of Arrow `large_list<uint32>` (nulls stay null)."""
    return _map_series(series, _encode_partition, _id_list_dtype(), encoding, threads, with_special)


def count_column(df, column: str, encoding: str | Tokenizer, *, threads: int = 1, with_special: bool = False):
    """`count_series` of one column of a Dask DataFrame."""
    return count_series(df[column], encoding, threads=threads, with_special=with_special)


def encode_column(df, column: str, encoding: str | Tokenizer, *, threads: int = 1, with_special: bool = False):
    """`encode_series` of one column of a Dask DataFrame."""
    return encode_series(df[column], encoding, threads=threads, with_special=with_special)


# ---- Bags -----------------------------------------------------------------------


def _present(items: list) -> tuple[list, list[int] | None]:
    """The texts that are not None, and their positions (None when all are present)."""
    if all(t is not None for t in items):
        return items, None
    where = [i for i, t in enumerate(items) if t is not None]
    return [items[i] for i in where], where


def _spread(values: list, where: list[int] | None, n: int) -> list:
    if where is None:
        return values
    out: list = [None] * n
    for i, v in zip(where, values):
        out[i] = v
    return out


def _count_bag_partition(part, encoding: str, threads: int, with_special: bool) -> list:
    items = list(part)
    texts, where = _present(items)
    counts = worker_tokenizer(encoding).count_batch(texts, threads=threads, with_special=with_special)
    return _spread(counts, where, len(items))


def _encode_bag_partition(part, encoding: str, threads: int, with_special: bool) -> list:
    items = list(part)
    texts, where = _present(items)
    flat, bounds = worker_tokenizer(encoding).encode_batch(texts, threads=threads, with_special=with_special)
    ids = memoryview(flat).cast("I")
    offsets = memoryview(bounds).cast("q")
    if sys.byteorder == "big":  # the buffers are little-endian
        import array

        ids = array.array("I", flat)
        ids.byteswap()
        offsets = array.array("q", bounds)
        offsets.byteswap()
    lists = [ids[offsets[i] : offsets[i + 1]].tolist() for i in range(len(texts))]
    return _spread(lists, where, len(items))


def count_bag(bag, encoding: str | Tokenizer, *, threads: int = 1, with_special: bool = False):
    """Token counts of a Dask Bag of texts: a Bag of int (None stays None)."""
    name = _encoding_name(encoding)
    threads, with_special = _options(threads, with_special)
    return bag.map_partitions(_bind(_count_bag_partition, name, threads, with_special))


def encode_bag(bag, encoding: str | Tokenizer, *, threads: int = 1, with_special: bool = False):
    """Token ids of a Dask Bag of texts: a Bag of lists of int (None stays None)."""
    name = _encoding_name(encoding)
    threads, with_special = _options(threads, with_special)
    return bag.map_partitions(_bind(_encode_bag_partition, name, threads, with_special))
