// Arrow structs in and out of the PyCapsules of the Arrow PyCapsule
// interface. Everything here runs with the interpreter attached.
#pragma once

#include <Python.h>

#include "arrow_abi.h"
#include "arrow_strings.h"
#include "thread_end.h"

namespace zelkor::bulk {

// A struct moved out of a producer's capsule (or filled by a producer's
// callback); released when it goes out of scope. Destroy it with the
// interpreter attached: a producer's release callback may need it.
template <class T>
class Taken {
public:
    Taken() = default;
    Taken(const Taken&) = delete;
    Taken& operator=(const Taken&) = delete;
    ~Taken() {
        // A producer's callback may be Python code: not on a thread the
        // interpreter ends (thread_end.h).
        if (value.release && py::python_objects_usable()) value.release(&value);
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

// A (schema capsule, array capsule) tuple holding the two structs, which
// are moved into it (left released, on failure too).
PyObject* result_capsules(ArrowSchema& schema, ArrowArray& array);

}  // namespace zelkor::bulk
