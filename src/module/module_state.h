// The state of a module object of zelkor._zelkor or zelkor._bulk: the
// Tokenizer class of its interpreter. A class is an object of one
// interpreter and must not be handed to another, so each module object
// keeps its own for the module's lifetime. Its size being non-zero also
// makes a reload keep the module as it is rather than run the execution
// step again.
#pragma once

#include <Python.h>

namespace zelkor::py {

struct ModuleState {
    PyObject* tokenizer_type;  // zelkor._zelkor.Tokenizer of this interpreter
};

inline ModuleState* state_of(PyObject* m) { return static_cast<ModuleState*>(PyModule_GetState(m)); }

// The class holds its module in turn (zelkor._zelkor makes it from the
// module), so the two form a cycle that the collector must see.
inline int module_state_traverse(PyObject* m, visitproc visit, void* arg) {
    ModuleState* st = state_of(m);
    if (st) Py_VISIT(st->tokenizer_type);
    return 0;
}

inline int module_state_clear(PyObject* m) {
    ModuleState* st = state_of(m);
    if (st) Py_CLEAR(st->tokenizer_type);
    return 0;
}

inline void module_state_free(void* m) { module_state_clear(static_cast<PyObject*>(m)); }

}  // namespace zelkor::py
