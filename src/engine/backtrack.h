// The backtracking search of the piece encoder, for when the greedy pass
// meets a pair BPE would not leave.
//
// It is a template over the matcher so that the matcher is inlined: on text
// that does not repeat (random letters, base64, protein) the search is the
// whole cost, a longest match and one or two pair tests per token, and an
// indirect call per match was a tenth of it. The tokens kept so far live in
// `out` itself, so nothing is copied in or out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "scratch.h"
#include "vocab.h"

namespace zelkor::detail {

// out[start..) holds the greedy pass's tokens so far, which cover the piece
// up to byte `pos`, and `first` is the longest token at pos with its
// length, which did not fit (NONE for none): the search stands there as if
// it had come this far itself. Replaces out[start..) with the piece's ids.
template <Matcher Longest>
void backtrack_search(const Vocab& v, const uint8_t* piece, size_t n, IdVec& out, size_t start,
                      size_t pos, TokenMatch first) {
    // A piece of n bytes has at most n tokens, wherever the search goes back to.
    out.reserve(start + n);
    TokenId* const kept = out.data() + start;
    size_t depth = out.size() - start;

    // Bits 0 .. n: a cleared bit is a position proven to lead nowhere.
    // Most pieces are short, and their bits live on the stack.
    uint64_t few[2] = {~0ull, ~0ull};
    uint64_t* alive = few;
    if (n >= 64 * std::size(few)) {
        std::vector<uint64_t>& live = backtrack_scratch().live;
        live.assign((n + 64) / 64, ~0ull);
        alive = live.data();
    }

    // A token's length and prefix come with its word for the pair test.
    const uint64_t* info = v.token_info.data();
    auto is_live = [alive](size_t p) { return (alive[p >> 6] >> (p & 63)) & 1; };

    TokenId last = depth ? kept[depth - 1] : NONE;
    uint64_t last_info = last != NONE ? info[last] : 0;
    // Whether `last` was the longest match at its start and plain, which
    // spares the pair test most of its work (see left_plain). The greedy
    // pass keeps only longest matches; after a step back it is taken as not
    // (keeping a bit per token to know cost more than it saved).
    bool last_plain = last != NONE && left_plain(last, last_info);
    // The first candidate at a position is the matcher's, with its length
    // (and its word, where the matcher had it); the shorter ones read theirs.
    TokenMatch next = first;
    while (next.id != NONE) {
        TokenId token = next.id;
        uint64_t token_info = match_info(v, next);
        size_t end = pos + next.len;
        // The first candidate is the matcher's, so the longest there, but
        // after a step back: that token ends where nothing fits and is
        // never kept again, so whatever is kept was shortened.
        bool longest = true;
        for (;;) {
            if (is_live(end) &&
                (last == NONE || is_valid_pair(v, last, last_info, token, token_info,
                                               piece[pos - 1], piece[pos], last_plain)))
                break;
            const int32_t shorter = info_prefix(token_info);
            if (shorter < 0) {
                token = NONE;
                break;
            }
            token = TokenId(shorter);
            token_info = info[token];
            end = pos + info_len(token_info);
            longest = false;
        }
        if (token != NONE) {
            kept[depth++] = token;
            if (end >= n) break;
            last = token;
            last_info = token_info;
            last_plain = longest && left_plain(token, token_info);
            pos = end;
            next = n - end == 1 ? TokenMatch{v.single_byte_token(piece[end]), 1}
                                : Longest(v, piece + end, n - end);
            continue;
        }
        // Nothing fits at pos: mark it dead and retry the previous token's
        // shorter candidates.
        alive[pos >> 6] &= ~(1ull << (pos & 63));
        if (depth == 0) break;
        const TokenId back = kept[--depth];
        const uint64_t back_info = info[back];
        next = {back, info_len(back_info), back_info};
        pos -= next.len;
        last = depth ? kept[depth - 1] : NONE;
        last_info = last != NONE ? info[last] : 0;
        last_plain = false;
    }
    out.set_size(start + depth);
}

}  // namespace zelkor::detail
