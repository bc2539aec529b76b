#include "boundary.h"

#include <cstring>

#include "pyref.h"

namespace zelkor::py {

namespace {

// The class lives in the interpreter's own dictionary under its full name:
// a method that fails has no module at hand to find it by, and a class is
// an object of one interpreter, never to be raised in another.
PyObject* interpreter_dict() { return PyInterpreterState_GetDict(PyInterpreterState_Get()); }

// A new reference to this interpreter's class, or null (no exception set).
PyObject* registered_panic(PyObject* dict) {
    PyObject* found = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (PyDict_GetItemStringRef(dict, PANIC_EXCEPTION_NAME, &found) < 0) PyErr_Clear();
#else
    found = PyDict_GetItemString(dict, PANIC_EXCEPTION_NAME);
    Py_XINCREF(found);
#endif
    return found;
}

}  // namespace

PyObject* panic_exception() {
    PyObject* dict = interpreter_dict();
    if (!dict) {
        PyErr_SetString(PyExc_RuntimeError, "the interpreter has no state dictionary");
        return nullptr;
    }
    if (PyObject* found = registered_panic(dict)) return found;
    Ref key = Ref::steal(PyUnicode_FromString(PANIC_EXCEPTION_NAME));
    if (!key) return nullptr;
    Ref made = Ref::steal(PyErr_NewExceptionWithDoc(
        PANIC_EXCEPTION_NAME, "An internal failure of the tokenizer engine (never a user error).",
        PyExc_BaseException, nullptr));
    if (!made) return nullptr;
    // Another thread of this interpreter may have registered one meanwhile:
    // the first one stays.
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* kept = nullptr;
    if (PyDict_SetDefaultRef(dict, key.get(), made.get(), &kept) < 0) return nullptr;
    return kept;
#else
    PyObject* kept = PyDict_SetDefault(dict, key.get(), made.get());
    Py_XINCREF(kept);
    return kept;
#endif
}

void raise_panic(const char* message) {
    PyObject* dict = interpreter_dict();
    Ref type = Ref::steal(dict ? registered_panic(dict) : nullptr);
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(strlen(message)), "replace"));
    if (!text) return;  // MemoryError is set instead
    PyErr_SetObject(type ? type.get() : PyExc_SystemError, text.get());
}

}  // namespace zelkor::py
