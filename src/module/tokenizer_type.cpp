// The Tokenizer class: construction, lifetime, repr and the method and
// property tables with their stored signatures.
#include <memory>
#include <string>

#include "args.h"
#include "boundary.h"
#include "convert.h"
#include "py_tokenizer.h"
#include "pyref.h"

namespace zelkor::py {

namespace {

PyTokenizer* as_tok(PyObject* self) { return reinterpret_cast<PyTokenizer*>(self); }

constexpr EngineCalls ENGINE_CALLS{&encode_batch, &count_batch, &chunk_batch, &stop_thread};

PyObject* tok_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.__new__", {"encoding", "datadir"}, 2, 1};
        PyObject* a[2];
        if (!parse_tuple_args(sig, args, kwargs, a)) return nullptr;
        std::string_view encoding, datadir;
        if (!text_view(a[0], encoding)) return arg_failed("encoding");
        if (a[1] && !text_view(a[1], datadir)) return arg_failed("datadir");

        auto built = Tokenizer::create(encoding, datadir);
        if (!built) {
            const std::string& msg = built.error();
            Ref text = Ref::steal(
                PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace"));
            if (text) PyErr_SetObject(PyExc_RuntimeError, text.get());
            return nullptr;
        }
        std::unique_ptr<Tokenizer> tok = std::move(built.value());
        auto index = std::make_unique<SpecialIndex>(tok->specials);
        auto id_objects = std::make_unique<IdObjects>(size_t(tok->vocab->n), tok->specials);

        PyObject* self = type->tp_alloc(type, 0);
        if (!self) return nullptr;
        as_tok(self)->tok = tok.release();
        as_tok(self)->index = index.release();
        as_tok(self)->from_datadir = !datadir.empty();
        as_tok(self)->id_objects = id_objects.release();
        as_tok(self)->calls = &ENGINE_CALLS;
        return self;
    });
}

void tok_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    delete as_tok(self)->id_objects;
    delete as_tok(self)->index;
    delete as_tok(self)->tok;
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// The object holds no references that could form a cycle (its shared ints
// are no containers); only its type is visited, as every heap type instance
// must.
int tok_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int tok_clear(PyObject*) { return 0; }

PyObject* tok_repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const std::string r = "<zelkor.Tokenizer '" + engine(self).name + "'>";
        return PyUnicode_DecodeUTF8(r.data(), static_cast<Py_ssize_t>(r.size()), "replace");
    });
}

