// Read-only properties of Tokenizer.
#include <cstdint>

#include "boundary.h"
#include "convert.h"
#include "py_tokenizer.h"
#include "pyref.h"

namespace zelkor::py {

PyObject* get_name(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        const std::string& name = engine(self).name;
        return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
    });
}

PyObject* get_memory_bytes(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return PyLong_FromUnsignedLongLong(engine(self).memory_bytes()); });
}

PyObject* get_n_vocab(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return PyLong_FromUnsignedLongLong(engine(self).n_vocab()); });
}

PyObject* get_max_token_value(PyObject* self, void*) {
    // n_vocab is at most 2^32, so the difference is exact in signed 64 bits
    // (and -1, not a wrapped 2^64 - 1, for an empty vocabulary).
    return guarded([&]() -> PyObject* {
        return PyLong_FromLongLong(static_cast<long long>(engine(self).n_vocab()) - 1);
    });
}

PyObject* get_eot_token(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        if (const Special* s = engine(self).special_by_text("<|endoftext|>"))
            return PyLong_FromUnsignedLong(s->id);
        PyErr_SetString(PyExc_KeyError, "this encoding has no <|endoftext|>");
        return nullptr;
    });
}

PyObject* get_special_tokens_set(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        Ref set = Ref::steal(PySet_New(nullptr));
        if (!set) return nullptr;
        for (const Special& s : engine(self).specials) {
            Ref text = Ref::steal(str_from_utf8(s.text.data(), s.text.size()));
            if (!text || PySet_Add(set.get(), text.get()) < 0) return nullptr;
        }
        return set.release();
    });
}

}  // namespace zelkor::py
