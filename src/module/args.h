// Argument parsing for METH_FASTCALL | METH_KEYWORDS methods: every
// parameter is positional-or-keyword, the first `required` have no default.
// Errors are worded like the interpreter's own for Python functions.
#pragma once

#include <Python.h>

#include <cstddef>

namespace zelkor::py {

inline constexpr int MAX_PARAMS = 3;

struct Signature {
    const char* qualname;  // "Tokenizer.encode", used in messages
    const char* params[MAX_PARAMS];
    int count;
    int required;
};

// Fills out[0 .. sig.count) with borrowed references, null for parameters
// that were not given. False with a TypeError set on a bad call.
bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out);

// The arity check of the private modules' positional-only entry points.
inline bool check_nargs(const char* name, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, expected, nargs);
    return false;
}

// The same for a (tuple, dict) call, as tp_new receives it.
bool parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Attaches "while processing '<name>'" to the exception being raised
// (exceptions have notes from 3.11 on; earlier it is left as it is).
// Always returns false so that callers can write `return note_argument(..)`.
bool note_argument(const char* name);
// The same, for methods that return a null PyObject* on failure.
inline PyObject* arg_failed(const char* name) {
    note_argument(name);
    return nullptr;
}

}  // namespace zelkor::py
