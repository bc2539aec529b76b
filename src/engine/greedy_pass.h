// The greedy pass of the piece encoder, shared by its two matchers: the
// longest token at each position, checked pair by pair, handing the piece
// to the backtracking search at the first pair BPE would not leave. The
// search goes on from there: its first descent would choose the same
// tokens.
#pragma once

#include <cstddef>
#include <cstdint>

#include "backtrack.h"
#include "periodic_piece.h"
#include "vocab.h"

namespace zelkor::detail {

// `Longest` is the matcher, for the backtracking search too; `first` is the
// longest token at the start of the piece, with its length.
template <Matcher Longest>
void greedy_pass_plain(const Vocab& v, const uint8_t* piece, size_t n, TokenMatch first,
                       IdVec& out) {
    const size_t start = out.size();
    size_t pos = 0;
    TokenId prev = NONE;
    uint64_t prev_info = 0;
    bool prev_plain = false;
    TokenMatch cur = first;
    for (;;) {
        if (cur.id == NONE) {
            backtrack_search<Longest>(v, piece, n, out, start, pos, cur);
            return;
        }
        const uint64_t cur_info = match_info(v, cur);
        if (prev != NONE && !is_valid_pair(v, prev, prev_info, cur.id, cur_info, piece[pos - 1],
                                           piece[pos], prev_plain)) {
            backtrack_search<Longest>(v, piece, n, out, start, pos, cur);
            return;
        }
        out.push_back(cur.id);
        pos += cur.len;
        if (pos >= n) return;
        prev = cur.id;
        prev_info = cur_info;
        // Every token this pass keeps is the longest match at its start.
        prev_plain = left_plain(prev, prev_info);
        cur = pos + 1 == n ? TokenMatch{v.single_byte_token(piece[pos]), 1}
                           : Longest(v, piece + pos, n - pos);
    }
}

// The piece encoder's entry: long pieces of a repeated unit chunk by chunk,
// any other piece by the greedy pass.
template <Matcher Longest>
void greedy_pass(const Vocab& v, const uint8_t* piece, size_t n, TokenMatch first, IdVec& out) {
    if (n == 0) return;
    auto chunk = [&v](const uint8_t* p, size_t len, IdVec& o) {
        greedy_pass_plain<Longest>(v, p, len, Longest(v, p, len), o);
    };
    if (encode_periodic(v, piece, n, out, chunk)) return;
    greedy_pass_plain<Longest>(v, piece, n, first, out);
}

}  // namespace zelkor::detail
