// Sends one pre-token to the cheapest way of turning it into ids.
#pragma once

#include <cstddef>
#include <cstdint>

#include "id_vec.h"
#include "mb.h"
#include "pcache.h"
#include "vocab.h"

namespace zelkor {

inline bool starts_with_three_byte_char(const uint8_t* p, size_t len) {
    return len > 2 && (p[0] & 0xF0) == 0xE0 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80;
}

// The token of two bytes, or NONE when they are no single token. Every byte
// has a token of its own (the image is refused otherwise), so the longest
// token at the start of two bytes is one byte long or two.
inline TokenId pair_token(const Vocab& v, const uint8_t* p) {
    const TokenId t = TokenId(v.two_token[(uint32_t(p[0]) << 8) | p[1]]);
    return v.token_lens[t] == 2 ? t : NONE;
}

// Appends the ids of the pre-token p[0..len), len >= 1.
inline void route_piece(const uint8_t* p, size_t len, const Vocab& v, IdVec& out,
                        PretokenCache& cache) {
    // One or two bytes need no cache: a byte is its own token, and two bytes
    // merge into one token exactly when their pair is one.
    if (len <= 2) {
        const TokenId pair = len == 2 ? pair_token(v, p) : NONE;
        if (pair != NONE) {
            out.push_back(pair);
        } else {
            out.push_back(v.single_byte_token(p[0]));
            if (len == 2) out.push_back(v.single_byte_token(p[1]));
        }
        return;
    }
    // CJK and similar text: the code-point tables resolve the first
    // character in one read, and such pieces rarely repeat exactly.
    if (starts_with_three_byte_char(p, len)) {
        encode_mb(v, p, len, out);
        return;
    }
    if (len <= CACHE_MAX_PIECE && cache.enabled()) {
        cache_encode(cache, v, p, len, out);
        return;
    }
    encode_with_first(v, p, len, longest_prefix_token(v, p, len), out);
}

// The same for counting: returns the number of ids that were not appended
// to `out` (a cache hit), after appending any others there.
inline size_t count_piece(const uint8_t* p, size_t len, const Vocab& v, IdVec& out,
                          PretokenCache& cache) {
    if (len <= 2) return len == 1 || pair_token(v, p) != NONE ? 1 : 2;
    if (!starts_with_three_byte_char(p, len) && len <= CACHE_MAX_PIECE && cache.enabled())
        return cache_count(cache, v, p, len, out);
    route_piece(p, len, v, out, cache);
    return 0;
}

}  // namespace zelkor
