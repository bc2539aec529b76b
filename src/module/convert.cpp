#include "convert.h"

#include <bit>
#include <climits>
#include <cstring>
#include <utility>

#include "pyref.h"

namespace zelkor::py {

namespace {

static_assert(sizeof(size_t) == 8, "counts and sizes are 64-bit");

void raise_cannot_convert(PyObject* o, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(o)->tp_name,
                 target);
}

bool refuse_str(PyObject* o) {
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return true;
    }
    return false;
}

// Whether o is numpy's bool scalar (numpy.bool_, named "numpy.bool" since
// numpy 2): that very type, not one that only shares its name. Such a value
// exists only once numpy is imported, so numpy is looked up among the loaded
// modules and never imported here.
bool is_numpy_bool(PyObject* o) {
    Ref name = Ref::steal(PyUnicode_FromString("numpy"));
    Ref numpy = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref();
    Ref type = numpy ? Ref::steal(PyObject_GetAttrString(numpy.get(), "bool_")) : Ref();
    if (!type) {
        PyErr_Clear();
        return false;
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(o)) == type.get();
}

// The interpreter's sequence check, or collections.abc.Sequence.
bool require_sequence(PyObject* o) {
    if (PySequence_Check(o)) return true;
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    if (!abc) return false;
    Ref seq = Ref::steal(PyObject_GetAttrString(abc.get(), "Sequence"));
    if (!seq) return false;
    int r = PyObject_IsInstance(o, seq.get());
    if (r < 0) return false;
    if (r == 0) {
        raise_cannot_convert(o, "Sequence");
        return false;
    }
    return true;
}

// Calls fn(item) for every item of a sequence, in iteration order; stops at
// the first false. Tuples are read directly; lists too where the interpreter
// lock protects them; everything else goes through iter().
template <class F>
bool for_each_item(PyObject* o, F&& fn) {
    if (PyTuple_CheckExact(o)) {
        Py_ssize_t n = PyTuple_GET_SIZE(o);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!fn(PyTuple_GET_ITEM(o, i))) return false;
        return true;
    }
#ifndef Py_GIL_DISABLED
    if (PyList_CheckExact(o)) {
        // Re-read the size each time: converting an item may run Python code
        // that changes the list, and a list iterator would see that too.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(o, i));
            if (!fn(item.get())) return false;
        }
        return true;
    }
#endif
    Ref it = Ref::steal(PyObject_GetIter(o));
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        if (!fn(item.get())) return false;
    }
    return !PyErr_Occurred();
}

// Raises `type` with `message`, the exception being handled as its cause.
void raise_from_current(PyObject* type, const char* message) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* cause = PyErr_GetRaisedException();
#else
    PyObject *cause_type, *cause, *tb;
    PyErr_Fetch(&cause_type, &cause, &tb);
    PyErr_NormalizeException(&cause_type, &cause, &tb);
    if (tb && cause) PyException_SetTraceback(cause, tb);
    Py_XDECREF(cause_type);
    Py_XDECREF(tb);
#endif
    PyErr_SetString(type, message);
    if (!cause) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetCause(raised, cause);  // steals cause
    PyErr_SetRaisedException(raised);
#else
    PyObject *t, *v, *b;
    PyErr_Fetch(&t, &v, &b);
    PyErr_NormalizeException(&t, &v, &b);
    PyException_SetCause(v, cause);
    PyErr_Restore(t, v, b);
#endif
}

// len() is only a hint: a sequence may claim more items than it yields, so
// the reservation taken from it is capped and the vector grows past it.
size_t length_hint(PyObject* o) {
    constexpr Py_ssize_t cap = Py_ssize_t{1} << 20;
    Py_ssize_t n = PyObject_Size(o);
    if (n < 0) {
        PyErr_Clear();
        return 0;
    }
    return static_cast<size_t>(n < cap ? n : cap);
}

}  // namespace

bool text_view(PyObject* o, std::string_view& out) {
    if (!PyUnicode_Check(o)) {
        raise_cannot_convert(o, "str");
        return false;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return false;
    out = std::string_view(s, static_cast<size_t>(n));
    return true;
}

bool bytes_view(PyObject* o, std::string_view& out) {
    if (!PyBytes_Check(o)) {
        raise_cannot_convert(o, "bytes");
        return false;
    }
    out = std::string_view(PyBytes_AS_STRING(o), static_cast<size_t>(PyBytes_GET_SIZE(o)));
    return true;
}

namespace {

// A non-negative int of one digit, read in place: the common case of ids,
// without a call. False for anything else.
bool small_int(PyObject* o, uint32_t& out) {
#if PY_VERSION_HEX >= 0x030C0000
    auto* l = reinterpret_cast<PyLongObject*>(o);
    if (!PyUnstable_Long_IsCompact(l)) return false;
    const Py_ssize_t v = PyUnstable_Long_CompactValue(l);
    if (v < 0 || static_cast<unsigned long long>(v) > 0xFFFFFFFFull) return false;
    out = static_cast<uint32_t>(v);
    return true;
#elif PY_VERSION_HEX >= 0x030B0000
    const Py_ssize_t size = Py_SIZE(o);
    if (size == 0) {
        out = 0;
        return true;
    }
    if (size != 1) return false;
    out = static_cast<uint32_t>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
    return true;
#else
    (void)o;
    (void)out;
    return false;
#endif
}

}  // namespace

bool token_id(PyObject* o, uint32_t& out) {
    long long v;
    if (PyLong_CheckExact(o)) {
        if (small_int(o, out)) return true;
        v = PyLong_AsLongLong(o);
    } else {
        Ref idx = Ref::steal(PyNumber_Index(o));
        if (!idx) return false;
        v = PyLong_AsLongLong(idx.get());
    }
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > 0xFFFFFFFFll) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<uint32_t>(v);
    return true;
}

