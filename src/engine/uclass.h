// Unicode character classes of the two pre-tokenizers, loaded from the
// class images: a 64 KiB table of class bits for the Basic Multilingual
// Plane and sorted range lists for everything above it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "expected.h"

namespace zelkor {

enum ClassBit : uint8_t {
    CLASS_LETTER = 1,
    CLASS_NUMBER = 2,
    CLASS_SPACE = 4,
    CLASS_UPPER = 8,   // o200k only: Lu Lt Lm Lo Mn Mc Me
    CLASS_LOWER = 16,  // o200k only: Ll Lm Lo Mn Mc Me
};

// Inclusive code point ranges. After from_bytes they are ascending and
// disjoint (an image that is not is sorted and merged on load).
struct RangeList {
    std::vector<uint32_t> starts;
    std::vector<uint32_t> ends;  // inclusive

    bool contains(uint32_t cp) const;  // binary search
};

// Reads one range list at `offset`, advancing it. False on a malformed list
// (truncated, more than 100000 ranges, lo > hi or hi > U+10FFFF); the
// ranges are kept as stored.
bool read_ranges(const uint8_t* image, size_t len, size_t& offset, RangeList& out);

// K range lists and the class table. Empty (no lists, no table) when the
// tokenizer does not use this class set.
template <int K>
struct UClassT {
    RangeList lists[K];
    std::vector<uint8_t> table;  // 65536 entries when loaded

    bool empty() const { return table.empty(); }
    // Class bits of a code point (all bits of the K lists).
    uint8_t classes(uint32_t cp) const {
        if (cp <= 0xFFFF) return table[cp];
        uint8_t bits = 0;
        for (int k = 0; k < K; ++k)
            if (lists[k].contains(cp)) bits |= uint8_t(1u << k);
        return bits;
    }
    // Whether a code point is in list k (one search above U+FFFF).
    bool is(uint32_t cp, int k) const {
        if (cp <= 0xFFFF) return (table[cp] >> k) & 1;
        return lists[k].contains(cp);
    }

    // Errors are complete "zelkor: ..." messages naming `source` (from_bytes)
    // or `path` (load).
    static Expected<UClassT> from_bytes(const uint8_t* image, size_t len, std::string_view source);
    static Expected<UClassT> load(const std::string& path);
    // 4 bytes per stored range bound plus one per class table entry.
    uint64_t footprint() const;
};

using UClass = UClassT<3>;   // "uniclass.bin"
using UClassO = UClassT<5>;  // "uniclass_o200k.bin"

extern template struct UClassT<3>;
extern template struct UClassT<5>;

}  // namespace zelkor
