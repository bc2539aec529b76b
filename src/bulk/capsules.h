// Arrow structs in and out of the PyCapsules of the Arrow PyCapsule
// interface. Everything here runs with the interpreter attached.
#pragma once

#include <Python.h>

#include "arrow_abi.h"
#include "arrow_strings.h"
#include "thread_end.h"

namespace zelkor::bulk {

// Calls a producer's release callback. The callback may be Python code
// (a ctypes producer), which must not run while an exception is set: the
// pending one is put aside for the call and restored after it, and one the
// callback leaves behind is reported as unraisable. Needs the interpreter
// attached.
template <class T>
void release_struct(T& value) {
    if (!value.release) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* pending = PyErr_GetRaisedException();
#else
    PyObject *type, *pending, *traceback;
    PyErr_Fetch(&type, &pending, &traceback);
#endif
    value.release(&value);
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(pending);
#else
    PyErr_Restore(type, pending, traceback);
#endif
}

// A struct moved out of a producer's capsule (or filled by a producer's
// callback); released when it goes out of scope, also while an error is on
// its way out. Destroy it with the interpreter attached.
template <class T>
class Taken {
public:
    Taken() = default;
    Taken(const Taken&) = delete;
    Taken& operator=(const Taken&) = delete;
    ~Taken() {
        // A producer's callback may be Python code: not on a thread the
        // interpreter ends (thread_end.h).
        if (py::python_objects_usable()) release_struct(value);
    }
    T value{};
};

// The schema inside an "arrow_schema" capsule, left there (read only).
const ArrowSchema* capsule_schema(PyObject* capsule);
// Moves the array out of an "arrow_array" capsule, which is then empty.
bool take_array(PyObject* capsule, Taken<ArrowArray>& out);
// Moves the stream out of an "arrow_array_stream" capsule.
bool take_stream(PyObject* capsule, Taken<ArrowArrayStream>& out);

// The layout of a string field; TypeError naming the format otherwise.
bool require_strings(const ArrowSchema& schema, StringLayout& layout);

// A string array given as its two capsules: the layout its schema names,
// checked before the array is moved out of its capsule.
bool take_string_array(PyObject* schema_capsule, PyObject* array_capsule, StringLayout& layout,
                       Taken<ArrowArray>& out);

// A (schema capsule, array capsule) tuple holding the two structs, which
// are moved into it (left released, on failure too).
PyObject* result_capsules(ArrowSchema& schema, ArrowArray& array);

}  // namespace zelkor::bulk
