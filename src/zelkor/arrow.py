"""Token ids and counts of Arrow string columns, without Python strings.

The texts are read in place from the column's buffers and go through the
same parallel batch engine as `Tokenizer.encode_batch` and
`Tokenizer.count_batch`, with the interpreter released; the results are
Arrow arrays over the engine's own buffers (no copy). Nulls stay null.

Accepted input: any Arrow array of type string, large_string or
string_view (anything with `__arrow_c_array__`), a `pyarrow.ChunkedArray`
of those, or any Arrow array stream (`__arrow_c_stream__`); chunked input
gives a `pyarrow.ChunkedArray` with one result chunk per input chunk.

The bytes of a column are tokenized as they are, like
`Tokenizer.encode_bytes`: invalid UTF-8 is never an error, and with
`with_special=True` a text that is not valid UTF-8 is encoded as ordinary
text, exactly as `encode_batch` does it.

Needs pyarrow (`pip install 'zelkor-rs[arrow]'`).
"""

from __future__ import annotations

import operator
import sys

from . import _bulk
from ._zelkor import Tokenizer

__all__ = ["chunk", "count", "encode"]

_NEEDS_PYARROW = "zelkor.arrow needs pyarrow: pip install 'zelkor-rs[arrow]'"


def encode(tokenizer, array, threads=0, with_special=False):
    """Token ids of every text of an Arrow string column.

    Returns a `pyarrow.LargeListArray` of uint32 (a `pyarrow.ChunkedArray`
    of them for chunked input): item i holds the ids of text i, as
    `encode_batch` gives them; a null text gives a null item. `threads` and
    `with_special` mean what they mean for `encode_batch`.
    """
    pa = _pyarrow()
    return _run(pa, tokenizer, array, threads, with_special, _bulk.encode_array,
                _bulk.encode_stream, pa.large_list(pa.uint32()))


def count(tokenizer, array, threads=0, with_special=False):
    """Token counts of every text of an Arrow string column.

    Returns a `pyarrow.Int64Array` (a `pyarrow.ChunkedArray` of them for
    chunked input): item i is what `count_batch` gives for text i; a null
    text gives null. No ids are kept, so memory grows with `threads`, not
    with the number of tokens.
    """
    pa = _pyarrow()
    return _run(pa, tokenizer, array, threads, with_special, _bulk.count_array,
                _bulk.count_stream, pa.int64())


def chunk(tokenizer, array, max_tokens, *, overlap=0, boundary="token", threads=0):
    """The chunks of every text of an Arrow string column, as `zelkor.chunk` cuts them.

    Returns a `pyarrow.ListArray` of large_string (a `pyarrow.ChunkedArray`
    of them for chunked input): item i holds the chunks of text i; a null
    text gives a null item, an empty text an empty list. The options mean
    what they mean for `zelkor.chunk` and are checked before any work;
    `threads` as for `count`.
    """
    from .chunking import _options

    pa = _pyarrow()
    options = _options(tokenizer, max_tokens, overlap, boundary)

    def on_array(tok, schema, values, threads, _with_special):
        return _bulk.chunk_array(tok, schema, values, *options, threads)

    def on_stream(tok, stream, threads, _with_special):
        arrays = pa.ChunkedArray._import_from_c_capsule(stream).chunks
        return [on_array(tok, *a.__arrow_c_array__(), threads, False) for a in arrays]

    return _run(pa, tokenizer, array, threads, False, on_array, on_stream,
                pa.list_(pa.large_string()))


def _pyarrow():
    try:
        import pyarrow
    except ImportError:
        raise ImportError(_NEEDS_PYARROW) from None
    return pyarrow


def _flag(value) -> bool:
    if value is True or value is False:
        return value
    # numpy's bool scalar, the type itself: numpy is looked up, not imported,
    # since such a value cannot exist before numpy is.
    numpy = sys.modules.get("numpy")
    if numpy is not None and type(value) is getattr(numpy, "bool_", None):
        return bool(value)
    raise TypeError(f"with_special must be True or False, not {type(value).__name__}")


def _run(pa, tokenizer, array, threads, with_special, on_array, on_stream, result_type):
    if not isinstance(tokenizer, Tokenizer):
        raise TypeError(f"expected a zelkor.Tokenizer, got {type(tokenizer).__name__}")
    threads = operator.index(threads)
    with_special = _flag(with_special)

    def result(capsules):
        return pa.Array._import_from_c_capsule(*capsules)

    if isinstance(array, pa.ChunkedArray):
        chunks = [result(on_array(tokenizer, *chunk.__arrow_c_array__(), threads, with_special))
                  for chunk in array.chunks]
        return pa.chunked_array(chunks, type=result_type)
    if hasattr(array, "__arrow_c_array__"):
        return result(on_array(tokenizer, *array.__arrow_c_array__(), threads, with_special))
    if hasattr(array, "__arrow_c_stream__"):
        chunks = [result(c) for c in on_stream(tokenizer, array.__arrow_c_stream__(), threads,
                                                with_special)]
        return pa.chunked_array(chunks, type=result_type)
    raise TypeError(
        "expected an Arrow string array, a pyarrow.ChunkedArray or an Arrow stream "
        f"(__arrow_c_array__ or __arrow_c_stream__), got {type(array).__name__}"
    )
