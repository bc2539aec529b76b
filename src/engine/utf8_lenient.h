// Lenient UTF-8 reading for the pre-tokenizers, which must split any byte
// sequence. A lead byte with enough bytes after it is decoded without
// checking its continuation bytes (overlong forms included); any other
// byte, a stray continuation byte or a sequence cut short by the end of the
// text, stands for the code point of its own value (Latin-1).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zelkor {

struct CodePoint {
    uint32_t cp;
    uint32_t width;  // bytes, 1..4
};

// Code point at p < n. Always inlined: the pre-tokenizers' loops over runs
// of letters read one a character, and where the extension's compiler left
// it a call, runs of Cyrillic, Hebrew, Armenian or IPA letters were scanned
// 10-30% slower.
[[gnu::always_inline]] inline CodePoint read_lenient(const uint8_t* t, size_t n, size_t p) {
    const uint32_t b = t[p];
    if (b < 0x80) return {b, 1};
    if ((b & 0xE0) == 0xC0) {
        if (p + 1 < n) return {(b & 0x1F) << 6 | (t[p + 1] & 0x3Fu), 2};
    } else if ((b & 0xF0) == 0xE0) {
        if (p + 2 < n)
            return {(b & 0x0F) << 12 | (t[p + 1] & 0x3Fu) << 6 | (t[p + 2] & 0x3Fu), 3};
    } else if ((b & 0xF8) == 0xF0) {
        if (p + 3 < n)
            return {(b & 0x07) << 18 | (t[p + 1] & 0x3Fu) << 12 | (t[p + 2] & 0x3Fu) << 6 |
                        (t[p + 3] & 0x3Fu),
                    4};
    }
    return {b, 1};
}

}  // namespace zelkor
