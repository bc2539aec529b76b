// The Python object behind zelkor._zelkor.Tokenizer and its method entry
// points. The object is frozen once constructed: methods only read it.
#pragma once

#include <Python.h>

#include <memory>

#include "engine_calls.h"
#include "id_objects.h"
#include "special_policy.h"
#include "tokenizer.h"

namespace zelkor::py {

struct PyTokenizer {
    PyObject_HEAD
    Tokenizer* tok;        // owned; never null once constructed
    SpecialIndex* index;   // owned; the specials of *tok, sorted for the policy check
    bool from_datadir;     // loaded from files, so it cannot be rebuilt from its name alone
    IdObjects* id_objects; // owned; the ints of the lists it returns
    const EngineCalls* calls;  // the batch operations of this module's engine
};

inline const Tokenizer& engine(PyObject* self) { return *reinterpret_cast<PyTokenizer*>(self)->tok; }
// A new list of ids, with the ints this tokenizer shares between lists.
inline PyObject* id_list(PyObject* self, const uint32_t* ids, size_t n) {
    return reinterpret_cast<PyTokenizer*>(self)->id_objects->list(ids, n);
}
inline const SpecialIndex& special_index(PyObject* self) {
    return *reinterpret_cast<PyTokenizer*>(self)->index;
}

// A new class object for the module object `module`, or null with an
// exception set. Each module object makes its own.
PyObject* new_tokenizer_type(PyObject* module);

#define ZELKOR_FASTCALL(name) \
    PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// methods_encode.cpp
ZELKOR_FASTCALL(m_encode);
ZELKOR_FASTCALL(m_encode_ordinary);
ZELKOR_FASTCALL(m_encode_bytes);
ZELKOR_FASTCALL(m_encode_with_special);
ZELKOR_FASTCALL(m_encode_to_buffer);
ZELKOR_FASTCALL(m_encode_to_numpy);
ZELKOR_FASTCALL(m_encode_with_offsets);
ZELKOR_FASTCALL(m_encode_single_token);
ZELKOR_FASTCALL(m_truncate);
ZELKOR_FASTCALL(m_count);

// methods_batch.cpp
ZELKOR_FASTCALL(m_encode_batch_to_numpy);
ZELKOR_FASTCALL(m_truncate_batch);
ZELKOR_FASTCALL(m_encode_batch);
ZELKOR_FASTCALL(m_count_batch);

// methods_decode.cpp
ZELKOR_FASTCALL(m_decode);
ZELKOR_FASTCALL(m_decode_bytes);
ZELKOR_FASTCALL(m_decode_single_token_bytes);
ZELKOR_FASTCALL(m_decode_batch);
ZELKOR_FASTCALL(m_is_special_token);
PyObject* m_token_byte_values(PyObject* self, PyObject* unused);
PyObject* m_special_tokens(PyObject* self, PyObject* unused);

// methods_inspect.cpp: property getters
PyObject* get_name(PyObject* self, void* closure);
PyObject* get_memory_bytes(PyObject* self, void* closure);
PyObject* get_n_vocab(PyObject* self, void* closure);
PyObject* get_max_token_value(PyObject* self, void* closure);
PyObject* get_eot_token(PyObject* self, void* closure);
PyObject* get_special_tokens_set(PyObject* self, void* closure);

}  // namespace zelkor::py
