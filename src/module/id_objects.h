// Python ints for token ids, made once per tokenizer and shared by every
// list it returns: a list of ids then costs one reference count per id
// instead of one allocation. Free-threaded builds make a fresh int each
// time, so that threads never contend on the reference counts of shared
// ints.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "specials.h"

namespace zelkor::py {

class IdObjects {
public:
    // Room for the ordinary ids below `n` and for the ids of `specials`;
    // ints are made on first use. Special ids may lie anywhere up to 2^32 - 1,
    // so they get a small sorted table of their own, not a place in the
    // dense one. Throws std::bad_alloc.
    IdObjects(size_t n, const SpecialList& specials);
    // Releases the ints; needs an attached thread state.
    ~IdObjects();
    IdObjects(const IdObjects&) = delete;
    IdObjects& operator=(const IdObjects&) = delete;

    // A new list of the ids, or null with an exception set.
    PyObject* list(const uint32_t* ids, size_t n);

private:
    // A new reference to the int for `id`, or null with an exception set.
    PyObject* get(uint32_t id);
    // The same for ids from n_ up, kept out of the path of ordinary ids (and
    // taking the id first, where that path already holds it).
    [[gnu::noinline, gnu::cold]] static PyObject* get_special(uint32_t id, IdObjects& self);

    PyObject** slots_ = nullptr;  // ids below n_
    size_t n_ = 0;
    std::vector<uint32_t> special_ids_;  // the special ids from n_ up, ascending, unique
    std::vector<PyObject*> special_slots_;
};

}  // namespace zelkor::py
