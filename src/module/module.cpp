// Module definition of zelkor._zelkor (multi-phase initialisation).
#include <Python.h>

#include "boundary.h"
#include "module_state.h"
#include "signal_poll.h"
#include "py_tokenizer.h"
#include "pyref.h"

namespace zelkor::py {

const char PANIC_EXCEPTION_NAME[] = "zelkor._zelkor.PanicException";

namespace {

int module_exec(PyObject* m) {
    return guarded_int([&]() -> int {
        if (!PyModule_Check(m)) {
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyModule'",
                         Py_TYPE(m)->tp_name);
            return -1;
        }
        // Made here so that a failing method finds it (raise_panic).
        if (!note_main_thread()) return -1;
        Ref panic = Ref::steal(panic_exception());
        if (!panic) return -1;
        PyObject* type = new_tokenizer_type(m);
        if (!type) {
            PyErr_Clear();
            PyErr_SetString(PyExc_RuntimeError, "An error occurred while initializing class Tokenizer");
            return -1;
        }
        state_of(m)->tokenizer_type = type;
        if (PyModule_AddObjectRef(m, "Tokenizer", type) < 0) return -1;
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
    // No Python object is shared between module objects; what the engine
    // shares process-wide (caches, their pool and budget, the pair memo) is
    // safe across threads, whichever interpreter they belong to.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_zelkor",
    "",
    sizeof(ModuleState),
    nullptr,
    module_slots,
    module_state_traverse,
    module_state_clear,
    module_state_free,
};

}  // namespace

}  // namespace zelkor::py

PyMODINIT_FUNC PyInit__zelkor() { return PyModuleDef_Init(&zelkor::py::module_def); }
