// Whether two adjacent tokens can both come out of BPE: undo merges from
// the side that was merged later and look for a merge across the boundary
// that would have happened first.
#include "vocab.h"

namespace zelkor {

bool detail::pair_valid_uncached(const Vocab& v, TokenId left, TokenId right) {
    const Split* split = v.split_table.data();
    uint32_t limit = 0xFFFFFFFFu;
    uint32_t l = left;
    uint32_t r = right;
    for (;;) {
        if (v.pair_maybe(l, r)) {
            TokenId m = v.pair_find(l, r);
            if (m != NONE && m < limit) return false;
        }
        if (l > r) {
            limit = l;
            l = split[l].right;
            if (l == limit) {
                limit = r + 1;
                r = split[r].left;
                if (r + 1 == limit) return true;
            }
        } else {
            limit = r + 1;
            r = split[r].left;
            if (r + 1 == limit) {
                limit = l;
                l = split[l].right;
                if (l == limit) return true;
            }
        }
    }
}

}  // namespace zelkor
