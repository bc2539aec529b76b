// zelkor._probe: private hooks into the engine for tests and benchmarks.
// Each probe converts its arguments, runs one engine piece with the
// interpreter released, and returns plain Python values. New probes go in
// PROBE_METHODS.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "builtin_images.h"
#include "expected.h"
#include "nogil.h"
#include "pretok_cl100k.h"
#include "pretok_o200k.h"
#include "uclass.h"

namespace {

using zelkor::Expected;
using zelkor::UClass;
using zelkor::UClassO;

// The built-in class tables, built on first use; function statics make the
// construction thread-safe.
template <class T>
const Expected<T>& builtin_classes(const char* image_name) {
    static const Expected<T> tables = [image_name] {
        const zelkor::Image img = zelkor::builtin_image(image_name);
        return T::from_bytes(img.data, img.size, image_name);
    }();
    return tables;
}

const Expected<UClass>& cl100k_classes() { return builtin_classes<UClass>("uniclass.bin"); }
const Expected<UClassO>& o200k_classes() {
    return builtin_classes<UClassO>("uniclass_o200k.bin");
}

enum class Family { Cl100k, O200k, Unknown };

Family family_of(const char* name, Py_ssize_t len) {
    const std::string_view s(name, size_t(len));
    if (s == "cl100k_base") return Family::Cl100k;
    if (s == "o200k_base" || s == "o200k_harmony") return Family::O200k;
    return Family::Unknown;
}

PyObject* offsets_to_list(const std::vector<size_t>& ends) {
    PyObject* list = PyList_New(Py_ssize_t(ends.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < ends.size(); ++i) {
        PyObject* v = PyLong_FromSize_t(ends[i]);
        if (!v) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, Py_ssize_t(i), v);
    }
    return list;
}

// pretokens(encoding: str, data: bytes) -> list[int]: the end offset of
// every pre-token of data.
PyObject* probe_pretokens(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "pretokens() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    if (!PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "pretokens() argument 1 must be str");
        return nullptr;
    }
    if (!PyBytes_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "pretokens() argument 2 must be bytes");
        return nullptr;
    }
    Py_ssize_t name_len = 0;
    const char* name = PyUnicode_AsUTF8AndSize(args[0], &name_len);
    if (!name) return nullptr;
    const Family family = family_of(name, name_len);
    if (family == Family::Unknown) {
        PyErr_Format(PyExc_ValueError, "unknown encoding: %U", args[0]);
        return nullptr;
    }

    // The bytes object is immutable and held by the caller's frame, so its
    // buffer stays valid while the interpreter is released.
    const auto* text = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(args[1]));
    const size_t len = size_t(PyBytes_GET_SIZE(args[1]));
    std::vector<size_t> ends;
    std::string error;
    zelkor::py::without_lock([&] {
        auto collect = [&](const uint8_t* piece, size_t piece_len) {
            ends.push_back(size_t(piece - text) + piece_len);
        };
        if (family == Family::Cl100k) {
            const Expected<UClass>& uc = cl100k_classes();
            if (uc) zelkor::split_cl100k(uc.value(), text, len, collect);
            else error = uc.error();
        } else {
            const Expected<UClassO>& uc = o200k_classes();
            if (uc) zelkor::split_o200k(uc.value(), text, len, collect);
            else error = uc.error();
        }
    });  // no polls: the splitter is not stopped here
    if (!error.empty()) {
        PyErr_SetString(PyExc_RuntimeError, error.c_str());
        return nullptr;
    }
    return offsets_to_list(ends);
}

PyMethodDef PROBE_METHODS[] = {
    {"pretokens", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_pretokens)),
     METH_FASTCALL,
     "pretokens(encoding, data)\n--\n\nEnd offsets of the pre-tokens of data (bytes) under the "
     "pre-tokenizer of encoding."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot PROBE_SLOTS[] = {
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef PROBE_MODULE = {
    PyModuleDef_HEAD_INIT,
    "zelkor._probe",
    "Private engine probes for tests and benchmarks.",
    0,
    PROBE_METHODS,
    PROBE_SLOTS,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__probe() { return PyModuleDef_Init(&PROBE_MODULE); }
