// Module definition of zelkor._zelkor (multi-phase initialisation).
#include <Python.h>

#include <mutex>

#include "boundary.h"
#include "nogil.h"
#include "signal_poll.h"
#include "py_tokenizer.h"
#include "pyref.h"

namespace zelkor::py {

namespace {

// Guards the once-per-process creation of the class and the exception.
std::mutex g_create_lock;
const FreshInChild<g_create_lock> g_create_lock_after_fork;

bool ensure_process_objects() {
    const auto held = lock_detached(g_create_lock);
    if (!ensure_panic_exception("zelkor._zelkor.PanicException")) return false;
    if (!ensure_tokenizer_type()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class Tokenizer");
        return false;
    }
    return true;
}

int module_exec(PyObject* m) {
    return guarded_int([&]() -> int {
        if (!PyModule_Check(m)) {
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyModule'",
                         Py_TYPE(m)->tp_name);
            return -1;
        }
        if (!ensure_process_objects() || !note_main_thread()) return -1;
        if (PyModule_AddObjectRef(m, "Tokenizer", tokenizer_type()) < 0) return -1;
        if (PyModule_AddStringConstant(m, "__version__", "0.1.4") < 0) return -1;
        Ref names = Ref::steal(PyList_New(0));
        if (!names) return -1;
        for (const char* name : BUILTIN_NAMES) {
            Ref s = Ref::steal(PyUnicode_FromString(name));
            if (!s || PyList_Append(names.get(), s.get()) < 0) return -1;
        }
        if (PyModule_AddObjectRef(m, "BUILTIN_ENCODINGS", names.get()) < 0) return -1;
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#ifdef Py_mod_multiple_interpreters
    // The class object is shared by every module object of the process, so
    // it must not be handed to another interpreter.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_zelkor",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace zelkor::py

PyMODINIT_FUNC PyInit__zelkor() { return PyModuleDef_Init(&zelkor::py::module_def); }
