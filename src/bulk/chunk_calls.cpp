#include "chunk_calls.h"

#include <climits>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "args.h"
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

// How a chunk of a text becomes a str. Slicing the str's own code points
// costs in proportion to their width (four bytes each in a text with one
// emoji); decoding the chunk's UTF-8 costs little for ASCII and more for
// every other character. Mostly ASCII texts are decoded, the others sliced
// (measured on the benchmark corpora).
enum class Make : uint8_t { Copy, Decode, Slice };

// The texts of a chunking call, held by a tuple that keeps them (and their
// UTF-8) alive and unchanged while the engine runs, whatever happens to the
// caller's list.
struct CallTexts {
    Ref tuple;
    std::vector<std::string_view> utf8;
    std::vector<Make> make;
    bool ascii = true;  // every text is ASCII
};

// How much text a call works on: long calls on the main thread poll for
// signals (nogil.h).
size_t total_bytes(const std::vector<std::string_view>& texts) {
    size_t bytes = 0;
    for (std::string_view t : texts) bytes += t.size();
    return bytes;
}

bool call_texts(PyObject* seq, CallTexts& out) {
    out.tuple = Ref::steal(PySequence_Tuple(seq));
    if (!out.tuple) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(out.tuple.get());
    out.utf8.resize(static_cast<size_t>(n));
    out.make.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* s = PyTuple_GET_ITEM(out.tuple.get(), i);
        if (!PyUnicode_Check(s)) {
            PyErr_Format(PyExc_TypeError, "texts[%zd] must be a str, not %.200s", i,
                         Py_TYPE(s)->tp_name);
            return false;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(s, &size);
        if (!utf8) return false;
        out.utf8[size_t(i)] = std::string_view(utf8, size_t(size));
        const bool ascii = PyUnicode_IS_ASCII(s);
        out.ascii &= ascii;
        // Up to one byte in 16 past the first of a character: mostly ASCII.
        const bool mostly_ascii = size_t(size) * 16 <= size_t(PyUnicode_GET_LENGTH(s)) * 17;
        out.make[size_t(i)] = ascii ? Make::Copy : mostly_ascii ? Make::Decode : Make::Slice;
    }
    return true;
}

// The chunk [c.start, c.end) of `text` as a str: byte offsets, code-point
// offsets for Slice (for an ASCII text they are the same).
PyObject* chunk_string(PyObject* text, std::string_view utf8, Make make, const Chunk& c) {
    const Py_ssize_t n = Py_ssize_t(c.end - c.start);
    switch (make) {
        case Make::Slice:
            return PyUnicode_Substring(text, Py_ssize_t(c.start), Py_ssize_t(c.end));
        case Make::Decode:
            if (c.start == 0 && c.end == utf8.size()) return Py_NewRef(text);
            return PyUnicode_DecodeUTF8(utf8.data() + c.start, n, nullptr);
        case Make::Copy:
            break;
    }
    if (c.start == 0 && c.end == utf8.size()) return Py_NewRef(text);
    PyObject* s = PyUnicode_New(n, 127);
    if (s) std::memcpy(PyUnicode_DATA(s), utf8.data() + c.start, size_t(n));
    return s;
}

// The arguments of chunk_texts and chunk_strings: (tok, texts, max_tokens,
// overlap, boundary, threads).
bool text_call(const char* name, PyObject* module, PyObject* const* args, Py_ssize_t nargs,
               ChunkCall& call, CallTexts& texts) {
    return py::check_nargs(name, nargs, 6) && chunk_call(module, args[0], args + 2, call) &&
           call_texts(args[1], texts);
}

// The chunks of the call's texts, from the engine without the lock; a long
// call on the main thread stops when a signal handler raises.
std::vector<std::vector<Chunk>> chunks_of(const ChunkCall& call, const CallTexts& texts) {
    return py::without_lock(
        [&] { return call.calls->chunk_batch(*call.tok, texts.utf8, call.opt, call.threads); },
        total_bytes(texts.utf8), call.calls->stop_thread);
}

}  // namespace

PyObject* chunk_texts(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        ChunkCall call;
        CallTexts texts;
        if (!text_call("chunk_texts", module, args, nargs, call, texts)) return nullptr;
        // Code-point offsets differ from byte offsets only outside ASCII.
        call.opt.char_offsets = !texts.ascii;
        const auto chunks = chunks_of(call, texts);
        Ref result = Ref::steal(PyList_New(Py_ssize_t(chunks.size())));
        if (!result) return nullptr;
        for (size_t i = 0; i < chunks.size(); ++i) {
            PyObject* b = spans_bytes(chunks[i]);
            if (!b) return nullptr;
            PyList_SET_ITEM(result.get(), Py_ssize_t(i), b);
        }
        return result.release();
    });
}

PyObject* chunk_strings(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
    return py::guarded([&]() -> PyObject* {
        ChunkCall call;
        CallTexts texts;
        if (!text_call("chunk_strings", module, args, nargs, call, texts)) return nullptr;
        // The engine gives code-point offsets for all texts or for none:
        // one text to slice, and every text that is not ASCII is sliced.
        for (Make m : texts.make) call.opt.char_offsets |= m == Make::Slice;
        if (call.opt.char_offsets)
            for (Make& m : texts.make) m = m == Make::Decode ? Make::Slice : m;
        const auto chunks = chunks_of(call, texts);
        Ref result = Ref::steal(PyList_New(Py_ssize_t(chunks.size())));
        if (!result) return nullptr;
        for (size_t i = 0; i < chunks.size(); ++i) {
            PyObject* text = PyTuple_GET_ITEM(texts.tuple.get(), Py_ssize_t(i));
            Ref list = Ref::steal(PyList_New(Py_ssize_t(chunks[i].size())));
            if (!list) return nullptr;
            for (size_t k = 0; k < chunks[i].size(); ++k) {
                PyObject* s = chunk_string(text, texts.utf8[i], texts.make[i], chunks[i][k]);
                if (!s) return nullptr;
                PyList_SET_ITEM(list.get(), Py_ssize_t(k), s);
            }
            PyList_SET_ITEM(result.get(), Py_ssize_t(i), list.release());
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
        if (!py::check_nargs("chunk_array", nargs, 7)) return nullptr;
        ChunkCall call;
        if (!chunk_call(module, args[0], args + 3, call)) return nullptr;
        StringLayout layout;
        Taken<ArrowArray> input;
        if (!take_string_array(args[1], args[2], layout, input)) return nullptr;
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
