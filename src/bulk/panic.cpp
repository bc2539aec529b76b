// The method boundary's exception class for this module (boundary.h).
#include <Python.h>

#include <cstring>

#include "boundary.h"

namespace zelkor::py {

namespace {
// Created once under the module's creation lock; lives for the rest of the
// process.
PyObject* g_panic = nullptr;
}  // namespace

PyObject* panic_exception() { return g_panic; }

bool ensure_panic_exception() {
    if (g_panic) return true;
    g_panic = PyErr_NewExceptionWithDoc(
        "zelkor._bulk.PanicException",
        "An internal failure of the tokenizer engine (never a user error).",
        PyExc_BaseException, nullptr);
    return g_panic != nullptr;
}

void raise_panic(const char* message) {
    PyObject* type = g_panic ? g_panic : PyExc_SystemError;
    PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(strlen(message)), "replace");
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace zelkor::py
