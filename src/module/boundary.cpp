#include "boundary.h"

#include <cstring>

namespace zelkor::py {

namespace {
// Created once under the module's creation lock and never released: it
// lives for the rest of the process, like the class object.
PyObject* g_panic = nullptr;
}  // namespace

PyObject* panic_exception() { return g_panic; }

bool ensure_panic_exception(const char* qualified_name) {
    if (g_panic) return true;
    g_panic = PyErr_NewExceptionWithDoc(
        qualified_name,
        "An internal failure of the tokenizer engine (never a user error).",
        PyExc_BaseException, nullptr);
    return g_panic != nullptr;
}

void raise_panic(const char* message) {
    PyObject* type = g_panic ? g_panic : PyExc_SystemError;
    PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(strlen(message)), "replace");
    if (!text) return;  // MemoryError is set instead
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace zelkor::py
