#include "args.h"

#include <string>

#include "pyref.h"

namespace zelkor::py {

namespace {

int find_param(const Signature& sig, PyObject* key) {
    for (int i = 0; i < sig.count; ++i)
        if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) return i;
    return -1;
}

void raise_too_many(const Signature& sig, Py_ssize_t given) {
    if (sig.required == sig.count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %d positional argument%s but %zd %s given",
                     sig.qualname, sig.count, sig.count == 1 ? "" : "s", given,
                     given == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %d to %d positional arguments but %zd %s given", sig.qualname,
                     sig.required, sig.count, given, given == 1 ? "was" : "were");
    }
}

void raise_missing(const Signature& sig, PyObject* const* out) {
    const char* names[MAX_PARAMS];
    int n = 0;
    for (int i = 0; i < sig.required; ++i)
        if (!out[i]) names[n++] = sig.params[i];
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c'
    std::string list;
    for (int i = 0; i < n; ++i) {
        if (i > 0) list += (n == 2) ? " and " : (i == n - 1 ? ", and " : ", ");
        list += '\'';
        list += names[i];
        list += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %d required positional argument%s: %s",
                 sig.qualname, n, n == 1 ? "" : "s", list.c_str());
}

// Keywords first, then the positional count, then missing arguments: the
// order in which the interpreter reports them for Python functions.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* const* kwkeys,
          PyObject* const* kwvalues, Py_ssize_t nkw, PyObject** out) {
    for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = kwkeys[k];
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.qualname);
            return false;
        }
        int i = find_param(sig, key);
        if (i < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         sig.qualname, key);
            return false;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         sig.qualname, sig.params[i]);
            return false;
        }
        out[i] = kwvalues[k];
    }
    if (nargs > sig.count) {
        raise_too_many(sig, nargs);
        return false;
    }
    for (int i = 0; i < sig.required; ++i) {
        if (!out[i]) {
            raise_missing(sig, out);
            return false;
        }
    }
    return true;
}

}  // namespace

bool parse_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** out) {
    nargs = PyVectorcall_NARGS(nargs);
    if (!kwnames && nargs >= sig.required && nargs <= sig.count) {
        for (int i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
        return true;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    // Keyword values follow the positional ones; the names tuple is immutable.
    return bind(sig, args, nargs, kwnames ? &PyTuple_GET_ITEM(kwnames, 0) : nullptr, args + nargs,
                nkw, out);
}

bool parse_tuple_args(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* pos = nargs ? &PyTuple_GET_ITEM(args, 0) : nullptr;
    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return bind(sig, pos, nargs, nullptr, nullptr, 0, out);
    // The keyword dict belongs to this call alone, so its entries are stable.
    Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    if (nkw > MAX_PARAMS) nkw = MAX_PARAMS + 1;  // enough to report the first stray keyword
    PyObject* keys[MAX_PARAMS + 1];
    PyObject* values[MAX_PARAMS + 1];
    Py_ssize_t pos_in_dict = 0, k = 0;
    PyObject *key, *value;
    while (k < nkw && PyDict_Next(kwargs, &pos_in_dict, &key, &value)) {
        keys[k] = key;
        values[k] = value;
        ++k;
    }
    return bind(sig, pos, nargs, keys, values, k, out);
}

bool note_argument(const char* name) {
#if PY_VERSION_HEX >= 0x030B0000
    std::string note = std::string("while processing '") + name + "'";
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return false;
#else
    PyObject *type, *exc, *tb;
    PyErr_Fetch(&type, &exc, &tb);
    PyErr_NormalizeException(&type, &exc, &tb);
    if (!exc) {
        PyErr_Restore(type, exc, tb);
        return false;
    }
    if (tb) PyException_SetTraceback(exc, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
#endif
    Ref r = Ref::steal(PyObject_CallMethod(exc, "add_note", "s", note.c_str()));
    if (!r) PyErr_Clear();  // keep the original error rather than a failed note
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc);
#else
    PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                  PyException_GetTraceback(exc));
#endif
#else
    (void)name;
#endif
    return false;
}

}  // namespace zelkor::py
