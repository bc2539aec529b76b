#include "capsules.h"

#include <cstdlib>
#include <new>

#include "pyref.h"

namespace zelkor::bulk {

namespace {

using py::Ref;

template <class T>
T* capsule_struct(PyObject* capsule, const char* name) {
    if (!PyCapsule_IsValid(capsule, name)) {
        PyErr_Format(PyExc_TypeError, "expected a PyCapsule named '%s'", name);
        return nullptr;
    }
    auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (p && !p->release) {
        PyErr_Format(PyExc_ValueError, "the '%s' capsule has already been consumed", name);
        return nullptr;
    }
    return p;
}

template <class T>
bool take(PyObject* capsule, const char* name, Taken<T>& out) {
    T* p = capsule_struct<T>(capsule, name);
    if (!p) return false;
    out.value = *p;
    p->release = nullptr;  // ownership moved: the capsule's destructor leaves it alone
    return true;
}

// Capsules we produce own a heap struct; a consumer that moved it out
// leaves it released.
template <class T>
void destroy_struct(PyObject* capsule, const char* name) {
    auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    if (!p) {
        PyErr_Clear();
        return;
    }
    if (p->release) p->release(p);
    std::free(p);
}

void destroy_schema_capsule(PyObject* c) { destroy_struct<ArrowSchema>(c, SCHEMA_CAPSULE); }
void destroy_array_capsule(PyObject* c) { destroy_struct<ArrowArray>(c, ARRAY_CAPSULE); }

template <class T>
PyObject* capsule_of(T& value, const char* name, PyCapsule_Destructor destructor) {
    auto* p = static_cast<T*>(std::malloc(sizeof(T)));
    if (!p) {
        if (value.release) value.release(&value);
        return PyErr_NoMemory();
    }
    *p = value;
    value.release = nullptr;
    PyObject* capsule = PyCapsule_New(p, name, destructor);
    if (!capsule) {
        if (p->release) p->release(p);
        std::free(p);
    }
    return capsule;
}

}  // namespace

const ArrowSchema* capsule_schema(PyObject* capsule) {
    return capsule_struct<ArrowSchema>(capsule, SCHEMA_CAPSULE);
}

bool take_array(PyObject* capsule, Taken<ArrowArray>& out) { return take(capsule, ARRAY_CAPSULE, out); }

bool take_string_array(PyObject* schema_capsule, PyObject* array_capsule, StringLayout& layout,
                       Taken<ArrowArray>& out) {
    const ArrowSchema* schema = capsule_schema(schema_capsule);
    return schema && require_strings(*schema, layout) && take_array(array_capsule, out);
}

bool take_stream(PyObject* capsule, Taken<ArrowArrayStream>& out) {
    return take(capsule, STREAM_CAPSULE, out);
}

bool require_strings(const ArrowSchema& schema, StringLayout& layout) {
    if (string_layout(schema, layout)) return true;
    const char* format = schema.format ? schema.format : "";
    if (schema.dictionary) {
        PyErr_Format(PyExc_TypeError,
                     "expected an Arrow string array, got a dictionary-encoded array (index format "
                     "'%s'); decode it first, e.g. with .cast(pyarrow.large_string())",
                     format);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "expected an Arrow string array (format 'u', 'U' or 'vu'), got format '%s'",
                     format);
    }
    return false;
}

PyObject* result_capsules(ArrowSchema& schema, ArrowArray& array) {
    Ref s = Ref::steal(capsule_of(schema, SCHEMA_CAPSULE, destroy_schema_capsule));
    if (!s) {
        if (array.release) array.release(&array);
        return nullptr;
    }
    Ref a = Ref::steal(capsule_of(array, ARRAY_CAPSULE, destroy_array_capsule));
    if (!a) return nullptr;
    return PyTuple_Pack(2, s.get(), a.get());
}

}  // namespace zelkor::bulk
