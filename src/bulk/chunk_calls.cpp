#include "chunk_calls.h"

#include <climits>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_export.h"
#include "arrow_strings.h"
#include "boundary.h"
#include "capsules.h"
#include "chunk.h"
#include "nogil.h"
#include "pyref.h"

namespace zelkor::bulk {

namespace {

using py::Ref;

struct ChunkCall {
    Ref owner;  // keeps the Tokenizer object alive for the call
    const Tokenizer* tok = nullptr;
    const py::EngineCalls* calls = nullptr;
    ChunkOptions opt;
    size_t threads = 0;
};

bool size_arg(PyObject* obj, const char* name, size_t& out) {
    if (!PyLong_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", name, Py_TYPE(obj)->tp_name);
        return false;
    }
    out = PyLong_AsSize_t(obj);
    return !(out == size_t(-1) && PyErr_Occurred());
}

// (tok, max_tokens, overlap, boundary, threads) at the given positions.
bool chunk_call(PyObject* module, PyObject* tok, PyObject* const* opts, ChunkCall& out) {
    const py::PyTokenizer* t = tokenizer_arg(module, tok);
    if (!t) return false;
    size_t boundary = 0;
    if (!size_arg(opts[0], "max_tokens", out.opt.max_tokens) ||
        !size_arg(opts[1], "overlap", out.opt.overlap) || !size_arg(opts[2], "boundary", boundary) ||
        !size_arg(opts[3], "threads", out.threads))
        return false;
    if (out.opt.max_tokens < 1 || out.opt.overlap >= out.opt.max_tokens ||
        boundary > size_t(ChunkBoundary::Sentence)) {
        PyErr_SetString(PyExc_ValueError, "bad chunk options");
        return false;
    }
    out.opt.boundary = ChunkBoundary(boundary);
    out.owner = Ref::borrow(tok);
    out.tok = t->tok;
    out.calls = t->calls;
    return true;
}

PyObject* spans_bytes(const std::vector<Chunk>& chunks) {
    PyObject* b = PyBytes_FromStringAndSize(nullptr, Py_ssize_t(chunks.size() * 3 * sizeof(int64_t)));
    if (!b) return nullptr;
    auto* out = reinterpret_cast<int64_t*>(PyBytes_AS_STRING(b));
    for (const Chunk& c : chunks) {
        *out++ = int64_t(c.start);
        *out++ = int64_t(c.end);
        *out++ = int64_t(c.tokens);
    }
    return b;
}

}  // namespace

PyObject* chunk_texts(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        if (nargs != 6) {
            PyErr_Format(PyExc_TypeError, "chunk_texts() takes exactly 6 arguments (%zd given)", nargs);
            return nullptr;
        }
        ChunkCall call;
        if (!chunk_call(module, args[0], args + 2, call)) return nullptr;

        // A tuple of the strings keeps them (and their UTF-8) alive and
        // unchanged while the engine runs, whatever happens to the caller's list.
        Ref texts = Ref::steal(PySequence_Tuple(args[1]));
        if (!texts) return nullptr;
        const Py_ssize_t n = PyTuple_GET_SIZE(texts.get());
        std::vector<std::string_view> views(static_cast<size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* s = PyTuple_GET_ITEM(texts.get(), i);
            if (!PyUnicode_Check(s)) {
                PyErr_Format(PyExc_TypeError, "texts[%zd] must be a str, not %.200s", i,
                             Py_TYPE(s)->tp_name);
                return nullptr;
            }
            // Code-point offsets differ from byte offsets only outside ASCII.
            if (!PyUnicode_IS_ASCII(s)) call.opt.char_offsets = true;
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(s, &size);
            if (!utf8) return nullptr;
            views[size_t(i)] = std::string_view(utf8, size_t(size));
        }
        size_t bytes = 0;
        for (std::string_view v : views) bytes += v.size();
        const auto chunks = py::without_lock(
            [&] { return call.calls->chunk_batch(*call.tok, views, call.opt, call.threads); }, bytes,
            call.calls->stop_thread);
        Ref result = Ref::steal(PyList_New(n));
        if (!result) return nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* b = spans_bytes(chunks[size_t(i)]);
            if (!b) return nullptr;
            PyList_SET_ITEM(result.get(), i, b);
        }
        return result.release();
    });
}

namespace {

// The chunks of every text of the column as list<large_string> buffers.
// Touches no Python object.
std::string run_chunk_column(const ChunkCall& call, const ArrowArray& input, StringLayout layout,
                             ArrowSchema& schema, ArrowArray& array) {
    TextColumn column;
    std::string error = read_texts(input, layout, column);
    if (!error.empty()) return error;
    const auto chunks = call.calls->chunk_batch(*call.tok, column.texts, call.opt, call.threads);

    std::vector<int32_t> list_offsets{0};
    list_offsets.reserve(chunks.size() + 1);
    size_t strings = 0, bytes = 0;
    for (const auto& text_chunks : chunks) {
        strings += text_chunks.size();
        for (const Chunk& c : text_chunks) bytes += c.end - c.start;
        if (strings > size_t(INT32_MAX))
            return "more than 2147483647 chunks in one array; pass the column in smaller pieces";
        list_offsets.push_back(int32_t(strings));
    }
    std::vector<int64_t> string_offsets{0};
    string_offsets.reserve(strings + 1);
    std::vector<uint8_t> data(bytes);
    size_t at = 0;
    for (size_t i = 0; i < chunks.size(); ++i) {
        for (const Chunk& c : chunks[i]) {
            if (c.end > c.start) std::memcpy(data.data() + at, column.texts[i].data() + c.start, c.end - c.start);
            at += c.end - c.start;
            string_offsets.push_back(int64_t(at));
        }
    }
    export_string_lists(std::move(list_offsets), std::move(string_offsets), std::move(data),
                        std::move(column.validity), schema, array);
    return {};
}

}  // namespace

PyObject* chunk_array(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        if (nargs != 7) {
            PyErr_Format(PyExc_TypeError, "chunk_array() takes exactly 7 arguments (%zd given)", nargs);
            return nullptr;
        }
        ChunkCall call;
        if (!chunk_call(module, args[0], args + 3, call)) return nullptr;
        const ArrowSchema* in_schema = capsule_schema(args[1]);
        if (!in_schema) return nullptr;
        StringLayout layout;
        if (!require_strings(*in_schema, layout)) return nullptr;
        Taken<ArrowArray> input;
        if (!take_array(args[2], input)) return nullptr;
        Taken<ArrowSchema> schema;
        Taken<ArrowArray> array;
        const std::string error = py::without_lock(
            [&] { return run_chunk_column(call, input.value, layout, schema.value, array.value); },
            SIZE_MAX, call.calls->stop_thread);
        if (!error.empty()) {
            PyErr_SetString(PyExc_ValueError, error.c_str());
            return nullptr;
        }
        return result_capsules(schema.value, array.value);
    });
}

}  // namespace zelkor::bulk
