// Long pieces that repeat a short unit ("-----", "=-=-=-", "abcabc", a tab
// run): encoded chunk by chunk, each chunk that equals the one before it
// taking that chunk's ids again.
//
// Why this is exact: a sequence of tokens whose every adjacent pair is
// valid is the BPE encoding of its bytes (every valid pair is one that BPE
// leaves apart, so no merge can cross a boundary of the sequence). Each
// chunk's ids are its own BPE encoding, so all pairs inside a chunk are
// valid; when the pair across every seam is valid too, the concatenation is
// the encoding of the whole piece. If a seam is not, the caller encodes the
// piece as usual: the work so far is lost, never the exactness.
//
// Why it pays: such a piece is a single pre-token whose greedy sequence is
// seldom valid, and the backtracking search walks a long match at almost
// every byte. Here the search runs over the first chunks only.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "vocab.h"

namespace zelkor::detail {

// The piece encoder cuts pieces of at least this many bytes into chunks of
// at least CHUNK_MIN_PLAIN bytes. The search still runs over the first
// stretch, one chunk and the last (about five chunks' worth, some 1300
// bytes for a unit of one byte), so a shorter piece saves nothing. Where
// the chunks are looked up in the long-piece store instead
// (repeated_piece_encode), a repeated chunk costs a hash, so pieces from
// 256 bytes on gain, and the chunks can be shorter: 128 bytes is as long
// as the longest token, and BPE of a repeated unit has settled by then.
inline constexpr size_t PERIODIC_MIN = 1024;
inline constexpr size_t CHUNK_MIN_PLAIN = 256;
inline constexpr size_t CHUNK_MIN_STORED = 128;
// The longest unit looked for, and where the check for it starts: a few
// bytes into the piece, so that a leading space or sign does not hide it.
inline constexpr size_t PERIOD_MAX = 64;
inline constexpr size_t PERIOD_HEAD = 16;
inline constexpr size_t PERIOD_PROBE = 256;
// Shorter pieces are not looked at.
inline constexpr size_t PERIOD_PIECE_MIN = PERIOD_HEAD + PERIOD_MAX + 64;

// The smallest unit d <= PERIOD_MAX with p[i] == p[i + d] over the probe
// window (up to PERIOD_PROBE bytes, as the piece allows), 0 for none.
inline size_t piece_period(const uint8_t* p, size_t n) {
    if (n < PERIOD_PIECE_MIN) return 0;
    const size_t probe = std::min(PERIOD_PROBE, n - PERIOD_HEAD - PERIOD_MAX);
    const uint8_t* w = p + PERIOD_HEAD;
    uint64_t head;
    std::memcpy(&head, w, 8);
    for (size_t d = 1; d <= PERIOD_MAX; ++d) {
        // Eight bytes first: text that does not repeat fails here, and
        // long CJK or other letter runs come this way all the time.
        uint64_t at;
        std::memcpy(&at, w + d, 8);
        if (at == head && std::memcmp(w, w + d, probe) == 0) return d;
    }
    return 0;
}

// Chunk length for unit d: a power-of-two number of units, at least
// `min_bytes`. BPE of a repeated unit tends to settle into tokens of a
// power-of-two number of units, so the chunks end where its tokens do.
inline size_t chunk_bytes(size_t d, size_t min_bytes) {
    size_t units = 1;
    while (units * d < min_bytes) units *= 2;
    return units * d;
}

// The first stretch of a piece cut into chunks of c bytes, from which the
// grid is taken.
inline constexpr size_t first_stretch(size_t c) { return PERIOD_HEAD + 2 * c; }

// Appends the ids of piece[0..n), n >= first_stretch(c), cut into chunks of
// c bytes, and returns true; or appends nothing and returns false (a seam
// BPE would not keep). `plain` encodes one chunk as a piece of its own.
//
// The chunks must end where the piece's tokens do, and those depend on the
// head of the piece (" ----", say), so the grid is taken from the piece
// itself: its first stretch is encoded, and the chunks start at a token end
// of that stretch, as far from both of its ends as the unit allows.
template <typename Plain>
bool encode_chunks(const Vocab& v, const uint8_t* piece, size_t n, size_t c, IdVec& out, Plain plain) {
    const size_t first_len = first_stretch(c);
    const size_t start = out.size();
    plain(piece, first_len, out);
    size_t pos = 0;
    size_t keep = start;
    while (keep < out.size() && pos < PERIOD_HEAD + c) pos += v.token_lens[out[keep++]];
    out.truncate(keep);  // keep > start: the stretch has a token
    if (pos == n) return true;

    // The chunks from pos on are c bytes each, the last one what is left
    // (c to 2c - 1 bytes, or all of it once the repetition stops; all of
    // it too when less than 2c is left after the stretch).
    // out[prev_from..prev_to) are the ids of the chunk before, and
    // prev_regular says it was c bytes long.
    size_t end = n - pos >= 2 * c ? pos + c : n;
    size_t prev_from = start;
    size_t prev_to = start;
    bool prev_regular = false;
    for (;;) {
        const size_t from = out.size();
        if (prev_regular && end - pos == c && std::memcmp(piece + pos, piece + pos - c, c) == 0) {
            const size_t k = prev_to - prev_from;
            out.reserve_extra(k);  // before taking the address of the source
            out.append(out.data() + prev_from, k);
        } else {
            // Where the repetition stops, the rest is one chunk: cutting
            // text that does not repeat saves nothing and risks a seam.
            if (prev_regular) end = n;
            plain(piece + pos, end - pos, out);
        }
        if (!is_valid_pair(v, out[from - 1], out[from])) {  // the seam
            out.truncate(start);
            return false;
        }
        if (end == n) return true;
        prev_from = from;
        prev_to = out.size();
        prev_regular = end - pos == c;
        pos = end;
        end = n - end >= 2 * c ? end + c : n;
    }
}

// The piece encoder's way: pieces of PERIODIC_MIN bytes or more that repeat
// a short unit, in chunks that `plain` encodes afresh. Returns false, with
// nothing appended, for any other piece or a seam BPE would not keep.
template <typename Plain>
bool encode_periodic(const Vocab& v, const uint8_t* piece, size_t n, IdVec& out, Plain plain) {
    if (n < PERIODIC_MIN) return false;
    const size_t d = piece_period(piece, n);
    if (d == 0) return false;
    const size_t c = chunk_bytes(d, CHUNK_MIN_PLAIN);
    if (n < first_stretch(c) + 2 * c) return false;
    return encode_chunks(v, piece, n, c, out, plain);
}

}  // namespace zelkor::detail
