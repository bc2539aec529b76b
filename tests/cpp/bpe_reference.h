// Textbook byte-level BPE, for checking the piece encoder: start from single
// bytes and repeatedly merge the adjacent pair whose concatenation is the
// token of lowest rank (leftmost on ties). Quadratic, for short pieces.
#pragma once

#include <cstdint>
#include <functional>
#include <queue>
#include <string>
#include <tuple>
#include <vector>

#include "vocab.h"

namespace zelkor_test {

using zelkor::NONE;
using zelkor::Vocab;

inline std::vector<uint32_t> bpe_reference(const Vocab& v, const uint8_t* s, size_t n) {
    std::vector<std::string> parts;
    for (size_t i = 0; i < n; ++i) parts.emplace_back(1, char(s[i]));
    auto rank = [&](const std::string& a, const std::string& b) {
        std::string ab = a + b;
        return v.find_id(reinterpret_cast<const uint8_t*>(ab.data()), ab.size());
    };
    for (;;) {
        uint32_t best = NONE;
        size_t at = 0;
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            uint32_t r = rank(parts[i], parts[i + 1]);
            if (r < best) {
                best = r;
                at = i;
            }
        }
        if (best == NONE) break;
        parts[at] += parts[at + 1];
        parts.erase(parts.begin() + long(at) + 1);
    }
    std::vector<uint32_t> ids;
    for (const std::string& p : parts)
        ids.push_back(v.find_id(reinterpret_cast<const uint8_t*>(p.data()), p.size()));
    return ids;
}

// The same merge loop in O(n log n), for pieces of tens of KiB: a heap of
// (rank, start of the left part) over the adjacent pairs, with the parts
// in a linked list. A heap entry is stale once either part has changed.
inline std::vector<uint32_t> bpe_reference_long(const Vocab& v, const uint8_t* s, size_t n) {
    struct Part {
        size_t len;
        size_t next;  // start of the next part, n at the end
        size_t prev;  // start of the previous part, SIZE_MAX at the front
    };
    std::vector<Part> parts(n);  // indexed by the start of a live part
    for (size_t i = 0; i < n; ++i) parts[i] = {1, i + 1, i ? i - 1 : SIZE_MAX};
    using Entry = std::tuple<uint32_t, size_t, size_t, size_t>;  // rank, left, left len, right len
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> heap;
    auto offer = [&](size_t left) {
        if (left == SIZE_MAX || parts[left].next >= n) return;
        size_t right = parts[left].next;
        uint32_t r = v.find_id(s + left, parts[left].len + parts[right].len);
        if (r != NONE) heap.emplace(r, left, parts[left].len, parts[right].len);
    };
    for (size_t i = 0; i + 1 < n; ++i) offer(i);
    while (!heap.empty()) {
        auto [rank, left, llen, rlen] = heap.top();
        heap.pop();
        if (parts[left].len != llen || parts[left].next >= n) continue;
        // A part is known by its start and length (a merged-away part has
        // length 0), so equal lengths mean the same two parts.
        size_t right = parts[left].next;
        if (parts[right].len != rlen) continue;
        parts[left].len += rlen;
        parts[left].next = parts[right].next;
        if (parts[left].next < n) parts[parts[left].next].prev = left;
        parts[right].len = 0;
        offer(parts[left].prev);
        offer(left);
    }
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < n; i = parts[i].next) ids.push_back(v.find_id(s + i, parts[i].len));
    return ids;
}

}  // namespace zelkor_test
