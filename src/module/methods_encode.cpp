// Encoding methods of Tokenizer: single texts.
#include <string_view>
#include <utility>
#include <vector>

#include "args.h"
#include "boundary.h"
#include "convert.h"
#include "nogil.h"
#include "py_tokenizer.h"
#include "pyref.h"

namespace zelkor::py {

namespace {

const uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Converts the one `text` argument of a method whose only parameter it is.
bool single_text(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 std::string_view& text) {
    PyObject* a[1];
    if (!parse_args(sig, args, nargs, kwnames, a)) return false;
    if (!text_view(a[0], text)) return note_argument(sig.params[0]);
    return true;
}

// `encode` and its buffer/numpy forms: policy check with the lock held, then
// the encoding without it. The ids come back as an owned vector.
bool encode_with_policy(PyObject* self, const Signature& sig, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, IdVec& ids) {
    PyObject* a[3];
    if (!parse_args(sig, args, nargs, kwnames, a)) return false;
    std::string_view text;
    if (!text_view(a[0], text)) return note_argument("text");
    // None is the same as leaving the argument out.
    PyObject* allowed_arg = a[1] == Py_None ? nullptr : a[1];
    PyObject* disallowed_arg = a[2] == Py_None ? nullptr : a[2];
    SpecialSet allowed, disallowed;
    if (!to_set(allowed_arg, false, allowed)) return false;
    if (!to_set(disallowed_arg, true, disallowed)) return false;

    const SpecialIndex& index = special_index(self);
    if (!check_disallowed(index, allowed, disallowed, text)) return false;
    std::vector<const Special*> storage;
    const std::vector<const Special*>& list = allowed_list(index, allowed, storage);

    const Tokenizer& tok = engine(self);
    ids = without_lock(
        [&] {
            if (list.empty()) return encode(tok, bytes_of(text), text.size());
            return encode_with_specials_from(tok, bytes_of(text), text.size(), list);
        },
        text.size());
    return true;
}

constexpr Signature ENCODE_SIG{"Tokenizer.encode", {"text", "allowed_special", "disallowed_special"}, 3, 1};
constexpr Signature ENCODE_TO_BUFFER_SIG{"Tokenizer.encode_to_buffer",
                                         {"text", "allowed_special", "disallowed_special"}, 3, 1};
constexpr Signature ENCODE_TO_NUMPY_SIG{"Tokenizer.encode_to_numpy",
                                        {"text", "allowed_special", "disallowed_special"}, 3, 1};

}  // namespace

ZELKOR_FASTCALL(m_encode) {
    return guarded([&]() -> PyObject* {
        IdVec ids;
        if (!encode_with_policy(self, ENCODE_SIG, args, nargs, kwnames, ids)) return nullptr;
        return id_list(self, ids.data(), ids.size());
    });
}

ZELKOR_FASTCALL(m_encode_to_buffer) {
    return guarded([&]() -> PyObject* {
        IdVec ids;
        if (!encode_with_policy(self, ENCODE_TO_BUFFER_SIG, args, nargs, kwnames, ids)) return nullptr;
        return ids_to_bytes(ids.data(), ids.size());
    });
}

ZELKOR_FASTCALL(m_encode_to_numpy) {
    return guarded([&]() -> PyObject* {
        IdVec ids;
        if (!encode_with_policy(self, ENCODE_TO_NUMPY_SIG, args, nargs, kwnames, ids)) return nullptr;
        Ref buffer = Ref::steal(ids_to_bytes(ids.data(), ids.size()));
        if (!buffer) return nullptr;
        return frombuffer(buffer.get(), "uint32");
    });
}

ZELKOR_FASTCALL(m_encode_ordinary) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.encode_ordinary", {"text"}, 1, 1};
        std::string_view text;
        if (!single_text(sig, args, nargs, kwnames, text)) return nullptr;
        const Tokenizer& tok = engine(self);
        IdVec ids = without_lock([&] { return encode(tok, bytes_of(text), text.size()); }, text.size());
        return id_list(self, ids.data(), ids.size());
    });
}

ZELKOR_FASTCALL(m_encode_bytes) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.encode_bytes", {"data"}, 1, 1};
        PyObject* a[1];
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
        std::string_view data;
        if (!bytes_view(a[0], data)) return arg_failed("data");
        const Tokenizer& tok = engine(self);
        IdVec ids = without_lock([&] { return encode(tok, bytes_of(data), data.size()); }, data.size());
        return id_list(self, ids.data(), ids.size());
    });
}

ZELKOR_FASTCALL(m_encode_with_special) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.encode_with_special", {"text"}, 1, 1};
        std::string_view text;
        if (!single_text(sig, args, nargs, kwnames, text)) return nullptr;
        const Tokenizer& tok = engine(self);
        IdVec ids = without_lock([&] { return encode_with_special(tok, bytes_of(text), text.size()); },
                                 text.size());
        return id_list(self, ids.data(), ids.size());
    });
}

