#include "id_objects.h"

#include <algorithm>
#include <cstdlib>
#include <new>

#include "pyref.h"

namespace zelkor::py {

IdObjects::IdObjects(size_t n, const SpecialList& specials) {
#ifndef Py_GIL_DISABLED
    // calloc: the pages of ids never returned stay untouched.
    slots_ = static_cast<PyObject**>(std::calloc(n, sizeof(PyObject*)));
    if (!slots_ && n) throw std::bad_alloc();
    n_ = n;
    for (const Special& s : specials)
        if (s.id >= n) special_ids_.push_back(s.id);
    std::sort(special_ids_.begin(), special_ids_.end());
    special_ids_.erase(std::unique(special_ids_.begin(), special_ids_.end()), special_ids_.end());
    special_slots_.assign(special_ids_.size(), nullptr);
#else
    (void)n;
    (void)specials;
#endif
}

IdObjects::~IdObjects() {
    for (size_t i = 0; i < n_; ++i) Py_XDECREF(slots_[i]);
    std::free(slots_);
    for (PyObject* o : special_slots_) Py_XDECREF(o);
}

PyObject* IdObjects::get(uint32_t id) {
    // Only touched with the interpreter lock held.
    if (id < n_) [[likely]] {
        PyObject* o = slots_[id];
        if (o) [[likely]] {
            Py_INCREF(o);
            return o;
        }
    }
    return get_slow(id);
}

PyObject* IdObjects::get_slow(uint32_t id) {
    PyObject** slot = id < n_ ? &slots_[id] : nullptr;
    if (!slot) {
        const auto it = std::lower_bound(special_ids_.begin(), special_ids_.end(), id);
        if (it == special_ids_.end() || *it != id) return PyLong_FromUnsignedLong(id);
        slot = &special_slots_[size_t(it - special_ids_.begin())];
    }
    if (!*slot) {
        *slot = PyLong_FromUnsignedLong(id);
        if (!*slot) return nullptr;
    }
    Py_INCREF(*slot);
    return *slot;
}

PyObject* IdObjects::list(const uint32_t* ids, size_t n) {
    return new_list(n, [&](size_t i) { return get(ids[i]); });
}

}  // namespace zelkor::py
