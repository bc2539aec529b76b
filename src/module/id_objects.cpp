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
    if (id >= n_) [[unlikely]]
        return get_special(id, *this);
    PyObject* o = slots_[id];
    if (!o) {
        o = PyLong_FromUnsignedLong(id);
        if (!o) return nullptr;
        slots_[id] = o;
    }
    Py_INCREF(o);
    return o;
}

PyObject* IdObjects::get_special(uint32_t id, IdObjects& self) {
    const auto& ids = self.special_ids_;
    const auto it = std::lower_bound(ids.begin(), ids.end(), id);
    if (it == ids.end() || *it != id) return PyLong_FromUnsignedLong(id);
    PyObject*& o = self.special_slots_[size_t(it - ids.begin())];
    if (!o) {
        o = PyLong_FromUnsignedLong(id);
        if (!o) return nullptr;
    }
    Py_INCREF(o);
    return o;
}

PyObject* IdObjects::list(const uint32_t* ids, size_t n) {
    return new_list(n, [&](size_t i) { return get(ids[i]); });
}

}  // namespace zelkor::py
