// The vocabulary's share of a tokenizer's reported memory footprint:
// element counts times element widths, not allocated capacities.
#include "vocab.h"

namespace zelkor {

uint64_t Vocab::footprint() const {
    uint64_t sum = by_bytes.key_bytes() + 24 * uint64_t(by_bytes.entries());
    sum += token_bytes.size() + token_lens.size();
    sum += 2 * uint64_t(tri_token.size());
    sum += 4 * uint64_t(token_starts.size() + byte_pair_merge.size() + two_node.size() +
                        two_token.size() + node_token.size() + prefix_token.size() +
                        three_node.size() + three_token.size() + tri_ids.size());
    sum += sizeof(TriLonger) * uint64_t(tri_longer.size());
    sum += 8 * uint64_t(pair_memo_len + token_info.size() + split_table.size() +
                        pair_table.size() + edge2.size() + edge1.size() + three_longer.size() +
                        two_char_next.size() + step_filter.size() + tri_info.size() +
                        tri_longer_info.size());
    return sum;
}

}  // namespace zelkor
