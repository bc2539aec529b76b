// Decoding methods of Tokenizer: ids -> bytes in the engine, bytes -> str here.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "args.h"
#include "boundary.h"
#include "convert.h"
#include "nogil.h"
#include "py_tokenizer.h"
#include "pyref.h"
#include "utf8_decode.h"

namespace zelkor::py {

namespace {

enum class Errors { Strict, Ignore, Replace };

// Byte-for-byte names; anything unknown replaces, like the default.
bool errors_arg(PyObject* o, Errors& out) {
    out = Errors::Replace;
    if (!o) return true;
    std::string_view s;
    if (!text_view(o, s)) return note_argument("errors");
    if (s == "strict") out = Errors::Strict;
    else if (s == "ignore") out = Errors::Ignore;
    return true;
}

// The bytes of a decode, in a buffer of exactly their size (not zeroed first).
struct Decoded {
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;
};

PyObject* bytes_to_text(const Decoded& bytes, Errors errors) {
    const uint8_t* s = bytes.data.get();
    const size_t n = bytes.size;
    Utf8Error err;
    if (utf8_validate(s, n, err)) {
        if (errors != Errors::Ignore) return str_from_utf8(reinterpret_cast<const char*>(s), n);
    } else if (errors == Errors::Strict) {
        std::string detail =
            err.error_len ? "invalid utf-8 sequence of " + std::to_string(err.error_len) +
                                " bytes from index " + std::to_string(err.valid_up_to)
                          : "incomplete utf-8 byte sequence from index " + std::to_string(err.valid_up_to);
        PyErr_Format(PyExc_ValueError, "invalid utf-8 in decode: %s", detail.c_str());
        return nullptr;
    }
    std::string fixed = utf8_repair(s, n, errors == Errors::Ignore ? Repair::Ignore : Repair::Replace);
    return str_from_utf8(fixed.data(), fixed.size());
}

Decoded decode_unlocked(PyObject* self, const IdVec& ids) {
    const Tokenizer& tok = engine(self);
    return without_lock([&] {
        Decoded d;
        d.size = decoded_size(tok, ids.data(), ids.size());
        d.data.reset(new uint8_t[d.size]);
        decode_into(tok, ids.data(), ids.size(), d.data.get(), d.size);
        return d;
    });
}

}  // namespace

ZELKOR_FASTCALL(m_decode) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.decode", {"ids", "errors"}, 2, 1};
        PyObject* a[2];
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
        IdVec ids;
        if (!id_list(a[0], ids)) return arg_failed("ids");
        Errors errors;
        if (!errors_arg(a[1], errors)) return nullptr;
        return bytes_to_text(decode_unlocked(self, ids), errors);
    });
}

ZELKOR_FASTCALL(m_decode_bytes) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.decode_bytes", {"ids"}, 1, 1};
        PyObject* a[1];
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
        IdVec ids;
        if (!id_list(a[0], ids)) return arg_failed("ids");
        // Written straight into the bytes object, which no one else sees yet.
        const Tokenizer& tok = engine(self);
        const size_t size = without_lock([&] { return decoded_size(tok, ids.data(), ids.size()); });
        Ref out = Ref::steal(bytes_from(nullptr, size));
        if (!out) return nullptr;
        auto* dst = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get()));
        without_lock([&] { decode_into(tok, ids.data(), ids.size(), dst, size); });
        return out.release();
    });
}

ZELKOR_FASTCALL(m_decode_batch) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.decode_batch", {"batch", "errors"}, 2, 1};
        PyObject* a[2];
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
        // Every list is converted before anything is decoded.
        std::vector<IdVec> batch;
        if (!id_lists(a[0], batch)) return arg_failed("batch");
        Errors errors;
        if (!errors_arg(a[1], errors)) return nullptr;
        return new_list(batch.size(),
                        [&](size_t i) { return bytes_to_text(decode_unlocked(self, batch[i]), errors); });
    });
}

ZELKOR_FASTCALL(m_decode_single_token_bytes) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.decode_single_token_bytes", {"id"}, 1, 1};
        PyObject* a[1];
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
        uint32_t id;
        if (!token_id(a[0], id)) return arg_failed("id");
        const Tokenizer& tok = engine(self);
        if (id < tok.vocab->n) {
            const uint32_t* starts = tok.vocab->token_starts.data();
            return bytes_from(tok.vocab->token_data(id), starts[id + 1] - starts[id]);
        }
        if (const Special* s = tok.special_by_id(id)) return bytes_from(s->text.data(), s->text.size());
        PyErr_Format(PyExc_KeyError, "unknown token id %lu", static_cast<unsigned long>(id));
        return nullptr;
    });
}

ZELKOR_FASTCALL(m_is_special_token) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.is_special_token", {"id"}, 1, 1};
        PyObject* a[1];
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
        uint32_t id;
        if (!token_id(a[0], id)) return arg_failed("id");
        return PyBool_FromLong(engine(self).special_by_id(id) != nullptr);
    });
}

PyObject* m_token_byte_values(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const Vocab& v = *engine(self).vocab;
        return new_list(v.n, [&](size_t i) {
            return bytes_from(v.token_data(TokenId(i)), v.token_starts[i + 1] - v.token_starts[i]);
        });
    });
}

PyObject* m_special_tokens(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const SpecialList& specials = engine(self).specials;
        return new_list(specials.size(), [&](size_t i) {
            const Special& s = specials[i];
            return new_pair(str_from_utf8(s.text.data(), s.text.size()), PyLong_FromUnsignedLong(s.id));
        });
    });
}

}  // namespace zelkor::py
