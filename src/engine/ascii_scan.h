// Byte classes of the ASCII fast paths and run scanners that classify 16
// bytes per step. Each scanner returns the first position at or after `p`
// whose byte is outside its class (or `n`); no load reaches past `n`.
// SSE2 on x86-64, plain byte loops elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#define ZELKOR_ASCII_SSE2 1
#else
#define ZELKOR_ASCII_SSE2 0
#endif

namespace zelkor::ascii {

// Per-byte class bits. HIGH marks 0x80..0xFF: such a byte starts (or
// continues) a non-ASCII code point and is never settled here.
enum ByteClass : uint8_t {
    B_UPPER = 1,   // A..Z
    B_LOWER = 2,   // a..z
    B_DIGIT = 4,   // 0..9
    B_SPACE = 8,   // 0x20 and 0x09..0x0D
    B_CRLF = 16,   // 0x0A, 0x0D (also B_SPACE)
    B_OTHER = 32,  // every other byte below 0x80
    B_HIGH = 64,
    B_LEAD = 128,  // may lead a word: below 0x80, not a letter, digit, CR or LF
    B_LETTER = B_UPPER | B_LOWER,
};

struct ByteTable {
    uint8_t cls[256];
    constexpr ByteTable() : cls{} {
        for (int b = 0; b < 256; ++b) {
            uint8_t c = B_OTHER;
            if (b >= 0x80) c = B_HIGH;
            else if (b >= 'A' && b <= 'Z') c = B_UPPER;
            else if (b >= 'a' && b <= 'z') c = B_LOWER;
            else if (b >= '0' && b <= '9') c = B_DIGIT;
            else if (b == 0x0A || b == 0x0D) c = B_SPACE | B_CRLF;
            else if (b == 0x20 || (b >= 0x09 && b <= 0x0D)) c = B_SPACE;
            if ((c & (B_SPACE | B_OTHER)) && !(c & B_CRLF)) c |= B_LEAD;
            cls[b] = c;
        }
    }
};
inline constexpr ByteTable BYTE_TABLE{};

inline uint8_t byte_class(uint8_t b) { return BYTE_TABLE.cls[b]; }
inline bool is_letter(uint8_t b) { return uint8_t((b | 0x20) - 0x61) < 26; }
inline bool is_upper(uint8_t b) { return uint8_t(b - 0x41) < 26; }
inline bool is_lower(uint8_t b) { return uint8_t(b - 0x61) < 26; }
inline bool is_digit(uint8_t b) { return uint8_t(b - 0x30) < 10; }
inline bool is_space(uint8_t b) { return b == 0x20 || uint8_t(b - 0x09) < 5; }
inline bool is_crlf(uint8_t b) { return b == 0x0A || b == 0x0D; }
inline bool is_other(uint8_t b) { return (byte_class(b) & B_OTHER) != 0; }
inline bool is_high(uint8_t b) { return b >= 0x80; }

inline unsigned ctz16(uint32_t m) { return unsigned(__builtin_ctz(m)); }
inline unsigned top_bit(uint32_t m) { return 31u - unsigned(__builtin_clz(m)); }
inline unsigned ctz64(uint64_t m) { return unsigned(__builtin_ctzll(m)); }
inline unsigned top_bit64(uint64_t m) { return 63u - unsigned(__builtin_clzll(m)); }

// Bit i of each mask is set when byte i of the 16-byte block at `q` is in
// the class.
#if ZELKOR_ASCII_SSE2

// Bytes in [lo, lo + count): shift the range to the bottom of the signed
// byte domain, then one signed compare.
inline __m128i in_range(__m128i v, uint8_t lo, uint8_t count) {
    const __m128i biased = _mm_add_epi8(v, _mm_set1_epi8(char(uint8_t(0x80 - lo))));
    return _mm_cmplt_epi8(biased, _mm_set1_epi8(char(uint8_t(count - 0x80))));
}
inline __m128i load16(const uint8_t* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
}
inline __m128i letter_v(__m128i v) {
    return in_range(_mm_or_si128(v, _mm_set1_epi8(0x20)), 0x61, 26);
}
inline __m128i space_v(__m128i v) {
    return _mm_or_si128(in_range(v, 0x09, 5), _mm_cmpeq_epi8(v, _mm_set1_epi8(0x20)));
}
inline uint32_t bits(__m128i m) { return uint32_t(_mm_movemask_epi8(m)); }

inline uint32_t mask_letter(const uint8_t* q) { return bits(letter_v(load16(q))); }
inline uint32_t mask_upper(const uint8_t* q) { return bits(in_range(load16(q), 0x41, 26)); }
inline uint32_t mask_lower(const uint8_t* q) { return bits(in_range(load16(q), 0x61, 26)); }
inline uint32_t mask_space(const uint8_t* q) { return bits(space_v(load16(q))); }
inline uint32_t mask_crlf(const uint8_t* q) {
    const __m128i v = load16(q);
    return bits(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(0x0A)),
                             _mm_cmpeq_epi8(v, _mm_set1_epi8(0x0D))));
}
// Other: below 0x80 and none of letter, digit, space. A high byte has its
// sign bit set, so OR-ing the raw bytes in excludes it.
inline uint32_t mask_other(const uint8_t* q) {
    const __m128i v = load16(q);
    const __m128i not_other =
        _mm_or_si128(_mm_or_si128(letter_v(v), in_range(v, 0x30, 10)), _mm_or_si128(space_v(v), v));
    return ~bits(not_other) & 0xFFFFu;
}

