// zelkor._bulk's chunking functions, behind zelkor.chunk and zelkor.arrow.chunk.
#pragma once

#include <Python.h>

#include "py_tokenizer.h"

namespace zelkor::bulk {

// The Tokenizer argument, when it is of the _zelkor module next to this one
// (TypeError otherwise).
const py::PyTokenizer* tokenizer_arg(PyObject* module, PyObject* obj);

// chunk_texts(tok, texts, max_tokens, overlap, boundary, threads) -> list of
// bytes, one per text: native int64 (start, end, tokens) triples in
// code-point offsets. `boundary` is the index of ChunkBoundary.
PyObject* chunk_texts(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// chunk_strings(tok, texts, max_tokens, overlap, boundary, threads) -> one
// list of str per text, its chunks.
PyObject* chunk_strings(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// chunk_array(tok, schema, array, max_tokens, overlap, boundary, threads) ->
// the capsules of a list<large_string> array; null stays null.
PyObject* chunk_array(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace zelkor::bulk
