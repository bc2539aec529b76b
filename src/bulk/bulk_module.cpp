// zelkor._bulk: columnar work on zelkor._zelkor.Tokenizer objects. Arrow
// string columns go through the batch engine straight from the producer's
// buffers, and come back as Arrow arrays that own the engine's buffers. The
// public face is zelkor.arrow; this module is private.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

#include "boundary.h"
#include "capsules.h"
#include "module_state.h"
#include "chunk_calls.h"
#include "args.h"
#include "arrow_export.h"
#include "column_ops.h"
#include "nogil.h"
#include "py_tokenizer.h"
#include "pyref.h"
#include "signal_poll.h"

namespace zelkor::py {
const char PANIC_EXCEPTION_NAME[] = "zelkor._bulk.PanicException";
}  // namespace zelkor::py

namespace zelkor::bulk {

namespace {

using py::check_nargs;
using py::guarded;
using py::Ref;

using py::state_of;

struct RunArgs {
    Ref owner;  // keeps the Tokenizer object (and so its engine) alive for the call
    const Tokenizer* tok = nullptr;
    const py::EngineCalls* calls = nullptr;
    size_t threads = 0;
    bool with_special = false;
};

// (tok, ..., threads, with_special): threads a non-negative int, as count_batch takes it.
bool run_args(PyObject* module, PyObject* tok, PyObject* threads, PyObject* with_special, RunArgs& out) {
    const py::PyTokenizer* t = tokenizer_arg(module, tok);
    if (!t) return false;
    const unsigned long long n = PyLong_AsUnsignedLongLong(threads);
    if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    const int flag = PyObject_IsTrue(with_special);
    if (flag < 0) return false;
    out.owner = Ref::borrow(tok);
    out.tok = t->tok;
    out.calls = t->calls;
    out.threads = static_cast<size_t>(n);
    out.with_special = flag != 0;
    return true;
}

// One chunk: engine work without the interpreter, then the result capsules.
PyObject* run_chunk(const RunArgs& r, const ArrowArray& input, StringLayout layout, ColumnOp op) {
    Taken<ArrowSchema> schema;
    Taken<ArrowArray> array;
    const std::string error = py::without_lock(
        [&] {
            return run_column(*r.calls, *r.tok, input, layout, op, r.threads, r.with_special,
                              schema.value, array.value);
        },
        SIZE_MAX, r.calls->stop_thread);
    if (!error.empty()) {
        PyErr_SetString(PyExc_ValueError, error.c_str());
        return nullptr;
    }
    return result_capsules(schema.value, array.value);
}

// (tok, schema capsule, array capsule, threads, with_special) -> (schema capsule, array capsule)
PyObject* array_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs, const char* name,
                     ColumnOp op) {
    return guarded([&]() -> PyObject* {
        if (!check_nargs(name, nargs, 5)) return nullptr;
        RunArgs r;
        if (!run_args(module, args[0], args[3], args[4], r)) return nullptr;
        StringLayout layout;
        Taken<ArrowArray> input;
        if (!take_string_array(args[1], args[2], layout, input)) return nullptr;
        return run_chunk(r, input.value, layout, op);
    });
}

PyObject* stream_failed(ArrowArrayStream& stream, int code) {
    const char* detail = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
    PyErr_Format(PyExc_RuntimeError, "reading the Arrow stream failed: %s",
                 detail ? detail : std::to_string(code).c_str());
    return nullptr;
}

// (tok, stream capsule, threads, with_special) -> list of (schema capsule, array capsule),
// one per chunk in stream order.
PyObject* stream_call(PyObject* module, PyObject* const* args, Py_ssize_t nargs, const char* name,
                      ColumnOp op) {
    return guarded([&]() -> PyObject* {
        if (!check_nargs(name, nargs, 4)) return nullptr;
        RunArgs r;
        if (!run_args(module, args[0], args[2], args[3], r)) return nullptr;
        Taken<ArrowArrayStream> stream;
        if (!take_stream(args[1], stream)) return nullptr;
        ArrowArrayStream& s = stream.value;

        Taken<ArrowSchema> schema;
        if (const int rc = s.get_schema(&s, &schema.value)) return stream_failed(s, rc);
        StringLayout layout;
        if (!require_strings(schema.value, layout)) return nullptr;

        Ref chunks = Ref::steal(PyList_New(0));
        if (!chunks) return nullptr;
        for (;;) {
            Taken<ArrowArray> chunk;
            if (const int rc = s.get_next(&s, &chunk.value)) return stream_failed(s, rc);
            if (!chunk.value.release) break;  // end of stream
            Ref result = Ref::steal(run_chunk(r, chunk.value, layout, op));
            if (!result || PyList_Append(chunks.get(), result.get()) < 0) return nullptr;
            if (PyErr_CheckSignals() < 0) return nullptr;
        }
        return chunks.release();
    });
}

PyObject* encode_array(PyObject* m, PyObject* const* args, Py_ssize_t nargs) {
    return array_call(m, args, nargs, "encode_array", ColumnOp::Encode);
}
PyObject* count_array(PyObject* m, PyObject* const* args, Py_ssize_t nargs) {
    return array_call(m, args, nargs, "count_array", ColumnOp::Count);
}
PyObject* encode_stream(PyObject* m, PyObject* const* args, Py_ssize_t nargs) {
    return stream_call(m, args, nargs, "encode_stream", ColumnOp::Encode);
}
PyObject* count_stream(PyObject* m, PyObject* const* args, Py_ssize_t nargs) {
    return stream_call(m, args, nargs, "count_stream", ColumnOp::Count);
}

PyObject* from_datadir(PyObject* m, PyObject* tok) {
    const py::PyTokenizer* t = tokenizer_arg(m, tok);
    if (!t) return nullptr;
    return PyBool_FromLong(t->from_datadir);
}

PyObject* live_exports_now(PyObject*, PyObject*) { return PyLong_FromLongLong(live_exports()); }

#define FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL

PyMethodDef bulk_methods[] = {
    {"encode_array", FAST(encode_array),
     "encode_array(tok, schema, array, threads, with_special)\n--\n\n"
     "Token ids of an Arrow string array given as C data capsules; returns the\n"
     "capsules of a large_list<uint32> array."},
    {"count_array", FAST(count_array),
     "count_array(tok, schema, array, threads, with_special)\n--\n\n"
     "Token counts of an Arrow string array; returns the capsules of an int64 array."},
    {"encode_stream", FAST(encode_stream),
     "encode_stream(tok, stream, threads, with_special)\n--\n\n"
     "encode_array over every chunk of an Arrow array stream capsule."},
    {"count_stream", FAST(count_stream),
     "count_stream(tok, stream, threads, with_special)\n--\n\n"
     "count_array over every chunk of an Arrow array stream capsule."},
    {"chunk_texts", FAST(chunk_texts),
     "chunk_texts(tok, texts, max_tokens, overlap, boundary, threads)\n--\n\n"
     "Chunks of every text as bytes of int64 (start, end, tokens) triples,\n"
     "in code-point offsets."},
    {"chunk_strings", FAST(chunk_strings),
     "chunk_strings(tok, texts, max_tokens, overlap, boundary, threads)\n--\n\n"
     "Chunks of every text, one list of str per text."},
    {"chunk_array", FAST(chunk_array),
     "chunk_array(tok, schema, array, max_tokens, overlap, boundary, threads)\n--\n\n"
     "Chunks of every text of an Arrow string array; returns the capsules of a\n"
     "list<large_string> array."},
    {"from_datadir", from_datadir, METH_O,
     "from_datadir(tok)\n--\n\n"
     "Whether the tokenizer was loaded from a data directory."},
    {"live_exports", live_exports_now, METH_NOARGS,
     "live_exports()\n--\n\n"
     "Exported results whose buffers have not been released yet."},
    {nullptr, nullptr, 0, nullptr},
};

#undef FAST

int bulk_exec(PyObject* m) {
    return py::guarded_int([&]() -> int {
        // The tokenizer class is that of this interpreter's _zelkor; the
        // panic class is this interpreter's too.
        if (!py::note_main_thread()) return -1;
        Ref panic = Ref::steal(py::panic_exception());
        if (!panic) return -1;
        if (PyModule_AddObjectRef(m, "PanicException", panic.get()) < 0) return -1;
        Ref engine = Ref::steal(PyImport_ImportModule("zelkor._zelkor"));
        if (!engine) return -1;
        PyObject* type = PyObject_GetAttrString(engine.get(), "Tokenizer");
        if (!type) return -1;
        if (!PyType_Check(type)) {
            Py_DECREF(type);
            PyErr_SetString(PyExc_ImportError, "zelkor._zelkor.Tokenizer is not a class");
            return -1;
        }
        state_of(m)->tokenizer_type = type;
        return 0;
    });
}

PyModuleDef_Slot bulk_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(bulk_exec)},
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#ifdef Py_mod_multiple_interpreters
    // Its classes are its interpreter's own; the engine it runs is that of
    // zelkor._zelkor, safe to share across interpreters.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef bulk_def = {
    PyModuleDef_HEAD_INIT,
    "_bulk",
    "Private: Arrow columns through the batch engine, and pickling support.",
    sizeof(py::ModuleState),
    bulk_methods,
    bulk_slots,
    py::module_state_traverse,
    py::module_state_clear,
    py::module_state_free,
};

}  // namespace

// Another build's Tokenizer would have another layout: only the class of the
// _zelkor module next to this one is accepted.
const py::PyTokenizer* tokenizer_arg(PyObject* module, PyObject* obj) {
    auto* type = reinterpret_cast<PyTypeObject*>(state_of(module)->tokenizer_type);
    if (!PyObject_TypeCheck(obj, type)) {
        PyErr_Format(PyExc_TypeError, "expected a zelkor.Tokenizer, got %.200s", Py_TYPE(obj)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<const py::PyTokenizer*>(obj);
}

}  // namespace zelkor::bulk

PyMODINIT_FUNC PyInit__bulk() { return PyModuleDef_Init(&zelkor::bulk::bulk_def); }
