// Strict UTF-8 validation: no overlong forms, no surrogates, nothing above
// U+10FFFF, no truncated sequences.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelkor {

inline bool is_valid_utf8(const uint8_t* s, size_t n) {
    size_t i = 0;
    while (i < n) {
        const uint8_t b = s[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t w;
        uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b >= 0xC2 && b <= 0xDF) {
            w = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            w = 3;
            if (b == 0xE0) lo = 0xA0;
            if (b == 0xED) hi = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            w = 4;
            if (b == 0xF0) lo = 0x90;
            if (b == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (n - i < w || s[i + 1] < lo || s[i + 1] > hi) return false;
        for (size_t k = 2; k < w; ++k)
            if ((s[i + k] & 0xC0) != 0x80) return false;
        i += w;
    }
    return true;
}

}  // namespace zelkor