bool count_arg(PyObject* o, uint64_t& out) {
    Ref idx = Ref::steal(PyNumber_Index(o));
    if (!idx) return false;
    unsigned long long v = PyLong_AsUnsignedLongLong(idx.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool flag_arg(PyObject* o, bool& out) {
    if (o == Py_True || o == Py_False) {
        out = (o == Py_True);
        return true;
    }
    if (is_numpy_bool(o)) {
        const int r = PyObject_IsTrue(o);
        if (r < 0) return false;
        out = r == 1;
        return true;
    }
    raise_cannot_convert(o, "bool");
    return false;
}

bool id_list(PyObject* o, IdVec& out) {
    if (refuse_str(o) || !require_sequence(o)) return false;
    out.reserve(length_hint(o));
    size_t seen = 0;
    return for_each_item(o, [&](PyObject* item) {
        // Many millions of ids take a while to read: signal handlers get
        // their turn (cheap with the lock held, and rare).
        if ((++seen & 0xFFFFF) == 0 && PyErr_CheckSignals() < 0) return false;
        uint32_t id;
        if (!token_id(item, id)) return false;
        out.push_back(id);
        return true;
    });
}

bool id_lists(PyObject* o, std::vector<IdVec>& out) {
    if (refuse_str(o) || !require_sequence(o)) return false;
    out.reserve(length_hint(o));
    return for_each_item(o, [&](PyObject* item) {
        IdVec ids;
        if (!id_list(item, ids)) return false;
        out.push_back(std::move(ids));
        return true;
    });
}

TextList::~TextList() {
    if (!python_objects_usable()) return;  // see thread_end.h
    for (PyObject* o : owners_) Py_DECREF(o);
}

bool text_list(PyObject* o, TextList& out) {
    if (refuse_str(o) || !require_sequence(o)) return false;
    const size_t hint = length_hint(o);
    out.views_.reserve(hint);
    out.owners_.reserve(hint);
    return for_each_item(o, [&](PyObject* item) {
        std::string_view s;
        if (!text_view(item, s)) return false;
        out.owners_.push_back(item);  // may throw: only then take the reference
        Py_INCREF(item);
        out.views_.push_back(s);
        return true;
    });
}

PyObject* ids_to_list(const uint32_t* ids, size_t n) {
    return new_list(n, [&](size_t i) { return PyLong_FromUnsignedLong(ids[i]); });
}

namespace {
template <class T>
PyObject* little_endian_bytes(const T* v, size_t n) {
    if (n > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(T)) return PyErr_NoMemory();
    PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * sizeof(T)));
    if (!b) return nullptr;
    char* dst = PyBytes_AS_STRING(b);
    if constexpr (std::endian::native == std::endian::little) {
        if (n) std::memcpy(dst, v, n * sizeof(T));
    } else {
        for (size_t i = 0; i < n; ++i) {
            auto x = static_cast<std::make_unsigned_t<T>>(v[i]);
            for (size_t k = 0; k < sizeof(T); ++k) dst[i * sizeof(T) + k] = char((x >> (8 * k)) & 0xFF);
        }
    }
    return b;
}
}  // namespace

PyObject* ids_to_bytes(const uint32_t* ids, size_t n) { return little_endian_bytes(ids, n); }
PyObject* i64_to_bytes(const int64_t* v, size_t n) { return little_endian_bytes(v, n); }

PyObject* str_from_utf8(const char* s, size_t n) {
    return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), "strict");
}

PyObject* bytes_from(const void* s, size_t n) {
    return PyBytes_FromStringAndSize(static_cast<const char*>(s), static_cast<Py_ssize_t>(n));
}

PyObject* frombuffer(PyObject* buffer, const char* dtype) {
    Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        if (PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
            // Replace, not chain: the caller only needs to know what to install.
            PyErr_Clear();
            PyErr_SetString(PyExc_RuntimeError,
                            "the numpy methods need numpy installed: pip install 'zelkor-rs[numpy]'");
            return nullptr;
        }
        // Installed but not loadable here (numpy refuses sub-interpreters,
        // for one): its own error, which says why, becomes the cause.
        raise_from_current(PyExc_RuntimeError, "the numpy methods need numpy, which failed to import");
        return nullptr;
    }
    Ref fn = Ref::steal(PyObject_GetAttrString(numpy.get(), "frombuffer"));
    if (!fn) return nullptr;
    Ref dt = Ref::steal(PyUnicode_FromString(dtype));
    if (!dt) return nullptr;
    return PyObject_CallFunctionObjArgs(fn.get(), buffer, dt.get(), nullptr);
}

}  // namespace zelkor::py