ZELKOR_FASTCALL(m_count) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.count", {"text"}, 1, 1};
        std::string_view text;
        if (!single_text(sig, args, nargs, kwnames, text)) return nullptr;
        const Tokenizer& tok = engine(self);
        size_t n = without_lock([&] { return count(tok, bytes_of(text), text.size()); }, text.size());
        return PyLong_FromSize_t(n);
    });
}

ZELKOR_FASTCALL(m_encode_single_token) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.encode_single_token", {"piece"}, 1, 1};
        PyObject* a[1];
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
        std::string_view piece;
        // bytes as they are, otherwise a str; the error carries no note.
        if (PyBytes_Check(a[0])) {
            if (!bytes_view(a[0], piece)) return nullptr;
        } else if (!text_view(a[0], piece)) {
            return nullptr;
        }
        const Tokenizer& tok = engine(self);
        TokenId id = tok.vocab->find_id(bytes_of(piece), piece.size());
        if (id != NONE) return PyLong_FromUnsignedLong(id);
        if (const Special* s = tok.special_by_text(piece)) return PyLong_FromUnsignedLong(s->id);
        PyErr_SetString(PyExc_KeyError, "bytes are not a single token in this encoding");
        return nullptr;
    });
}

ZELKOR_FASTCALL(m_encode_with_offsets) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.encode_with_offsets", {"text", "unit"}, 2, 1};
        PyObject* a[2];
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
        std::string_view text;
        if (!text_view(a[0], text)) return arg_failed("text");
        bool chars = false;
        if (a[1]) {
            std::string_view unit;
            if (!text_view(a[1], unit)) return arg_failed("unit");
            if (unit == "char") {
                chars = true;
            } else if (unit != "byte") {
                PyErr_SetString(PyExc_ValueError, "unit must be 'byte' or 'char'");
                return nullptr;
            }
        }
        const Tokenizer& tok = engine(self);
        std::vector<std::pair<uint32_t, uint32_t>> spans;
        IdVec ids = without_lock([&] {
            IdVec v = encode(tok, bytes_of(text), text.size());
            spans.resize(v.size());
            const uint8_t* lens = tok.vocab->token_lens.data();
            uint32_t b = 0;
            for (size_t i = 0; i < v.size(); ++i) {
                uint32_t e = b + lens[v[i]];
                spans[i] = {b, e};
                b = e;
            }
            if (chars) {
                // Byte offset -> number of non-continuation bytes before it.
                // Boundaries only grow, so one running count replaces a table.
                const uint8_t* s = bytes_of(text);
                const size_t len = text.size();
                size_t j = 0;
                uint32_t c = 0;
                auto to_char = [&](uint32_t off) {
                    size_t target = off < len ? off : len;
                    for (; j < target; ++j) c += (s[j] & 0xC0) != 0x80;
                    return c;
                };
                for (auto& sp : spans) {
                    sp.first = to_char(sp.first);
                    sp.second = to_char(sp.second);
                }
            }
            return v;
        }, text.size());
        Ref id_objs = Ref::steal(id_list(self, ids.data(), ids.size()));
        if (!id_objs) return nullptr;
        Ref span_list = Ref::steal(new_list(spans.size(), [&](size_t i) {
            return new_pair(PyLong_FromUnsignedLong(spans[i].first), PyLong_FromUnsignedLong(spans[i].second));
        }));
        if (!span_list) return nullptr;
        return PyTuple_Pack(2, id_objs.get(), span_list.get());
    });
}

ZELKOR_FASTCALL(m_truncate) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.truncate", {"text", "max_tokens"}, 2, 2};
        PyObject* a[2];
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
        if (!PyUnicode_Check(a[0])) {
            std::string_view unused;
            text_view(a[0], unused);  // raises the conversion error
            return arg_failed("text");
        }
        uint64_t max_tokens;
        if (!count_arg(a[1], max_tokens)) return arg_failed("max_tokens");
        std::string_view text;
        if (!text_view(a[0], text)) return arg_failed("text");
        const Tokenizer& tok = engine(self);
        Truncation t = without_lock(
            [&] { return truncate(tok, bytes_of(text), text.size(), max_tokens); }, text.size());
        Ref prefix = t.cut_bytes >= text.size() ? Ref::borrow(a[0])
                                                : Ref::steal(str_from_utf8(text.data(), t.cut_bytes));
        if (!prefix) return nullptr;
        Ref total = Ref::steal(PyLong_FromSize_t(t.total_tokens));
        if (!total) return nullptr;
        return PyTuple_Pack(2, prefix.get(), total.get());
    });
}

}  // namespace zelkor::py
