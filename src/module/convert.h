// Conversions between Python arguments/results and the engine's plain data.
// Every function that can fail returns false (or null) with an exception set;
// none attaches the parameter note, that is the caller's business.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "id_vec.h"

namespace zelkor::py {

// The UTF-8 of a str (or subclass), borrowed from the string object.
bool text_view(PyObject* o, std::string_view& out);
// The bytes of a bytes object (or subclass), borrowed.
bool bytes_view(PyObject* o, std::string_view& out);

// A token id: an integer in 0 .. 2^32 - 1.
bool token_id(PyObject* o, uint32_t& out);
// A non-negative integer that fits 64 bits.
bool count_arg(PyObject* o, uint64_t& out);
// True or False (also numpy's bool scalar); nothing else.
bool flag_arg(PyObject* o, bool& out);

// A sequence (not a str) of token ids.
bool id_list(PyObject* o, IdVec& out);
// A sequence (not a str) of id lists.
bool id_lists(PyObject* o, std::vector<IdVec>& out);

// A sequence (not a str) of str, read in place: the UTF-8 of each str,
// which the str owns, with a reference to every str so that the buffers
// outlive whatever happens to the caller's sequence while the engine works
// without the interpreter lock. Destroy with the lock held.
class TextList {
public:
    TextList() = default;
    TextList(const TextList&) = delete;
    TextList& operator=(const TextList&) = delete;
    ~TextList();

    const std::vector<std::string_view>& views() const { return views_; }

private:
    friend bool text_list(PyObject* o, TextList& out);
    std::vector<std::string_view> views_;
    std::vector<PyObject*> owners_;
};
bool text_list(PyObject* o, TextList& out);

// Results.
PyObject* ids_to_list(const uint32_t* ids, size_t n);
PyObject* ids_to_bytes(const uint32_t* ids, size_t n);  // u32 little-endian
PyObject* i64_to_bytes(const int64_t* v, size_t n);     // i64 little-endian
PyObject* str_from_utf8(const char* s, size_t n);       // known-valid UTF-8
PyObject* bytes_from(const void* s, size_t n);
// numpy.frombuffer(buffer, dtype); numpy is imported on every call.
PyObject* frombuffer(PyObject* buffer, const char* dtype);

}  // namespace zelkor::py
