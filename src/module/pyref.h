// An owning PyObject* handle: one strong reference, dropped on destruction.
#pragma once

#include <Python.h>

#include <cstddef>
#include <utility>

#include "thread_end.h"

namespace zelkor::py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (the result of most C API calls); null is
    // allowed and means "failed".
    static Ref steal(PyObject* o) { return Ref(o); }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* o) {
        Py_XINCREF(o);
        return Ref(o);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    // Left alone on a thread the interpreter ends (thread_end.h).
    ~Ref() {
        if (p_ && python_objects_usable()) Py_DECREF(p_);
    }

    PyObject* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // Hands the reference to the caller (e.g. as a method's result).
    PyObject* release() { return std::exchange(p_, nullptr); }

private:
    explicit Ref(PyObject* o) : p_(o) {}
    PyObject* p_ = nullptr;
};

// A new list of n items; make(i) returns item i as a new reference, or null
// with an exception set, which drops the list and returns null.
template <class Make>
PyObject* new_list(size_t n, Make&& make) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        PyObject* item = make(i);
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// A new (a, b) tuple taking both new references; null if either is null.
inline PyObject* new_pair(PyObject* a, PyObject* b) {
    Ref first = Ref::steal(a), second = Ref::steal(b);
    if (!first || !second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

}  // namespace zelkor::py
