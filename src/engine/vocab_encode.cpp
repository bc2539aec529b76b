// The piece encoder: a greedy pass of longest-prefix matches, checked pair
// by pair, and a backtracking search for the pieces where greedy is wrong.
#include "greedy_pass.h"
#include "mb.h"
#include "scratch.h"
#include "vocab.h"

namespace zelkor {

namespace {

// Inside a piece, a three-byte character (a space-led CJK run, say) is
// matched by the code-point tables, which give the same answer.
TokenId match_in_piece(const Vocab& v, const uint8_t* s, size_t m) {
    return (s[0] & 0xF0) == 0xE0 ? nm_mb(v, s, m) : longest_prefix_token(v, s, m);
}

}  // namespace

void encode_with_first(const Vocab& v, const uint8_t* piece, size_t n, TokenId first, IdVec& out) {
    detail::greedy_pass<match_in_piece>(v, piece, n, first, out);
}

void detail::encode_backtrack(const Vocab& v, const uint8_t* piece, size_t n, IdVec& out,
                              size_t start, size_t pos, TokenId next, Matcher longest) {
    BacktrackScratch& sc = backtrack_scratch();
    std::vector<uint32_t>& stack = sc.stack;
    std::vector<uint64_t>& live = sc.live;
    stack.assign(out.data() + start, out.data() + out.size());
    out.truncate(start);
    // Bits 0 .. n: a cleared bit is a position proven to lead nowhere.
    live.assign((n + 64) / 64, ~0ull);

    const uint8_t* lens = v.token_lens.data();
    const int32_t* prefix = v.prefix_token.data();
    auto is_live = [&](size_t p) { return (live[p >> 6] >> (p & 63)) & 1; };

    while (next != NONE) {
        TokenId last = stack.empty() ? NONE : stack.back();
        TokenId token = next;
        size_t end = 0;
        for (;;) {
            end = pos + lens[token];
            if (is_live(end) && (last == NONE || is_valid_pair(v, last, token))) break;
            int32_t shorter = prefix[token];
            if (shorter < 0) {
                token = NONE;
                break;
            }
            token = TokenId(shorter);
        }
        if (token != NONE) {
            stack.push_back(token);
            if (end >= n) break;
            const uint8_t* rest = piece + end;
            size_t left = n - end;
            next = left == 1 ? v.single_byte_token(rest[0]) : longest(v, rest, left);
            pos = end;
            continue;
        }
        // Nothing fits at pos: mark it dead and retry the previous token's
        // shorter candidates.
        live[pos >> 6] &= ~(1ull << (pos & 63));
        if (stack.empty()) break;
        last = stack.back();
        stack.pop_back();
        pos -= lens[last];
        next = last;
    }
    out.append(stack.data(), stack.size());
}

}  // namespace zelkor
