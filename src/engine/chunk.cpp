// Chunks from one encode of the whole text.
//
// The text's own tokens place every cut; a chunk is then checked by counting
// it as if it were encoded alone, because cutting changes the pre-tokens
// near the cut and the ids of a slice of the text can differ from those of
// the slice's tokens (and be more). Counting a chunk alone must not cost a
// second encode of it, so the count is taken in three parts. An anchor is a
// space that follows a character other than whitespace: no pre-token holds a
// non-space character followed by a space, so every pre-tokenizer run that
// starts before an anchor has a pre-token boundary there, and the pre-tokens
// between two anchors depend on nothing outside them. A chunk's count is
// therefore that of its head up to its first anchor, plus the text's own
// tokens between its first and last anchor, plus that of its tail: two short
// encodes. A chunk without an anchor (text without spaces) is counted whole.
#include "chunk.h"

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstring>
#include <functional>

#include "batch_skeleton.h"

namespace zelkor {

namespace {

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// The characters that start in t[a, b): the bytes that are no continuation
// byte, sixteen at a time where SSE2 is there.
size_t count_chars(const uint8_t* t, size_t a, size_t b) {
    size_t n = b - a, p = a;
#if defined(__SSE2__)
    // Byte counters, summed before they can overflow.
    const __m128i top = _mm_set1_epi8(char(0xC0)), cont = _mm_set1_epi8(char(0x80));
    const __m128i zero = _mm_setzero_si128();
    while (p + 16 <= b) {
        __m128i acc = zero;
        for (int k = 0; k < 255 && p + 16 <= b; ++k, p += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t + p));
            acc = _mm_sub_epi8(acc, _mm_cmpeq_epi8(_mm_and_si128(v, top), cont));
        }
        const __m128i sums = _mm_sad_epu8(acc, zero);
        n -= size_t(_mm_cvtsi128_si64(sums)) + size_t(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
#endif
    for (; p < b; ++p) n -= is_continuation(t[p]);
    return n;
}

// The code point starting at p (lenient: a malformed sequence reads as one
// byte that is neither whitespace nor punctuation).
uint32_t cp_at(const uint8_t* t, size_t len, size_t p) {
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

size_t char_start_before(const uint8_t* t, size_t p) {
    size_t q = p - 1;
    while (q > 0 && is_continuation(t[q]) && p - q < 4) --q;
    return q;
}

uint32_t cp_before(const uint8_t* t, size_t len, size_t p) {
    return cp_at(t, len, char_start_before(t, p));
}

// Unicode White_Space.
bool is_space(uint32_t c) {
    if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Whether the character ending at p (p >= 1) is surely no whitespace to any
// pre-tokenizer: printable ASCII, or a non-ASCII character that is neither
// White_Space nor a C1 control.
bool surely_not_space_before(const uint8_t* t, size_t len, size_t p) {
    const uint8_t b = t[p - 1];
    if (b < 0x80) return b > 0x20 && b < 0x7F;
    const uint32_t c = cp_before(t, len, p);
    return c >= 0xA0 && c != 0xFFFD && !is_space(c);
}

bool is_closer(uint32_t c) {
    switch (c) {
        case '"': case '\'': case ')': case ']': case '}':
        case 0x2019: case 0x201D: case 0x00BB: case 0x300D: case 0x300F: case 0xFF09:
            return true;
        default:
            return false;
    }
}

bool sentence_boundary(const uint8_t* t, size_t len, size_t p) {
    if (is_space(cp_at(t, len, p))) return false;
    size_t q = p;
    size_t spaces = 0, breaks = 0;
    while (q > 0) {
        const size_t r = char_start_before(t, q);
        const uint32_t c = cp_at(t, len, r);
        if (!is_space(c)) break;
        if (c == '\n' || (c == '\r' && t[q] != '\n')) ++breaks;
        ++spaces;
        q = r;
    }
    if (breaks >= 2) return true;
    while (q > 0 && is_closer(cp_before(t, len, q))) q = char_start_before(t, q);
    if (q == 0) return false;
    const uint32_t end = cp_before(t, len, q);
    if (end == 0x3002 || end == 0xFF01 || end == 0xFF1F) return true;
    return spaces > 0 && (end == '.' || end == '!' || end == '?' || end == 0x2026);
}

bool ascii_space(uint8_t b) { return b == ' ' || (b >= 0x09 && b <= 0x0D); }

// p: a character start with 0 < p < len. The byte tests in front settle
// most places without decoding a character.
inline bool is_boundary(ChunkBoundary kind, const uint8_t* t, size_t len, size_t p) {
    const uint8_t before = t[p - 1], at = t[p];
    // Inside a run of ASCII letters, digits and most punctuation nothing ends.
    if (before < 0x80 && at < 0x80 && !ascii_space(before) && before != '\r' && !is_closer(before))
        return false;
    switch (kind) {
        case ChunkBoundary::Whitespace:
            if (before < 0x80 ? !ascii_space(before) : !is_space(cp_before(t, len, p))) return false;
            return at < 0x80 ? !ascii_space(at) : !is_space(cp_at(t, len, p));
        case ChunkBoundary::Line:
            return before == '\n' || (before == '\r' && at != '\n');
        case ChunkBoundary::Sentence:
            if (before < 0x80 && !ascii_space(before) && !is_closer(before)) return false;
            if (at < 0x80 && ascii_space(at)) return false;
            return sentence_boundary(t, len, p);
        case ChunkBoundary::Token:
            break;
    }
    return false;
}

// A token of the text and where it starts: the cuts walk the ids from one
// such place to the next instead of keeping every token's end.
struct Cursor {
    size_t token = 0;  // index; the token count when past the last
    size_t pos = 0;    // its first byte; the text's length when past the last
};

class Cutter {
public:
    Cutter(const Tokenizer& tok, const uint8_t* text, size_t len, const ChunkOptions& opt,
           ChunkScratch& sc, uint32_t workers)
        : tok_(tok), lens_(tok.vocab->token_lens.data()), t_(text), len_(len), opt_(opt), sc_(sc),
          workers_(workers) {}

    void run(std::vector<Chunk>& out) {
        sc_.ids.clear();
        encode_into_workers(tok_, t_, len_, sc_.ids, workers_);
        ids_ = sc_.ids.data();
        ntok_ = sc_.ids.size();
        size_t s = 0, end = 0;
        while (s < len_) {
            const Chunk c = cut_from(s, end);
            end = c.end;
            out.push_back(c);
            if (c.end >= len_) break;
            at_ = budget_;  // the next start lies a little before it
            s = next_start(s, c.end);
        }
    }

private:
    size_t token_len(size_t i) const { return lens_[ids_[i]]; }

    // Moves `c` to the token that holds byte p (past the last when p = len).
    void seek(Cursor& c, size_t p) const {
        while (c.token < ntok_ && c.pos + token_len(c.token) <= p) c.pos += token_len(c.token++);
        while (c.token > 0 && c.pos > p) c.pos -= token_len(--c.token);
    }

    // Whether a pre-token boundary lies at q for every run of a pre-tokenizer
    // that starts before q: a space after a character that is surely not
    // whitespace.
    bool anchor(size_t q) const {
        return q > 0 && q < len_ && t_[q] == ' ' && surely_not_space_before(t_, len_, q);
    }

    size_t count_alone(size_t a, size_t b) {
        return a < b ? count_workers(tok_, t_ + a, b - a, sc_.count_scratch, workers_) : 0;
    }

    // The number of ids of text[s, e) encoded alone.
    size_t exact(size_t s, size_t e) {
        // The first anchor after s: every token end from s on is a candidate.
        // The cursors start from where the chunk's own walk left them.
        from_ = at_;
        seek(from_, s);
        size_t first = 0, first_at = 0;  // tokens ending at or before it, its position
        {
            size_t i = from_.token, q = from_.pos;
            while (i < ntok_ && (q += token_len(i), ++i, q <= e)) {
                if (anchor(q)) {
                    first = i;
                    first_at = q;
                    break;
                }
            }
        }
        if (first_at == 0) return count_alone(s, e);
        // The last anchor at or before e.
        to_ = budget_;
        seek(to_, e);
        size_t i = to_.token, q = to_.pos;
        while (q > first_at && !anchor(q)) q -= token_len(--i);
        return count_alone(s, first_at) + (i - first) + count_alone(q, e);
    }

    size_t back_to_char(size_t p) const {
        while (p > 0 && p < len_ && is_continuation(t_[p])) --p;
        return p;
    }
    size_t forward_to_char(size_t p) const {
        while (p < len_ && is_continuation(t_[p])) ++p;
        return p;
    }

    bool fits(size_t s, size_t e, Chunk& c) {
        const size_t n = exact(s, e);
        if (n > opt_.max_tokens) return false;
        c = Chunk{s, e, n};
        return true;
    }

    // The chunk from s; a boundary only counts past `prev_end`, the end of
    // the chunk before, so that each chunk brings text of its own.
    Chunk cut_from(size_t s, size_t prev_end) {
        // The budget: max_tokens of the text's tokens from the one that holds s.
        seek(at_, s);
        const size_t first = at_.token;
        size_t next = first, budget_raw = at_.pos;
        for (size_t k = 0; k < opt_.max_tokens && next < ntok_; ++k) budget_raw += token_len(next++);
        budget_ = Cursor{next, budget_raw};
        const size_t budget_end = back_to_char(budget_raw);

        Chunk c;
        size_t tried = len_ + 1;
        if (budget_end == len_) {
            if (fits(s, len_, c)) return c;
            tried = len_;
        }
        if (opt_.boundary != ChunkBoundary::Token && budget_end > s &&
            boundary_cut(s, std::max(s, prev_end), budget_end, c))
            return c;
        // Back from the budget's end, one token end at a time.
        for (size_t j = next, end_raw = budget_raw; j > first; end_raw -= token_len(--j)) {
            const size_t e = back_to_char(end_raw);
            if (e <= s) break;
            if (e >= tried) continue;
            tried = e;
            if (fits(s, e, c)) return c;
        }
        // One character that alone needs more than the budget (or that only
        // fits alone): a chunk by itself.
        const size_t e = forward_to_char(s + 1);
        return Chunk{s, e, exact(s, e)};
    }

    // The last boundary after `after` in the second half of [s, budget_end)
    // whose chunk fits.
    bool boundary_cut(size_t s, size_t after, size_t budget_end, Chunk& c) {
        const size_t total = count_chars(t_, s, budget_end);
        size_t behind = 0;  // characters from p to budget_end
        for (size_t p = budget_end; p > after && 2 * (total - behind) >= total;) {
            if (p < len_ && is_boundary(opt_.boundary, t_, len_, p) && fits(s, p, c)) return true;
            p = char_start_before(t_, p);
            ++behind;
        }
        return false;
    }

    // The next chunk starts at most `overlap` tokens before `end`, after s:
    // at the earliest boundary at or after the start of the `overlap`-th
    // token before `end` whose stretch to `end`, encoded alone, keeps to
    // `overlap`; failing that (or for Token) at the start of the earliest of
    // those tokens that does.
    size_t next_start(size_t s, size_t end) {
        const size_t k = opt_.overlap;
        if (k == 0) return end;
        seek(at_, end);
        const size_t whole = at_.token;  // tokens that end at or before `end`
        const size_t m0 = std::min(k, whole);
        size_t from = at_.pos;
        for (size_t i = whole; i > whole - m0;) from -= token_len(--i);
        if (opt_.boundary != ChunkBoundary::Token) {
            // The earliest boundary from there on whose stretch keeps to `overlap`.
            for (size_t p = forward_to_char(from); p < end; p = forward_to_char(p + 1))
                if (p > s && is_boundary(opt_.boundary, t_, len_, p) && exact(p, end) <= k) return p;
        }
        for (size_t m = m0; m >= 1; from += token_len(whole - m), --m) {
            const size_t q = forward_to_char(from);
            if (q <= s || q >= end) continue;
            if (exact(q, end) <= k) return q;
        }
        return end;
    }

    const Tokenizer& tok_;
    const uint8_t* lens_;
    const uint8_t* t_;
    size_t len_;
    const ChunkOptions& opt_;
    ChunkScratch& sc_;
    uint32_t workers_;
    const TokenId* ids_ = nullptr;
    size_t ntok_ = 0;
    // The chunk's start, the end of its budget, and the two ends of the
    // last count: each walk starts from one of them and moves little.
    Cursor at_, budget_, from_, to_;
};

}  // namespace

void chunk_text(const Tokenizer& tok, const uint8_t* text, size_t len, const ChunkOptions& opt,
                ChunkScratch& scratch, std::vector<Chunk>& out, uint32_t workers) {
    if (len == 0) return;
    const size_t first = out.size();
    Cutter(tok, text, len, opt, scratch, workers).run(out);
    if (opt.char_offsets) to_char_offsets(text, len, out.data() + first, out.size() - first);
}

ChunkScratch& chunk_scratch() {
    thread_local ChunkScratch scratch;
    return scratch;
}

std::vector<std::vector<Chunk>> chunk_batch(const Tokenizer& tok,
                                            const std::vector<std::string_view>& texts,
                                            const ChunkOptions& opt, size_t threads) {
    std::vector<std::vector<Chunk>> slots(texts.size());
    run_batch(
        tok, texts.size(), threads, [] { return std::ref(chunk_scratch()); },
        [&](std::reference_wrapper<ChunkScratch> sc, size_t i, uint32_t workers) {
            chunk_text(tok, reinterpret_cast<const uint8_t*>(texts[i].data()), texts[i].size(), opt,
                       sc.get(), slots[i], workers);
        });
    return slots;
}

void to_char_offsets(const uint8_t* text, size_t len, Chunk* chunks, size_t n_chunks) {
    // Starts rise from chunk to chunk; ends need not, so all offsets are
    // visited in order in one pass over the text.
    std::vector<size_t*> at;
    at.reserve(n_chunks * 2);
    for (size_t i = 0; i < n_chunks; ++i) {
        at.push_back(&chunks[i].start);
        at.push_back(&chunks[i].end);
    }
    std::sort(at.begin(), at.end(), [](const size_t* a, const size_t* b) { return *a < *b; });
    size_t pos = 0, n = 0;
    for (size_t* off : at) {
        const size_t target = std::min(*off, len);
        n += count_chars(text, pos, target);
        pos = target;
        *off = n;
    }
}

}  // namespace zelkor
