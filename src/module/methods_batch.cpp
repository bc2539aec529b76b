// Batch methods of Tokenizer: the texts are read in place (see TextList),
// then the whole engine call runs without the interpreter lock.
#include <algorithm>
#include <string_view>
#include <vector>

#include "args.h"
#include "boundary.h"
#include "convert.h"
#include "nogil.h"
#include "py_tokenizer.h"
#include "pyref.h"

namespace zelkor::py {

namespace {

struct BatchArgs {
    TextList texts;
    uint64_t threads = 0;
    bool with_special = false;
};

// (texts, threads=0, with_special=False), converted in that order.
bool batch_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                BatchArgs& out) {
    PyObject* a[3];
    if (!parse_args(sig, args, nargs, kwnames, a)) return false;
    if (!text_list(a[0], out.texts)) return note_argument("texts");
    if (a[1] && !count_arg(a[1], out.threads)) return note_argument("threads");
    if (a[2] && !flag_arg(a[2], out.with_special)) return note_argument("with_special");
    return true;
}

// The bytes of all texts, for the lock release to tell a long call.
size_t total_bytes(const std::vector<std::string_view>& views) {
    size_t n = 0;
    for (std::string_view v : views) n += v.size();
    return n;
}

BatchIds run_encode_batch(PyObject* self, const BatchArgs& b) {
    const Tokenizer& tok = engine(self);
    const std::vector<std::string_view>& views = b.texts.views();
    return without_lock(
        [&] { return encode_batch(tok, views, static_cast<size_t>(b.threads), b.with_special); },
        total_bytes(views));
}

constexpr Signature ENCODE_BATCH_SIG{"Tokenizer.encode_batch", {"texts", "threads", "with_special"}, 3, 1};
constexpr Signature ENCODE_BATCH_TO_NUMPY_SIG{"Tokenizer.encode_batch_to_numpy",
                                              {"texts", "threads", "with_special"}, 3, 1};

}  // namespace

ZELKOR_FASTCALL(m_encode_batch) {
    return guarded([&]() -> PyObject* {
        BatchArgs b;
        if (!batch_args(ENCODE_BATCH_SIG, args, nargs, kwnames, b)) return nullptr;
        BatchIds r = run_encode_batch(self, b);
        Ref ids = Ref::steal(ids_to_bytes(r.ids.data(), r.ids.size()));
        if (!ids) return nullptr;
        Ref offsets = Ref::steal(i64_to_bytes(r.offsets.data(), r.offsets.size()));
        if (!offsets) return nullptr;
        return PyTuple_Pack(2, ids.get(), offsets.get());
    });
}

ZELKOR_FASTCALL(m_encode_batch_to_numpy) {
    return guarded([&]() -> PyObject* {
        BatchArgs b;
        if (!batch_args(ENCODE_BATCH_TO_NUMPY_SIG, args, nargs, kwnames, b)) return nullptr;
        BatchIds r = run_encode_batch(self, b);
        Ref ids = Ref::steal(ids_to_bytes(r.ids.data(), r.ids.size()));
        if (!ids) return nullptr;
        Ref offsets = Ref::steal(i64_to_bytes(r.offsets.data(), r.offsets.size()));
        if (!offsets) return nullptr;
        Ref id_array = Ref::steal(frombuffer(ids.get(), "uint32"));
        if (!id_array) return nullptr;
        Ref offset_array = Ref::steal(frombuffer(offsets.get(), "int64"));
        if (!offset_array) return nullptr;
        return PyTuple_Pack(2, id_array.get(), offset_array.get());
    });
}

ZELKOR_FASTCALL(m_count_batch) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.count_batch", {"texts", "threads", "with_special"}, 3, 1};
        BatchArgs b;
        if (!batch_args(sig, args, nargs, kwnames, b)) return nullptr;
        const Tokenizer& tok = engine(self);
        const std::vector<std::string_view>& views = b.texts.views();
        std::vector<uint32_t> counts = without_lock(
            [&] { return count_batch(tok, views, static_cast<size_t>(b.threads), b.with_special); },
            total_bytes(views));
        return ids_to_list(counts.data(), counts.size());
    });
}

ZELKOR_FASTCALL(m_truncate_batch) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature sig{"Tokenizer.truncate_batch", {"texts", "max_tokens", "threads"}, 3, 2};
        PyObject* a[3];
        if (!parse_args(sig, args, nargs, kwnames, a)) return nullptr;
        TextList texts;
        if (!text_list(a[0], texts)) return arg_failed("texts");
        uint64_t max_tokens = 0, threads = 0;
        if (!count_arg(a[1], max_tokens)) return arg_failed("max_tokens");
        if (a[2] && !count_arg(a[2], threads)) return arg_failed("threads");

        const Tokenizer& tok = engine(self);
        const std::vector<std::string_view>& views = texts.views();
        std::vector<Truncation> cuts = without_lock(
            [&] {
                return truncate_batch(tok, views, static_cast<size_t>(max_tokens),
                                      static_cast<size_t>(threads));
            },
            total_bytes(views));
        return new_list(cuts.size(), [&](size_t i) {
            return new_pair(str_from_utf8(views[i].data(), std::min(cuts[i].cut_bytes, views[i].size())),
                            PyLong_FromSize_t(cuts[i].total_tokens));
        });
    });
}

}  // namespace zelkor::py
