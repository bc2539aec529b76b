// The cl100k_base pre-tokenizer, and what the o200k pre-tokenizer shares
// with it: the code-point run scanners and the 64-byte ASCII windows.
//
// split_cl100k cuts a text into pre-tokens, in order, by these rules (the
// first that matches at the current position wins):
//   1. an apostrophe with s, t, m, d, re, ve or ll (ASCII, either case);
//   2. an optional lead (not CR, LF, letter or number) and a letter run;
//   3. one to three numbers;
//   4. an optional space, a run of other code points, then any CR and LF;
//   5. a whitespace run holding CR or LF, up to its last CR or LF;
//   6. a whitespace run of two or more followed by text, less its last
//      code point (which leads the next pre-token);
//   7. the whole whitespace run.
// Three layers give the same pre-tokens. ASCII text, and the two-byte
// letters of European scripts within it, goes through 64-byte windows whose
// pre-token starts are computed all at once from class masks. What a
// window cannot settle goes to the ASCII fast path, one
// pre-token at a time, scanning 16 bytes per step; whenever a byte of 0x80
// or above could change the extent of a pre-token, the general path
// matches it again on code points.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "ascii_scan.h"
#include "interrupt.h"
#include "uclass.h"
#include "utf8_lenient.h"

namespace zelkor {
namespace pretok {

constexpr size_t NONE = ~size_t(0);
// After a window that settles nothing, at least this many bytes go piece
// by piece before the next window, doubling while windows keep failing.
constexpr size_t SCAN_STRETCH_MIN = 1;
constexpr size_t SCAN_STRETCH_MAX = 1024;

// Class bits of ASCII code points. The general path classifies ASCII by
// these, like the fast path, so both agree whatever a class image says.
struct AsciiClassTable {
    uint8_t bits[128];
    constexpr AsciiClassTable() : bits{} {
        for (int b = 0; b < 128; ++b) {
            uint8_t c = 0;
            if (b >= 'A' && b <= 'Z') c = CLASS_LETTER | CLASS_UPPER;
            if (b >= 'a' && b <= 'z') c = CLASS_LETTER | CLASS_LOWER;
            if (b >= '0' && b <= '9') c = CLASS_NUMBER;
            if (b == 0x20 || (b >= 0x09 && b <= 0x0D)) c = CLASS_SPACE;
            bits[b] = c;
        }
    }
};
inline constexpr AsciiClassTable ASCII_CLASSES{};

// Stands in for the class table of an empty class set: every non-ASCII
// code point is then other, instead of a read through a null table.
inline const uint8_t* zero_class_table() {
    static const uint8_t zeros[0x10000] = {};
    return zeros;
}

// Classifies code points for one split: ASCII by the fixed table, the BMP
// by one table load, above it by binary search in the lists asked about.
template <int K>
struct CpClasses {
    const UClassT<K>& uc;
    const uint8_t* table;

    explicit CpClasses(const UClassT<K>& u)
        : uc(u), table(u.empty() ? zero_class_table() : u.table.data()) {}

