// The piece encoder: a greedy pass of longest-prefix matches, checked pair
// by pair, and a backtracking search for the pieces where greedy is wrong.
#include "greedy_pass.h"
#include "mb.h"
#include "vocab.h"

namespace zelkor {

namespace {

// Inside a piece, a three-byte character (a space-led CJK run, say) is
// matched by the code-point tables, which give the same answer.
[[gnu::always_inline]] inline TokenMatch match_in_piece(const Vocab& v, const uint8_t* s, size_t m) {
    return (s[0] & 0xF0) == 0xE0 ? match_of(v, nm_mb(v, s, m)) : longest_prefix_match_inline(v, s, m);
}

}  // namespace

void encode_piece(const Vocab& v, const uint8_t* piece, size_t n, IdVec& out) {
    detail::greedy_pass<match_in_piece>(v, piece, n, longest_prefix_match(v, piece, n), out);
}

}  // namespace zelkor
