// Which slots of a column hold a value.
#pragma once

#include <cstdint>
#include <vector>

namespace zelkor::bulk {

// An LSB-first bitmap from slot 0 (bit set = valid); empty when no slot is
// null.
struct Validity {
    std::vector<uint8_t> bits;
    int64_t null_count = 0;

    bool valid(int64_t i) const { return bits.empty() || ((bits[size_t(i >> 3)] >> (i & 7)) & 1); }
};

}  // namespace zelkor::bulk
