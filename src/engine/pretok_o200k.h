// The o200k_base / o200k_harmony pre-tokenizer.
//
// split_o200k cuts a text into pre-tokens, in order, by these rules (the
// first that matches at the current position wins):
//   1. an optional lead (not CR, LF, letter or number), any upper code
//      points, one or more lower code points, an optional contraction
//      suffix, as a backtracking matcher finds it;
//   2. an optional lead, one or more upper, any lower, an optional suffix;
//   3. one to three numbers;
//   4. an optional space, a run of other code points, then any CR, LF, '/';
//   5.-7. whitespace as for cl100k.
// Upper is Lu Lt Lm Lo and marks, lower is Ll Lm Lo and marks, so Lm, Lo
// and marks count as both. The contraction suffix is an apostrophe with s,
// t, m, d, re, ve or ll (ASCII, either case). The layers are those of the
// cl100k pre-tokenizer: ASCII windows, the ASCII fast path, the general
// path on code points.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ascii_scan.h"
#include "pretok_cl100k.h"
#include "uclass.h"
#include "utf8_lenient.h"

namespace zelkor {
namespace pretok {

// End of the upper run from s. `last_both` is set to the end of the last
// code point of the run that is also lower, and left alone if there is none.
inline size_t o_upper_run(const CpClasses<5>& c, const uint8_t* t, size_t n, size_t s,
                          size_t& last_both) {
    size_t q = s;
    while (q < n) {
        const uint8_t b = t[q];
        if (b < 0x80) {
            // ASCII capitals are upper only.
            if (!ascii::is_upper(b)) break;
            q = ascii::upper_run_end(t, q + 1, n);
            continue;
        }
        const CodePoint cp = read_lenient(t, n, q);
        const uint8_t bits = c.of_high(cp.cp, CLASS_UPPER | CLASS_LOWER);
        if (!(bits & CLASS_UPPER)) break;
        q += cp.width;
        if (bits & CLASS_LOWER) last_both = q;
    }
    return q;
}

// End of the lower run from s.
inline size_t o_lower_run(const CpClasses<5>& c, const uint8_t* t, size_t n, size_t s) {
    size_t q = s;
    while (q < n) {
        const uint8_t b = t[q];
        if (b < 0x80) {
            if (!ascii::is_lower(b)) break;
            q = ascii::lower_run_end(t, q + 1, n);
            continue;
        }
        const CodePoint cp = read_lenient(t, n, q);
        if (!c.of_high(cp.cp, CLASS_LOWER)) break;
        q += cp.width;
    }
    return q;
}

// Both word shapes from one scan at s; 0 is no match (a match ends after s).
struct OWords {
    size_t ul;   // upper* lower+, as a backtracking matcher finds it
    size_t upl;  // upper+ lower*
};

inline OWords o_words(const CpClasses<5>& c, const uint8_t* t, size_t n, size_t s) {
    size_t last_both = 0;
    const size_t u = o_upper_run(c, t, n, s, last_both);
    const size_t l = o_lower_run(c, t, n, u);
    const size_t upl = u > s ? l : 0;
    if (l > u) return {l, upl};
    // No lower after the upper run: lower+ can only take the last upper
    // code point that is lower too, which ends the match.
    return {u > s ? last_both : 0, upl};
}

}  // namespace pretok

// End of upper* lower+ at `start`, or 0 when nothing matches there.
inline size_t o_match_ul(const UClassO& uc, const uint8_t* text, size_t len, size_t start) {
    if (start >= len) return 0;
    return pretok::o_words(pretok::CpClasses<5>(uc), text, len, start).ul;
}

// End of upper+ lower* at `start`, or 0 when nothing matches there.
inline size_t o_match_upl(const UClassO& uc, const uint8_t* text, size_t len, size_t start) {
    if (start >= len) return 0;
    return pretok::o_words(pretok::CpClasses<5>(uc), text, len, start).upl;
}

namespace pretok {

// The general path: the pre-token at p on code points.
[[gnu::noinline]] inline size_t o200k_general(const CpClasses<5>& c, const uint8_t* t, size_t n,
                                              size_t p) {
    const CodePoint c0 = read_lenient(t, n, p);
    const uint8_t k0 = c.of(c0, CLASS_LETTER | CLASS_NUMBER | CLASS_SPACE);
    size_t e = 0;
    if ((k0 & (CLASS_LETTER | CLASS_NUMBER)) || c0.cp == '\r' || c0.cp == '\n') {
        const OWords w = o_words(c, t, n, p);
        e = w.ul ? w.ul : w.upl;
    } else {
        // c0 may lead. Order: lower-ended word after the lead, then from c0
        // itself (a mark), then the upper-led word the same two ways.
        const size_t q = p + c0.width;
        const OWords led = q < n ? o_words(c, t, n, q) : OWords{0, 0};
        if (led.ul) {
            e = led.ul;
        } else {
            const OWords own = o_words(c, t, n, p);
            e = own.ul ? own.ul : led.upl ? led.upl : own.upl;
        }
    }
    if (e) return e + ascii::contraction_len(t, e, n);
    if (k0 & CLASS_NUMBER) return number_run(c, t, n, p);
    const size_t q = c0.cp == ' ' ? p + 1 : p;
    e = other_run(c, t, n, q);
    if (e > q) return break_tail<true>(t, n, e);
    return space_rules(c, t, n, p);
}

// The ASCII fast path's word from s (an ASCII letter; p or the byte after
// a lead at p), or 0 when a high byte ends the capitals or the small
// letters. In ASCII nothing is both upper and lower, so both word rules
// give capitals followed by small letters.
inline size_t o_ascii_word(const uint8_t* t, size_t n, size_t s) {
    const size_t u = ascii::upper_run_end(t, s, n);
    if (u < n && ascii::is_high(t[u])) return 0;
    const size_t l = ascii::lower_run_end(t, u, n);
    if (l < n && ascii::is_high(t[l])) return 0;
    return l + ascii::contraction_len(t, l, n);
}

// End of the pre-token at p < n.
[[gnu::always_inline]] inline size_t o200k_next(const CpClasses<5>& c, const uint8_t* t,
                                                size_t n, size_t p) {
    using namespace ascii;
    const uint8_t b = t[p];
    const uint8_t bc = byte_class(b);
    if (n - p >= 16) {
        // A word inside the block at p: capitals then small letters, from p
        // or from p + 1 after a lead. Longer words take the path below.
        const uint32_t upper = mask_upper(t + p), lower = mask_lower(t + p);
        const uint32_t letters = upper | lower;
        const uint32_t lead = (bc & B_LEAD) ? 1 : 0;
        if ((letters | ((letters >> 1) & lead)) & 1) {
            const uint32_t caps = upper | lead;
            if (caps != 0xFFFFu) {
                const uint32_t smalls = lower | ((1u << ctz16(~caps)) - 1);
                if (smalls != 0xFFFFu) {
                    const size_t e = p + ctz16(~smalls);
                    if (is_high(t[e])) return o200k_general(c, t, n, p);
                    return t[e] == '\'' ? e + contraction_len(t, e, n) : e;
                }
            }
        }
    }
    size_t e = 0;
    if (bc & B_LETTER) {
        e = o_ascii_word(t, n, p);
    } else if (bc & B_HIGH) {
        e = 0;
    } else if (bc & B_DIGIT) {
        e = ascii_number_pretoken(t, n, p);
    } else {
        // Anything but CR and LF may lead a word.
        if (!(bc & B_CRLF) && p + 1 < n) {
            const uint8_t b1 = t[p + 1];
            if (is_letter(b1)) {
                e = o_ascii_word(t, n, p + 1);
                return e ? e : o200k_general(c, t, n, p);
            }
            if (is_high(b1)) return o200k_general(c, t, n, p);
        }
        if (bc & B_OTHER)
            e = ascii_punct_pretoken<true>(t, n, p);
        else if (b == ' ' && p + 1 < n && is_other(t[p + 1]))
            e = ascii_punct_pretoken<true>(t, n, p + 1);
        else
            e = ascii_space_pretoken(t, n, p);
    }
    return e ? e : o200k_general(c, t, n, p);
}

}  // namespace pretok

// Calls sink(piece, piece_len) for every pre-token of text[0..len), in
// order. The pre-tokens tile the text and are at least one byte long.
template <class Sink>
inline void split_o200k(const UClassO& uc, const uint8_t* text, size_t len, Sink&& sink) {
    const pretok::CpClasses<5> c(uc);
    pretok::split_text<true>(
        text, len, c.table, [&](size_t p) { return pretok::o200k_next(c, text, len, p); }, sink);
}

}  // namespace zelkor
