// encode_batch and count_batch on the batch skeleton.
#include <cstring>

#include "batch_skeleton.h"
#include "encode_loop.h"
#include "tokenizer.h"
#include "utf8_valid.h"

namespace zelkor {

namespace {

const uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

struct NoState {};

}  // namespace

BatchIds encode_batch(const Tokenizer& tok, const std::vector<std::string_view>& texts,
                      size_t threads, bool with_special) {
    const size_t n = texts.size();
    std::vector<IdVec> slots(n);
    run_batch(
        tok, n, batch_threads(texts, threads), [] { return NoState{}; },
        [&](NoState&, size_t i, uint32_t workers) {
            const uint8_t* t = bytes_of(texts[i]);
            const size_t len = texts[i].size();
            if (with_special && is_valid_utf8(t, len)) {
                slots[i] = encode_with_special_workers(tok, t, len, workers);
            } else {
                IdVec v;
                encode_into_workers(tok, t, len, v, workers);
                slots[i] = std::move(v);
            }
        });

    BatchIds r;
    size_t total = 0;
    for (const IdVec& v : slots) total += v.size();
    r.ids.reserve(total);
    r.offsets.reserve(n + 1);
    r.offsets.push_back(0);
    for (IdVec& v : slots) {
        r.ids.append(v.data(), v.size());
        r.offsets.push_back(int64_t(r.ids.size()));
        v = IdVec();
    }
    return r;
}

std::vector<uint32_t> count_batch(const Tokenizer& tok, const std::vector<std::string_view>& texts,
                                  size_t threads, bool with_special) {
    const size_t n = texts.size();
    std::vector<uint32_t> counts(n, 0);
    run_batch(
        tok, n, batch_threads(texts, threads), [] { return IdVec(4096); },
        [&](IdVec& scratch, size_t i, uint32_t workers) {
            const uint8_t* t = bytes_of(texts[i]);
            const size_t len = texts[i].size();
            counts[i] = uint32_t(with_special && is_valid_utf8(t, len)
                                     ? count_with_special_workers(tok, t, len, scratch, workers)
                                     : count_workers(tok, t, len, scratch, workers));
        });
    return counts;
}

}  // namespace zelkor
