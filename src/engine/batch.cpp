// encode_batch and count_batch on the batch skeleton.
#include <cstring>

#include "batch_skeleton.h"
#include "encode_loop.h"
#include "tokenizer.h"

namespace zelkor {

namespace {

const uint8_t* bytes_of(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(const uint8_t* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        const uint8_t b = s[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t w;
        uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            w = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            w = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            w = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (n - i < w || s[i + 1] < lo || s[i + 1] > hi) return false;
        for (size_t k = 2; k < w; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        i += w;
    }
    return true;
}

struct NoState {};

}  // namespace

BatchIds encode_batch(const Tokenizer& tok, const std::vector<std::string_view>& texts,
                      size_t threads, bool with_special) {
    const size_t n = texts.size();
    std::vector<IdVec> slots(n);
    run_batch(
        n, threads, [] { return NoState{}; },
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
        n, threads, [] { return IdVec(4096); },
        [&](IdVec& scratch, size_t i, uint32_t workers) {
            const uint8_t* t = bytes_of(texts[i]);
            const size_t len = texts[i].size();
            if (with_special && is_valid_utf8(t, len)) {
                counts[i] = uint32_t(encode_with_special_workers(tok, t, len, workers).size());
                return;
            }
            scratch.clear();
            encode_into_workers(tok, t, len, scratch, workers);
            counts[i] = uint32_t(scratch.size());
        });
    return counts;
}

}  // namespace zelkor
