#include "special_trie.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace zelkor {

void SpecialTrie::build(const SpecialList& specials) {
    // Insert into a map-based trie, then flatten it breadth first.
    std::vector<std::map<uint8_t, uint32_t>> children(1);
    std::vector<std::vector<uint32_t>> ends(1);
    for (uint32_t i = 0; i < specials.size(); ++i) {
        const std::string& s = specials[i].text;
        if (s.empty()) continue;
        uint32_t node = 0;
        for (char c : s) {
            const uint8_t b = uint8_t(c);
            auto it = children[node].find(b);
            if (it == children[node].end()) {
                const uint32_t child = uint32_t(children.size());
                children[node].emplace(b, child);
                children.emplace_back();
                ends.emplace_back();
                node = child;
            } else {
                node = it->second;
            }
        }
        ends[node].push_back(i);
    }
    nodes_.assign(children.size(), Node{});
    edge_byte_.clear();
    edge_child_.clear();
    terms_.clear();
    for (uint32_t v = 0; v < children.size(); ++v) {
        Node& n = nodes_[v];
        n.edges = uint32_t(edge_byte_.size());
        n.n_edges = uint32_t(children[v].size());
        for (auto [b, c] : children[v]) {
            edge_byte_.push_back(b);
            edge_child_.push_back(c);
        }
        n.terms = uint32_t(terms_.size());
        n.n_terms = uint32_t(ends[v].size());
        terms_.insert(terms_.end(), ends[v].begin(), ends[v].end());
    }
    std::memset(first_, 0, sizeof first_);
    for (auto [b, c] : children[0]) first_[b] = true;
    single_first_ = children[0].size() == 1 ? int(children[0].begin()->first) : -1;
}

size_t SpecialTrie::next(const uint8_t* text, size_t len, size_t pos,
                         const std::vector<uint8_t>& allowed, uint32_t& index) const {
    if (empty()) return len;
    for (; pos < len; ++pos) {
        if (single_first_ >= 0) {
            const void* hit = std::memchr(text + pos, single_first_, len - pos);
            if (!hit) return len;
            pos = size_t(static_cast<const uint8_t*>(hit) - text);
        } else if (!first_[text[pos]]) {
            continue;
        }
        uint32_t best = UINT32_MAX;
        uint32_t node = 0;
        for (size_t i = pos; i < len; ++i) {
            const Node& n = nodes_[node];
            const uint8_t* b0 = edge_byte_.data() + n.edges;
            const uint8_t* b1 = b0 + n.n_edges;
            const uint8_t* e = std::lower_bound(b0, b1, text[i]);
            if (e == b1 || *e != text[i]) break;
            node = edge_child_[n.edges + uint32_t(e - b0)];
            const Node& m = nodes_[node];
            for (uint32_t k = 0; k < m.n_terms; ++k) {
                const uint32_t t = terms_[m.terms + k];
                if (allowed[t]) {
                    best = std::min(best, t);
                    break;  // indices ascend: the first allowed is this node's lowest
                }
            }
        }
        if (best != UINT32_MAX) {
            index = best;
            return pos;
        }
    }
    return len;
}

}  // namespace zelkor