#else

template <class Pred>
inline uint32_t mask_of(const uint8_t* q, Pred pred) {
    uint32_t m = 0;
    for (unsigned i = 0; i < 16; ++i) m |= uint32_t(pred(q[i])) << i;
    return m;
}
inline uint32_t mask_letter(const uint8_t* q) { return mask_of(q, is_letter); }
inline uint32_t mask_upper(const uint8_t* q) { return mask_of(q, is_upper); }
inline uint32_t mask_lower(const uint8_t* q) { return mask_of(q, is_lower); }
inline uint32_t mask_space(const uint8_t* q) { return mask_of(q, is_space); }
inline uint32_t mask_crlf(const uint8_t* q) { return mask_of(q, is_crlf); }
inline uint32_t mask_other(const uint8_t* q) { return mask_of(q, is_other); }

#endif

// Class masks of the 64 bytes at q, bit i for byte i. Without Cased,
// `upper` holds every ASCII letter and `lower` is empty; without Slash,
// `slash` is empty. Classification stops after the first 16-byte block
// holding a byte of 0x80 or above: the bytes after that block count as
// high in `high` and as nothing in the other masks.
struct Masks64 {
    uint64_t upper, lower, digit, space, ws, crlf, slash, apos, high;
    // Set by the window's taker of two-byte characters: the second bytes
    // of those that are neither letter, number nor whitespace.
    uint64_t other2;
};

