// The slower parts of reading a place in the text: sentence ends, and
// counting characters for code-point offsets.
#include <algorithm>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "chunk.h"
#include "chunk_scan.h"

namespace zelkor {

namespace chunk_scan {

// The bytes that are no continuation byte, sixteen at a time where SSE2 is
// there.
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

}  // namespace chunk_scan

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
        n += chunk_scan::count_chars(text, pos, target);
        pos = target;
        *off = n;
    }
}

}  // namespace zelkor
