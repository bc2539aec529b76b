#include "id_objects.h"

#include <cstdlib>
#include <new>

#include "pyref.h"

namespace zelkor::py {

IdObjects::IdObjects(size_t n) {
#ifndef Py_GIL_DISABLED
    // calloc: the pages of ids never returned stay untouched.
    slots_ = static_cast<PyObject**>(std::calloc(n, sizeof(PyObject*)));
    if (!slots_) throw std::bad_alloc();
    n_ = n;
#else
    (void)n;
#endif
}

IdObjects::~IdObjects() {
    for (size_t i = 0; i < n_; ++i) Py_XDECREF(slots_[i]);
    std::free(slots_);
}

PyObject* IdObjects::get(uint32_t id) {
    // Only touched with the interpreter lock held.
    if (id >= n_) return PyLong_FromUnsignedLong(id);
    PyObject* o = slots_[id];
    if (!o) {
        o = PyLong_FromUnsignedLong(id);
        if (!o) return nullptr;
        slots_[id] = o;
    }
    Py_INCREF(o);
    return o;
}

PyObject* IdObjects::list(const uint32_t* ids, size_t n) {
    return new_list(n, [&](size_t i) { return get(ids[i]); });
}

}  // namespace zelkor::py