#define FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef tok_methods[] = {
    {"encode", FAST(m_encode),
     "encode($self, text, allowed_special=None, disallowed_special=None)\n--\n\n"
     "Raises ValueError if a disallowed special-token string occurs in the text;\n"
     "otherwise encodes it, turning allowed special-token strings into their ids."},
    {"encode_ordinary", FAST(m_encode_ordinary),
     "encode_ordinary($self, text)\n--\n\n"
     "Encodes the text as ordinary text, ignoring special tokens entirely."},
    {"encode_bytes", FAST(m_encode_bytes),
     "encode_bytes($self, data)\n--\n\n"
     "Encode raw bytes (no UTF-8 validation)."},
    {"encode_with_special", FAST(m_encode_with_special),
     "encode_with_special($self, text)\n--\n\n"
     "Every special-token string is turned into its id."},
    {"encode_to_buffer", FAST(m_encode_to_buffer),
     "encode_to_buffer($self, text, allowed_special=None, disallowed_special=None)\n--\n\n"
     "Same as `encode`, but returns the ids as a little-endian uint32 buffer —\n"
     "the Python wrapper turns it into a numpy array with no per-token Python\n"
     "int objects (the cost that otherwise dominates big inputs)."},
    {"encode_to_numpy", FAST(m_encode_to_numpy),
     "encode_to_numpy($self, text, allowed_special=None, disallowed_special=None)\n--\n\n"
     "Same as `encode`, but returns a numpy `uint32` array — the fastest path\n"
     "from Python: no per-token Python int objects, just one buffer."},
    {"encode_batch_to_numpy", FAST(m_encode_batch_to_numpy),
     "encode_batch_to_numpy($self, texts, threads=0, with_special=False)\n--\n\n"
     "Encode many texts in parallel into numpy arrays: `(ids, offsets)`, where\n"
     "text `i` occupies `ids[offsets[i]:offsets[i + 1]]`."},
    {"encode_with_offsets", FAST(m_encode_with_offsets),
     "encode_with_offsets($self, text, unit=\"byte\")\n--\n\n"
     "Ordinary ids plus the (start, end) span of every token: `unit=\"byte\"`\n"
     "gives exact UTF-8 byte offsets that tile the input, `unit=\"char\"` gives\n"
     "code-point offsets."},
    {"encode_single_token", FAST(m_encode_single_token),
     "encode_single_token($self, piece)\n--\n\n"
     "Exact bytes/str of a SINGLE token -> its id."},
    {"truncate", FAST(m_truncate),
     "truncate($self, text, max_tokens)\n--\n\n"
     "Truncate to at most `max_tokens` tokens. Returns `(text, total_tokens)`,\n"
     "where `total_tokens` counts the whole input whether or not it was cut."},
    {"truncate_batch", FAST(m_truncate_batch),
     "truncate_batch($self, texts, max_tokens, threads=0)\n--\n\n"
     "`truncate` over many texts, in parallel."},
    {"count", FAST(m_count), "count($self, text)\n--\n\n"},
    {"encode_batch", FAST(m_encode_batch),
     "encode_batch($self, texts, threads=0, with_special=False)\n--\n\n"
     "Encode many texts in parallel. Returns (flat uint32 id buffer, per-text\n"
     "int64 offsets buffer with `len(texts)+1` entries)."},
    {"count_batch", FAST(m_count_batch),
     "count_batch($self, texts, threads=0, with_special=False)\n--\n\n"
     "Token counts for many texts, in parallel — no ids are materialized, so a\n"
     "counting workload allocates O(threads) instead of O(total tokens)."},
    {"decode", FAST(m_decode), "decode($self, ids, errors=\"replace\")\n--\n\n"},
    {"decode_bytes", FAST(m_decode_bytes), "decode_bytes($self, ids)\n--\n\n"},
    {"decode_single_token_bytes", FAST(m_decode_single_token_bytes),
     "decode_single_token_bytes($self, id)\n--\n\n"},
    {"decode_batch", FAST(m_decode_batch), "decode_batch($self, batch, errors=\"replace\")\n--\n\n"},
    {"token_byte_values", m_token_byte_values, METH_NOARGS,
     "token_byte_values($self)\n--\n\n"
     "All base-vocab token byte strings, indexed by id."},
    {"is_special_token", FAST(m_is_special_token), "is_special_token($self, id)\n--\n\n"},
    {"special_tokens", m_special_tokens, METH_NOARGS,
     "special_tokens($self)\n--\n\n"
     "The special-token string -> id mapping, as a list of (string, id) pairs."},
    {nullptr, nullptr, 0, nullptr},
};

#undef FAST

PyGetSetDef tok_getset[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"memory_bytes", get_memory_bytes, nullptr,
     "Exact heap footprint of the loaded encoding, in bytes.", nullptr},
    {"n_vocab", get_n_vocab, nullptr, nullptr, nullptr},
    {"max_token_value", get_max_token_value, nullptr, nullptr, nullptr},
    {"eot_token", get_eot_token, nullptr, nullptr, nullptr},
    {"special_tokens_set", get_special_tokens_set, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tok_slots[] = {
    {Py_tp_doc, const_cast<char*>("Tokenizer(encoding, datadir=\"\")\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(tok_new)},
    {Py_tp_repr, reinterpret_cast<void*>(tok_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(tok_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(tok_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tok_dealloc)},
    {Py_tp_methods, tok_methods},
    {Py_tp_getset, tok_getset},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the class cannot be subclassed. Not immutable:
// attributes of the class object itself may be assigned.
PyType_Spec tok_spec = {
    "zelkor._zelkor.Tokenizer",
    static_cast<int>(sizeof(PyTokenizer)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    tok_slots,
};

}  // namespace

PyObject* new_tokenizer_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &tok_spec, nullptr); }

}  // namespace zelkor::py
