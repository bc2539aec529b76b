// Matching for pieces that begin with a three-byte UTF-8 character: the
// first character comes from one code-point-indexed read, and a non-ASCII
// odd byte is asked of edge1 early, so a walk inside CJK text stops as soon
// as no longer token can exist.
#include "mb.h"

#include "greedy_pass.h"

namespace zelkor {

namespace {

bool is_cont(uint8_t b) { return b >= 0x80 && b <= 0xBF; }

}  // namespace

TokenId nm_mb(const Vocab& v, const uint8_t* s, size_t n) {
    if (n < 2) return n == 0 ? NONE : v.single_byte_token(s[0]);
    TokenId best;
    uint32_t node;
    bool skip_odd;
    if (n >= 3 && s[0] >= 0xE0 && s[0] <= 0xEF && is_cont(s[1]) && is_cont(s[2])) {
        uint32_t cp = uint32_t(s[0] & 0x0F) << 12 | uint32_t(s[1] & 0x3F) << 6 | (s[2] & 0x3F);
        best = TokenId(v.three_token[cp]);
        if (!((v.three_longer[cp >> 6] >> (cp & 63)) & 1)) return best;
        node = v.three_node[cp];
        skip_odd = true;  // the third byte is already in three_token
    } else {
        uint32_t key = uint32_t(s[0]) << 8 | s[1];
        best = TokenId(v.two_token[key]);
        node = v.two_node[key];
        skip_odd = false;
    }
    if (node == 0) return best;
    size_t i = 2;
    while (i + 1 < n) {
        uint8_t c = s[i];
        bool odd_done = skip_odd;
        if (!skip_odd && c >= 0x80) {
            odd_done = true;
            uint64_t e1 = v.edge1_step(node, c);
            if (e1 != 0) {
                best = TokenId(e1 & 0x3FFFF);
                if (!(e1 & EDGE1_HAS_CHILDREN)) return best;
            }
        }
        uint64_t e = v.edge2_step(node, c, s[i + 1]);
        if (e == 0) {
            if (odd_done) return best;
            uint64_t e1 = v.edge1_step(node, c);
            return e1 ? TokenId(e1 & 0x3FFFF) : best;
        }
        uint32_t tok = uint32_t(e & 0x3FFFF);
        if (tok != PACKED_NONE) best = tok;
        node = uint32_t((e >> 18) & 0xFFFFF);
        i += 2;
        skip_odd = false;
        if (node == 0) return best;
    }
    if (skip_odd || i >= n) return best;
    uint64_t e1 = v.edge1_step(node, s[i]);
    return e1 ? TokenId(e1 & 0x3FFFF) : best;
}

namespace {

TokenMatch nm_mb_match(const Vocab& v, const uint8_t* s, size_t n) {
    return match_of(v, nm_mb(v, s, n));
}

}  // namespace

void encode_mb(const Vocab& v, const uint8_t* piece, size_t n, IdVec& out) {
    if (n == 0) return;
    detail::greedy_pass<nm_mb_match>(v, piece, n, nm_mb_match(v, piece, n), out);
}

}  // namespace zelkor
