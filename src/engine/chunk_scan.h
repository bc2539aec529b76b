// Where a chunk may be cut: the characters around a place in UTF-8 text,
// and the boundaries of each kind (whitespace, line, sentence) read from
// them. The byte tests come first, so most places are settled without
// decoding a character.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "chunk.h"

namespace zelkor::chunk_scan {

inline bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// The code point starting at p (lenient: a malformed sequence reads as one
// byte that is neither whitespace nor punctuation).
inline uint32_t cp_at(const uint8_t* t, size_t len, size_t p) {
    const uint8_t b = t[p];
    if (b < 0x80) return b;
    size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 0;
    if (n == 0 || p + n > len) return 0xFFFD;
    uint32_t cp = b & (0x7F >> n);
    for (size_t k = 1; k < n; ++k) {
        if (!is_continuation(t[p + k])) return 0xFFFD;
        cp = (cp << 6) | (t[p + k] & 0x3F);
    }
    return cp;
}

inline size_t char_start_before(const uint8_t* t, size_t p) {
    if (t[p - 1] < 0x80) return p - 1;
    size_t q = p - 1;
    while (q > 0 && is_continuation(t[q]) && p - q < 4) --q;
    return q;
}

inline uint32_t cp_before(const uint8_t* t, size_t len, size_t p) {
    return cp_at(t, len, char_start_before(t, p));
}

// Unicode White_Space.
inline bool is_space(uint32_t c) {
    if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Whether the character ending at p (p >= 1) is surely no whitespace to any
// pre-tokenizer: printable ASCII, or a non-ASCII character that is neither
// White_Space nor a C1 control.
inline bool surely_not_space_before(const uint8_t* t, size_t len, size_t p) {
    const uint8_t b = t[p - 1];
    if (b < 0x80) return b > 0x20 && b < 0x7F;
    const uint32_t c = cp_before(t, len, p);
    return c >= 0xA0 && c != 0xFFFD && !is_space(c);
}

inline bool is_closer(uint32_t c) {
    switch (c) {
        case '"': case '\'': case ')': case ']': case '}':
        case 0x2019: case 0x201D: case 0x00BB: case 0x300D: case 0x300F: case 0xFF09:
            return true;
        default:
            return false;
    }
}

inline bool ascii_space(uint8_t b) { return b == ' ' || (b >= 0x09 && b <= 0x0D); }

// ASCII after which no boundary of any kind lies: not whitespace, not a closer.
inline constexpr auto PLAIN_ASCII = [] {
    std::array<bool, 256> plain{};
    for (int b = 0; b < 0x80; ++b) plain[size_t(b)] = b != ' ' && (b < 0x09 || b > 0x0D);
    for (char c : {'"', '\'', ')', ']', '}'}) plain[size_t(c)] = false;
    return plain;
}();

inline bool plain_ascii(uint8_t b) { return PLAIN_ASCII[b]; }

inline bool ascii_alnum(uint8_t b) {
    return (b >= '0' && b <= '9') || (uint8_t(b | 0x20) >= 'a' && uint8_t(b | 0x20) <= 'z');
}

// Whether a sentence ends before p: after '.', '!', '?' or an ellipsis
// (and closing quotes or brackets) followed by whitespace, after an
// ideographic full stop, or at a blank line.
bool sentence_boundary(const uint8_t* t, size_t len, size_t p);

// p: a character start with 0 < p < len. The byte tests in front settle
// most places without decoding a character.
[[gnu::always_inline]] inline bool is_boundary(ChunkBoundary kind, const uint8_t* t, size_t len, size_t p) {
    const uint8_t before = t[p - 1], at = t[p];
    if (plain_ascii(before)) return false;
    switch (kind) {
        case ChunkBoundary::Whitespace:
            if (before < 0x80 ? !ascii_space(before) : !is_space(cp_before(t, len, p))) return false;
            return at < 0x80 ? !ascii_space(at) : !is_space(cp_at(t, len, p));
        case ChunkBoundary::Line:
            return before == '\n' || (before == '\r' && at != '\n');
        case ChunkBoundary::Sentence:
            if (at < 0x80 && ascii_space(at)) return false;
            // The common place after a space between words: one blank after
            // a letter or digit ends nothing.
            if ((before == ' ' || before == '\t') && p >= 2 && ascii_alnum(t[p - 2])) return false;
            return sentence_boundary(t, len, p);
        case ChunkBoundary::Token:
            break;
    }
    return false;
}

// The characters that start in t[a, b).
size_t count_chars(const uint8_t* t, size_t a, size_t b);

}  // namespace zelkor::chunk_scan
