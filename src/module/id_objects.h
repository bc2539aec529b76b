// Python ints for token ids, made once per tokenizer and shared by every
// list it returns: a list of ids then costs one reference count per id
// instead of one allocation. Free-threaded builds make a fresh int each
// time, so that threads never contend on the reference counts of shared
// ints.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace zelkor::py {

class IdObjects {
public:
    // Room for ids below `n`; ints are made on first use. Throws
    // std::bad_alloc.
    explicit IdObjects(size_t n);
    // Releases the ints; needs an attached thread state.
    ~IdObjects();
    IdObjects(const IdObjects&) = delete;
    IdObjects& operator=(const IdObjects&) = delete;

    // A new list of the ids, or null with an exception set.
    PyObject* list(const uint32_t* ids, size_t n);

private:
    // A new reference to the int for `id`, or null with an exception set.
    PyObject* get(uint32_t id);

    PyObject** slots_ = nullptr;
    size_t n_ = 0;
};

}  // namespace zelkor::py