    // The bits of `want` that a code point read from a byte of 0x80 or
    // above has (an overlong form of an ASCII value goes to the table too).
    uint8_t of_high(uint32_t cp, uint8_t want) const {
        if (cp <= 0xFFFF) return table[cp] & want;
        uint8_t bits = 0;
        for (int k = 0; k < K; ++k) {
            const uint8_t bit = uint8_t(1u << k);
            if ((want & bit) && uc.lists[k].contains(cp)) bits |= bit;
        }
        return bits;
    }
    // The bits of `want` that the code point has.
    uint8_t of(const CodePoint& cp, uint8_t want) const {
        if (cp.width == 1 && cp.cp < 0x80) return ASCII_CLASSES.bits[cp.cp] & want;
        return of_high(cp.cp, want);
    }
};

// End of the run of letters from q.
template <int K>
inline size_t letter_run(const CpClasses<K>& c, const uint8_t* t, size_t n, size_t q) {
    while (q < n) {
        const uint8_t b = t[q];
        if (b < 0x80) {
            if (!ascii::is_letter(b)) break;
            q = ascii::letter_run_end(t, q + 1, n);
            continue;
        }
        const CodePoint cp = read_lenient(t, n, q);
        if (!c.of_high(cp.cp, CLASS_LETTER)) break;
        q += cp.width;
    }
    return q;
}

// End of one to three numbers from p, where a number starts.
template <int K>
inline size_t number_run(const CpClasses<K>& c, const uint8_t* t, size_t n, size_t p) {
    size_t q = p;
    for (int i = 0; i < 3 && q < n; ++i) {
        const CodePoint cp = read_lenient(t, n, q);
        if (!c.of(cp, CLASS_NUMBER)) break;
        q += cp.width;
    }
    return q;
}

// End of the run of other code points (neither letter, number nor
// whitespace) from q.
template <int K>
inline size_t other_run(const CpClasses<K>& c, const uint8_t* t, size_t n, size_t q) {
    while (q < n) {
        const uint8_t b = t[q];
        if (b < 0x80) {
            if (!ascii::is_other(b)) break;
            q = ascii::other_run_end(t, q + 1, n);
            continue;
        }
        const CodePoint cp = read_lenient(t, n, q);
        if (c.of_high(cp.cp, CLASS_LETTER | CLASS_NUMBER | CLASS_SPACE)) break;
        q += cp.width;
    }
    return q;
}

// Skips the bytes CR and LF (and '/' when Slash) from q.
template <bool Slash>
inline size_t break_tail(const uint8_t* t, size_t n, size_t q) {
    while (q < n && (ascii::is_crlf(t[q]) || (Slash && t[q] == '/'))) ++q;
    return q;
}

// Rules 5 to 7 given the whitespace run [p, e): up to its last line break
// (at last_nl, or NONE), the whole run at the end of the text, else the
// run less its last code point (last_width bytes) if it has more than one.
inline size_t space_pretoken_end(size_t p, size_t e, size_t n, size_t last_nl, size_t last_width) {
    if (last_nl != NONE) return last_nl + 1;
    if (e == n) return e;
    if (e - p > last_width) return e - last_width;
    return e;
}

// Whitespace rules on code points from p. Takes one byte if no whitespace
// starts at p, which only a class image with gaps in it can cause.
template <int K>
inline size_t space_rules(const CpClasses<K>& c, const uint8_t* t, size_t n, size_t p) {
    size_t q = p, last_nl = NONE, last_width = 0;
    while (q < n) {
        const uint8_t b = t[q];
        if (b < 0x80) {
            if (!ascii::is_space(b)) break;
            q = ascii::space_run_end(t, q, n, last_nl);
            last_width = 1;
            continue;
        }
        const CodePoint cp = read_lenient(t, n, q);
        if (!c.of_high(cp.cp, CLASS_SPACE)) break;
        q += cp.width;
        last_width = cp.width;
    }
    if (q == p) return p + 1;
    return space_pretoken_end(p, q, n, last_nl, last_width);
}

// The ASCII fast path's whitespace pre-token at p, or 0 when a high byte
// ends the run (it may be whitespace itself).
inline size_t ascii_space_pretoken(const uint8_t* t, size_t n, size_t p) {
    size_t last_nl = NONE;
    const size_t e = ascii::space_run_end(t, p, n, last_nl);
    if (e < n && ascii::is_high(t[e])) return 0;
    return space_pretoken_end(p, e, n, last_nl, 1);
}

// The ASCII fast path's number pre-token at p (a digit), or 0 when a high
// byte after one or two digits may be a number too.
inline size_t ascii_number_pretoken(const uint8_t* t, size_t n, size_t p) {
    size_t e = p + 1;
    if (e < n && ascii::is_digit(t[e])) {
        ++e;
        if (e < n && ascii::is_digit(t[e])) return e + 1;
    }
    if (e < n && ascii::is_high(t[e])) return 0;
    return e;
}

// The ASCII fast path's punctuation pre-token from q (an ASCII other
// byte), or 0 when a high byte may continue the run.
template <bool Slash>
inline size_t ascii_punct_pretoken(const uint8_t* t, size_t n, size_t q) {
    const size_t e = ascii::other_run_end(t, q + 1, n);
    if (e < n && ascii::is_high(t[e])) return 0;
    return break_tail<Slash>(t, n, e);
}

// Hands a pre-token that a window found (ASCII bytes and two-byte characters)
// to the sink, through its `ascii` member where it has one (which may skip
// the test for a leading three-byte character).
template <class Sink>
[[gnu::always_inline]] inline void emit_ascii(Sink& sink, const uint8_t* piece, size_t len) {
    if constexpr (requires { sink.ascii(piece, len); })
        sink.ascii(piece, len);
    else
        sink(piece, len);
}

// Two-byte characters join the window where their class is one the masks
// can hold: letters (most accented Latin letters, Greek, Cyrillic) get the
// letter bits on both bytes, for o200k the upper or the lower ones; other
// code points (punctuation and symbols: the Latin-1 signs, say) get no
// bits and so count as other, their second byte marked in `other2`. A
// letter that is both cases, or neither (a mark or a modifier letter for
// o200k), a number or whitespace ends the window. Taken in order from the
// window's first high byte up to the first that is not the lead of such a
// character with its continuation byte among the window's `avail` real
// bytes. `cls` is the class table of the BMP.
template <bool O200k>
inline void take_two_byte_chars(const uint8_t* w, size_t avail, const uint8_t* cls,
                                uint64_t& high, ascii::Masks64& m) {
    constexpr uint8_t ENDS = O200k ? CLASS_NUMBER | CLASS_SPACE | CLASS_UPPER | CLASS_LOWER
                                   : CLASS_NUMBER | CLASS_SPACE;
    while (high) {
        const unsigned i = ascii::ctz64(high);
        if (i + 1 >= avail) return;
        const uint8_t b0 = w[i], b1 = w[i + 1];
        if (b0 < 0xC2 || b0 > 0xDF || (b1 & 0xC0) != 0x80) return;
        const uint8_t k = cls[(b0 & 0x1Fu) << 6 | (b1 & 0x3Fu)];
        const uint64_t two = uint64_t(3) << i;
        if (k & CLASS_LETTER) {
            if (O200k) {
                const uint8_t cased = k & (CLASS_UPPER | CLASS_LOWER);
                if (cased == CLASS_UPPER)
                    m.upper |= two;
                else if (cased == CLASS_LOWER)
                    m.lower |= two;
                else
                    return;
            } else {
                m.upper |= two;  // the letters of an uncased window
            }
        } else if (k & ENDS) {
            return;
        } else {
            m.other2 |= uint64_t(2) << i;
        }
        high &= ~two;
    }
}

// Pre-tokens of the 64 bytes at p (a pre-token start), found all at once
// from class masks; w holds those bytes (the text itself at p, or a copy
// of its last `avail` bytes padded with 0x80). The window is cut before
// its first byte of 0x80 or above that is not part of a two-byte letter or
// sign, and before its first apostrophe that a contraction letter follows;
// the scanners handle those. A pre-token start is a bit in `starts`: the
// start and the end of every run of letters, digits, other or whitespace
// code points, every third digit of a number, a capital after a small
// letter (o200k), and inside whitespace runs the byte after the last line
// break and the byte given back to the text that follows; less the starts
// that a lead, or a space before punctuation, joins to the pre-token before
// them. Calls sink for every pre-token whose end the window settles and
// returns where the next one starts (p if none was settled).
template <bool O200k, class Sink>
[[gnu::always_inline]] inline size_t split_ascii_window(const uint8_t* w, size_t avail,
                                                        const uint8_t* cls, const uint8_t* t,
                                                        size_t p, Sink& sink) {
    using namespace ascii;
    const Masks64 m = classify64<O200k, O200k>(w, [&](uint64_t& high, Masks64& mm) {
        take_two_byte_chars<O200k>(w, avail, cls, high, mm);
    });
    // An apostrophe is other unless a contraction letter follows it.
    uint64_t stop = m.high;
    for (uint64_t a = m.apos; a; a &= a - 1) {
        const unsigned i = ctz64(a);
        if (i == 63 || is_contraction_letter(w[i + 1])) {
            stop |= uint64_t(1) << i;
            break;
        }
    }
    const unsigned lim = stop ? ctz64(stop) : 64;
    if (lim < 2) return p;
    const uint64_t known = lim == 64 ? ~uint64_t(0) : (uint64_t(1) << lim) - 1;
    const uint64_t upper = m.upper & known, lower = m.lower & known;
    const uint64_t letter = upper | lower, digit = m.digit & known, space = m.space & known;
    const uint64_t ws = m.ws & known, crlf = m.crlf & known;
    const uint64_t other = known & ~(letter | digit | ws);

    // Line breaks (and for o200k slashes) eaten by the punctuation before
    // them. A tail starts at a line break right after other code points.
    const uint64_t tail_class = O200k ? (crlf | (m.slash & known)) : crlf;
    const uint64_t tail_start = (other << 1) & crlf;
    const uint64_t carried = tail_class + tail_start;
    // Two tail starts in one run (a slash, a line break, a slash, a line
    // break): the carry trick no longer holds.
    if (O200k && (carried & tail_start)) return p;
    const uint64_t eaten = tail_class & ~carried;
    const uint64_t punct = other & ~eaten, wsp = ws & ~eaten, blank = wsp & ~crlf;

    uint64_t starts = 0;
    const uint64_t word_start = letter & ~(letter << 1);
    starts |= word_start | (known & ~letter & (letter << 1));
    if (O200k) starts |= upper & (lower << 1);
    const uint64_t num_start = digit & ~(digit << 1);
    starts |= num_start | (known & ~digit & (digit << 1));
    const uint64_t digit3 = digit & (digit << 1) & (digit << 2);
    for (uint64_t g = (num_start << 3) & digit3; g; g = (g << 3) & digit3) starts |= g;
    const uint64_t punct_or_tail = punct | eaten;
    starts |= (punct & ~(punct << 1)) | (known & ~punct_or_tail & (punct_or_tail << 1));
    starts |= (wsp & ~(wsp << 1)) | (known & ~wsp & (wsp << 1));
    const uint64_t after_break = blank & ((wsp & crlf) << 1);
    starts |= after_break;
    starts |= blank & ~(wsp >> 1) & (known >> 1);
    // A blank or a lone other code point (not after a space) leads the
    // letters after it; a space leads punctuation. (Where that other code
    // point is two bytes long, the one before it ends a byte further back.)
    const uint64_t other2 = m.other2 & known;
    const uint64_t before_one = ~(punct << 2) & ~(space << 2) & ~(other2 << 1);
    const uint64_t before_two = ~(punct << 3) & ~(space << 3) & (other2 << 1);
    const uint64_t lone_punct = (punct << 1) & (before_one | before_two);
    const uint64_t led = word_start & ((blank << 1) | lone_punct);
    starts &= ~(led | (punct & (space << 1)));

    // Trust only what the window settles: not the inside of a whitespace
    // run that reaches the cut, nor a run after a line break that ends in
    // another line break (the break before it is not the last one).
    uint64_t settled = known;
    if ((wsp >> (lim - 1)) & 1) {
        const uint64_t non_ws = known & ~wsp;
        const unsigned run = non_ws ? top_bit64(non_ws) + 1 : 0;
        settled &= run >= 63 ? ~uint64_t(0) : (uint64_t(2) << run) - 1;
    }
    if (const uint64_t broken = (blank + after_break) & crlf) {
        const unsigned j = top_bit64(after_break & ((uint64_t(1) << ctz64(broken)) - 1));
        settled &= (uint64_t(1) << j) - 1;
    }

    uint64_t ends = starts & settled & ~uint64_t(1);
    size_t from = p;
    while (ends) {
        const size_t e = p + ctz64(ends);
        emit_ascii(sink, t + from, e - from);
        from = e;
        ends &= ends - 1;
    }
    return from;
}

// The general path: the pre-token at p on code points.
[[gnu::noinline]] inline size_t cl100k_general(const CpClasses<3>& c, const uint8_t* t, size_t n,
                                               size_t p) {
    if (const size_t k = ascii::contraction_len(t, p, n)) return p + k;
    const CodePoint c0 = read_lenient(t, n, p);
    const uint8_t k0 = c.of(c0, CLASS_LETTER | CLASS_NUMBER | CLASS_SPACE);
    if (k0 & CLASS_LETTER) return letter_run(c, t, n, p + c0.width);
    if (!(k0 & CLASS_NUMBER) && c0.cp != '\r' && c0.cp != '\n' && p + c0.width < n) {
        const CodePoint c1 = read_lenient(t, n, p + c0.width);
        if (c.of(c1, CLASS_LETTER)) return letter_run(c, t, n, p + c0.width + c1.width);
    }
    if (k0 & CLASS_NUMBER) return number_run(c, t, n, p);
    const size_t q = c0.cp == ' ' ? p + 1 : p;
    const size_t e = other_run(c, t, n, q);
    if (e > q) return break_tail<false>(t, n, e);
    return space_rules(c, t, n, p);
}

// End of the pre-token at p < n.
[[gnu::always_inline]] inline size_t cl100k_next(const CpClasses<3>& c, const uint8_t* t,
                                                 size_t n, size_t p) {
    using namespace ascii;
    const uint8_t b = t[p];
    const uint8_t bc = byte_class(b);
    if (b != '\'' && n - p >= 16) {
        // A word inside the block at p: letters from p, or from p + 1 after
        // a lead. Longer words take the scanning path below.
        const uint32_t letters = mask_letter(t + p);
        const uint32_t lead = (bc & B_LEAD) ? 1 : 0;
        if ((letters | ((letters >> 1) & lead)) & 1) {
            const uint32_t word = letters | 1;
            if (word != 0xFFFFu) {
                const size_t e = p + ctz16(~word);
                return is_high(t[e]) ? cl100k_general(c, t, n, p) : e;
            }
        }
    }
    size_t e = 0;
    if (bc & B_LETTER) {
        e = letter_run_end(t, p + 1, n);
        if (e < n && is_high(t[e])) e = 0;
    } else if (bc & B_HIGH) {
        e = 0;
    } else if (bc & B_DIGIT) {
        e = ascii_number_pretoken(t, n, p);
    } else {
        if (b == '\'') {
            if (const size_t k = contraction_len(t, p, n)) return p + k;
        }
        // Anything but CR and LF may lead a word.
        if (!(bc & B_CRLF) && p + 1 < n) {
            const uint8_t b1 = t[p + 1];
            if (is_letter(b1)) {
                e = letter_run_end(t, p + 2, n);
                if (e < n && is_high(t[e])) e = 0;
                return e ? e : cl100k_general(c, t, n, p);
            }
            if (is_high(b1)) return cl100k_general(c, t, n, p);
        }
        if (bc & B_OTHER)
            e = ascii_punct_pretoken<false>(t, n, p);
        else if (b == ' ' && p + 1 < n && is_other(t[p + 1]))
            e = ascii_punct_pretoken<false>(t, n, p + 1);
        else
            e = ascii_space_pretoken(t, n, p);
    }
    return e ? e : cl100k_general(c, t, n, p);
}

// The split loop of both pre-tokenizers; next(p) is the end of the
// pre-token at p by the fast and general paths, `cls` the class table of
// the BMP. Whole windows while 64 bytes remain; after a window that settles
// nothing, piece by piece for a stretch that doubles with every further
// miss. The last bytes get one window on a padded copy.
template <bool O200k, class Next, class Sink>
inline void split_text(const uint8_t* text, size_t len, const uint8_t* cls, Next&& next,
                       Sink& sink) {
    const auto one = [&](size_t p) {
        const size_t e = next(p);
        sink(text + p, e - p);
        return e;
    };
    size_t p = 0, stretch = SCAN_STRETCH_MIN;
    // p < windows_end: 64 bytes remain. The windows go in runs of
    // POLL_BYTES, between which a long text may be stopped (interrupt.h).
    const size_t windows_end = len >= 64 ? len - 63 : 0;
    for (;;) {
        const size_t run_end = std::min(windows_end, p + POLL_BYTES);
        while (p < run_end) {
            // Non-ASCII at hand: a window would settle nothing.
            if ((text[p] | text[p + 1]) & 0x80) {
                p = one(p);
                continue;
            }
            const size_t q = split_ascii_window<O200k>(text + p, 64, cls, text, p, sink);
            if (q != p) {
                p = q;
                stretch = SCAN_STRETCH_MIN;
                continue;
            }
            const size_t until = p + stretch;
            do p = one(p);
            while (p < until && p < len);
            if (stretch < SCAN_STRETCH_MAX) stretch *= 2;
        }
        if (p >= windows_end) break;
        poll_stop();
    }
    if (len - p >= 16 && !((text[p] | text[p + 1]) & 0x80)) {
        uint8_t padded[64];
        std::memset(padded, 0x80, sizeof padded);
        std::memcpy(padded, text + p, len - p);
        p = split_ascii_window<O200k>(padded, len - p, cls, text, p, sink);
    }
    while (p < len) p = one(p);
}

}  // namespace pretok

// Calls sink(piece, piece_len) for every pre-token of text[0..len), in
// order. The pre-tokens tile the text and are at least one byte long.
template <class Sink>
inline void split_cl100k(const UClass& uc, const uint8_t* text, size_t len, Sink&& sink) {
    const pretok::CpClasses<3> c(uc);
    pretok::split_text<false>(
        text, len, c.table, [&](size_t p) { return pretok::cl100k_next(c, text, len, p); }, sink);
}

}  // namespace zelkor