template <bool Cased, bool Slash>
inline void classify16(const uint8_t* q, unsigned sh, Masks64& m) {
#if ZELKOR_ASCII_SSE2
    const __m128i v = load16(q + sh);
    const auto eq = [&](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
    if (Cased) {
        m.upper |= uint64_t(bits(in_range(v, 0x41, 26))) << sh;
        m.lower |= uint64_t(bits(in_range(v, 0x61, 26))) << sh;
    } else {
        m.upper |= uint64_t(bits(letter_v(v))) << sh;
    }
    m.digit |= uint64_t(bits(in_range(v, 0x30, 10))) << sh;
    const __m128i sp = eq(0x20);
    m.space |= uint64_t(bits(sp)) << sh;
    m.ws |= uint64_t(bits(_mm_or_si128(sp, in_range(v, 0x09, 5)))) << sh;
    m.crlf |= uint64_t(bits(_mm_or_si128(eq(0x0A), eq(0x0D)))) << sh;
    if (Slash) m.slash |= uint64_t(bits(eq('/'))) << sh;
    m.apos |= uint64_t(bits(eq('\''))) << sh;
#else
    for (unsigned i = 0; i < 16; ++i) {
        const uint8_t b = q[sh + i];
        const uint64_t bit = uint64_t(1) << (sh + i);
        const uint8_t c = byte_class(b);
        if (c & (Cased ? B_UPPER : B_LETTER)) m.upper |= bit;
        if (Cased && (c & B_LOWER)) m.lower |= bit;
        if (c & B_DIGIT) m.digit |= bit;
        if (b == 0x20) m.space |= bit;
        if (c & B_SPACE) m.ws |= bit;
        if (c & B_CRLF) m.crlf |= bit;
        if (Slash && b == '/') m.slash |= bit;
        if (b == '\'') m.apos |= bit;
    }
#endif
}

inline uint32_t mask_high(const uint8_t* q) {
#if ZELKOR_ASCII_SSE2
    return bits(load16(q));
#else
    return mask_of(q, is_high);
#endif
}

// The class masks of the 64 bytes at q, as far as the first byte of 0x80 or
// above (`high` has it and every bit past its block). `take(high, m)` may
// first claim leading high bytes for the classes: it clears their bits in
// `high` and sets them in m.
template <bool Cased, bool Slash, class Take>
inline Masks64 classify64(const uint8_t* q, Take&& take) {
    Masks64 m{};
    m.high = uint64_t(mask_high(q)) | uint64_t(mask_high(q + 16)) << 16 |
             uint64_t(mask_high(q + 32)) << 32 | uint64_t(mask_high(q + 48)) << 48;
    if (m.high) take(m.high, m);
    if (!m.high) {
        for (unsigned sh = 0; sh < 64; sh += 16) classify16<Cased, Slash>(q, sh, m);
        return m;
    }
    const unsigned blocks = ctz64(m.high) / 16 + 1;
    for (unsigned k = 0; k < blocks; ++k) classify16<Cased, Slash>(q, 16 * k, m);
    if (blocks < 4) m.high |= ~uint64_t(0) << (16 * blocks);
    return m;
}

template <uint32_t (*Mask)(const uint8_t*), bool (*Test)(uint8_t)>
inline size_t run_end(const uint8_t* t, size_t p, size_t n) {
    while (n - p >= 16) {
        const uint32_t m = Mask(t + p);
        if (m != 0xFFFFu) return p + ctz16(~m);
        p += 16;
    }
    while (p < n && Test(t[p])) ++p;
    return p;
}

inline size_t letter_run_end(const uint8_t* t, size_t p, size_t n) {
    return run_end<mask_letter, is_letter>(t, p, n);
}
inline size_t upper_run_end(const uint8_t* t, size_t p, size_t n) {
    return run_end<mask_upper, is_upper>(t, p, n);
}
inline size_t lower_run_end(const uint8_t* t, size_t p, size_t n) {
    return run_end<mask_lower, is_lower>(t, p, n);
}
inline size_t other_run_end(const uint8_t* t, size_t p, size_t n) {
    return run_end<mask_other, is_other>(t, p, n);
}

// Run of spaces and 0x09..0x0D. `last_nl` is set to the position of the
// last CR or LF inside the run, and left alone when the run has none.
inline size_t space_run_end(const uint8_t* t, size_t p, size_t n, size_t& last_nl) {
    while (n - p >= 16) {
        const uint32_t m = mask_space(t + p);
        const uint32_t run = m == 0xFFFFu ? 0xFFFFu : (1u << ctz16(~m)) - 1;
        const uint32_t nl = mask_crlf(t + p) & run;
        if (nl) last_nl = p + top_bit(nl);
        if (m != 0xFFFFu) return p + ctz16(~m);
        p += 16;
    }
    while (p < n && is_space(t[p])) {
        if (is_crlf(t[p])) last_nl = p;
        ++p;
    }
    return p;
}

// s, t, m, d, r, v or l in either case: may follow an apostrophe in a
// contraction.
inline bool is_contraction_letter(uint8_t b) {
    const uint8_t l = b | 0x20;
    return l == 's' || l == 't' || l == 'm' || l == 'd' || l == 'r' || l == 'v' || l == 'l';
}

// Length of the contraction suffix at p: an apostrophe and s, t, m, d (2
// bytes) or re, ve, ll (3 bytes), ASCII letters of either case; else 0.
inline size_t contraction_len(const uint8_t* t, size_t p, size_t n) {
    if (p + 1 >= n || t[p] != '\'') return 0;
    const uint8_t a = t[p + 1] | 0x20;
    if (a == 's' || a == 't' || a == 'm' || a == 'd') return 2;
    if (p + 2 >= n) return 0;
    const uint8_t b = t[p + 2] | 0x20;
    if ((a == 'r' && b == 'e') || (a == 'v' && b == 'e') || (a == 'l' && b == 'l')) return 3;
    return 0;
}

}  // namespace zelkor::ascii
