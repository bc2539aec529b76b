// Textbook byte-level BPE, for checking the piece encoder: start from single
// bytes and repeatedly merge the adjacent pair whose concatenation is the
// token of lowest rank (leftmost on ties). Quadratic, for short pieces.
#pragma once

#include <cstdint>
#include <string>
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

}  // namespace zelkor_test
