// Sends one pre-token to the cheapest way of turning it into ids.
#pragma once

#include <cstddef>
#include <cstdint>

#include "id_vec.h"
#include "long_pieces.h"
#include "mb.h"
#include "pcache.h"
#include "vocab.h"

namespace zelkor {

inline bool starts_with_three_byte_char(const uint8_t* p, size_t len) {
    return len > 2 && (p[0] & 0xF0) == 0xE0 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80;
}

// The token of two bytes, or NONE when they are no single token (for when
// there is no cache). Every byte has a token of its own (the image is
// refused otherwise), so the longest token at the start of two bytes is one
// byte long or two.
inline TokenId pair_token(const Vocab& v, const uint8_t* p) {
    const TokenId t = TokenId(v.two_token[(uint32_t(p[0]) << 8) | p[1]]);
    return v.token_lens[t] == 2 ? t : NONE;
}

// Appends the ids of the pre-token p[0..len), len >= 1, that does not start
// with a three-byte character (an ASCII pre-token, say).
inline void route_ascii_piece(const uint8_t* p, size_t len, const Vocab& v, IdVec& out,
                              PretokenCache& cache) {
    // Pieces of one and two bytes go through the cache too, although their
    // ids are two reads away: one path for every short piece keeps the
    // branch on the length predictable, and that measured faster.
    if (len <= CACHE_MAX_PIECE && cache.enabled()) {
        cache_encode(cache, v, p, len, out);
        return;
    }
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
    static_assert(LONG_PIECE_MIN == CACHE_MAX_PIECE + 1);
    if (cache.longs) {
        stored_piece_encode(*cache.longs, v, p, len, out);
        return;
    }
    encode_piece(v, p, len, out);
}

// Appends the ids of the pre-token p[0..len), len >= 1.
inline void route_piece(const uint8_t* p, size_t len, const Vocab& v, IdVec& out,
                        PretokenCache& cache) {
    // CJK and similar text: the code-point tables resolve the first
    // character in one read, and such pieces rarely repeat exactly.
    if (starts_with_three_byte_char(p, len)) {
        encode_mb(v, p, len, out);
        return;
    }
    route_ascii_piece(p, len, v, out, cache);
}

// The same for counting: these return the number of ids that were not
// appended to `out` (a cache hit's), after appending any others there.
inline size_t count_ascii_piece(const uint8_t* p, size_t len, const Vocab& v, IdVec& out,
                                PretokenCache& cache) {
    if (len <= CACHE_MAX_PIECE && cache.enabled()) return cache_count(cache, v, p, len, out);
    route_ascii_piece(p, len, v, out, cache);
    return 0;
}

inline size_t count_piece(const uint8_t* p, size_t len, const Vocab& v, IdVec& out,
                          PretokenCache& cache) {
    if (starts_with_three_byte_char(p, len)) {
        encode_mb(v, p, len, out);
        return 0;
    }
    return count_ascii_piece(p, len, v, out, cache);
}

// What the pre-tokenizers hand their pre-tokens to: the call operator takes
// any pre-token, `ascii` one that a 64-byte window found (ASCII bytes and
// two-byte characters, so never one that starts with a three-byte character).
struct EncodeSink {
    const Vocab& v;
    IdVec& out;
    PretokenCache& cache;
    void operator()(const uint8_t* p, size_t len) { route_piece(p, len, v, out, cache); }
    void ascii(const uint8_t* p, size_t len) { route_ascii_piece(p, len, v, out, cache); }
};

// Counts as it goes: cache hits are counted from their entries; every other
// id goes to scratch, which is counted and emptied in batches (clearing it
// after every pre-token would cost a branch and a store for nothing).
struct CountSink {
    static constexpr size_t DRAIN = 2048;
    const Vocab& v;
    IdVec& scratch;
    PretokenCache& cache;
    size_t total = 0;
    void operator()(const uint8_t* p, size_t len) {
        total += count_piece(p, len, v, scratch, cache);
        drain();
    }
    void ascii(const uint8_t* p, size_t len) {
        total += count_ascii_piece(p, len, v, scratch, cache);
        drain();
    }
    void drain() {
        if (scratch.size() >= DRAIN) {
            total += scratch.size();
            scratch.clear();
        }
    }
    // The count so far, scratch included.
    size_t result() const { return total + scratch.size(); }
};

}  // namespace zelkor
