#include "long_pieces.h"

#include <cstring>

#include "periodic_piece.h"

namespace zelkor {

namespace {

inline uint64_t load8(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

inline uint64_t mix(uint64_t h, uint64_t w) {
    h = (h ^ w) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 29);
}

// Hash of len >= 8 bytes, read in words without going past the piece (the
// last word overlaps the one before).
inline uint64_t piece_hash_long(const uint8_t* p, size_t len) {
    uint64_t h = uint64_t(len) * 0xC2B2AE3D27D4EB4Full;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) h = mix(h, load8(p + i));
    if (i < len) h = mix(h, load8(p + len - 8));
    // Never 0, so that a used slot never looks empty.
    return h | 1;
}

// A record is the piece padded to 4 bytes, then its ids.
inline size_t ids_offset(size_t len) { return (len + 3) & ~size_t(3); }
inline uint32_t record_bytes(size_t len, size_t n_ids) {
    return uint32_t(ids_offset(len) + n_ids * sizeof(TokenId));
}

}  // namespace

void long_piece_encode(LongPieces& store, const Vocab& v, const uint8_t* p, size_t len,
                       IdVec& out) {
    const uint64_t hash = piece_hash_long(p, len);
    // Two slots per hash: the home slot and its neighbour in the same line.
    const uint32_t home = uint32_t(hash >> (64 - LongPieces::SLOT_BITS));
    LongPieceSlot* pair[2] = {&store.slots[home], &store.slots[home ^ 1]};
    for (LongPieceSlot* s : pair) {
        if (s->hash == hash && s->len == len &&
            std::memcmp(store.arena + s->offset, p, len) == 0) {
            const auto* ids = reinterpret_cast<const TokenId*>(store.arena + s->offset + ids_offset(len));
            out.append(ids, s->n_ids);
            return;
        }
    }

    const size_t start = out.size();
    encode_piece(v, p, len, out);
    const size_t n_ids = out.size() - start;
    const uint32_t bytes = record_bytes(len, n_ids);
    if (n_ids == 0 || bytes > LongPieces::ARENA_BYTES) return;
    if (store.used + bytes > LongPieces::ARENA_BYTES) {
        // Full: start over rather than keep track of what is still used.
        std::memset(store.slots, 0, sizeof store.slots);
        store.used = 0;
    }
    LongPieceSlot* target = pair[0]->hash == 0 ? pair[0] : pair[1]->hash == 0 ? pair[1] : pair[0];
    const uint32_t offset = store.used;
    std::memcpy(store.arena + offset, p, len);
    std::memcpy(store.arena + offset + ids_offset(len), out.data() + start, n_ids * sizeof(TokenId));
    store.used = offset + bytes;
    *target = LongPieceSlot{hash, offset, uint16_t(len), uint16_t(n_ids)};
}

namespace {

inline bool is_line_end(uint8_t c) { return c == '\n' || c == '\r'; }

// Where the first line of p[0..len) ends, its newlines included; len when
// there is no line after it.
size_t first_line_end(const uint8_t* p, size_t len) {
    const void* nl = std::memchr(p, '\n', len);
    if (nl == nullptr) return len;
    size_t end = size_t(static_cast<const uint8_t*>(nl) - p);
    while (end < len && is_line_end(p[end])) ++end;
    return end;
}

// A piece of several lines, each cut after its newlines: appends the ids
// and returns true, or appends nothing and returns false (a cut BPE would
// not keep).
bool encode_lines(LongPieces& store, const Vocab& v, const uint8_t* p, size_t len, IdVec& out) {
    const size_t start = out.size();
    for (size_t pos = 0; pos < len;) {
        const size_t end = pos + first_line_end(p + pos, len - pos);
        const size_t from = out.size();
        if (end - pos < LONG_PIECE_MIN) {
            encode_piece(v, p + pos, end - pos, out);
        } else {
            stored_piece_encode(store, v, p + pos, end - pos, out);
        }
        if (from != start && !is_valid_pair(v, out[from - 1], out[from])) {
            out.truncate(start);
            return false;
        }
        pos = end;
    }
    return true;
}

}  // namespace

void repeated_piece_encode(LongPieces& store, const Vocab& v, const uint8_t* p, size_t len,
                           IdVec& out) {
    // Consecutive lines can be one pre-token (whitespace-only lines, and
    // with o200k_base lines of slashes): each line repeats its unit, the
    // piece as a whole does not. Taken line by line, each line is a piece
    // like the others here; the cuts are checked like the chunks' seams.
    if (first_line_end(p, len) < len && encode_lines(store, v, p, len, out)) return;
    if (const size_t d = detail::piece_period(p, len)) {
        auto stored = [&store, &v](const uint8_t* q, size_t m, IdVec& o) {
            if (m <= STORED_PIECE_MAX) {
                long_piece_encode(store, v, q, m, o);
            } else {  // the rest of a piece whose repetition stopped
                encode_piece(v, q, m, o);
            }
        };
        const size_t c = detail::chunk_bytes(d, detail::CHUNK_MIN_STORED);
        static_assert(detail::first_stretch(2 * detail::CHUNK_MIN_STORED) <= STORED_PIECE_MAX);
        if (len < detail::first_stretch(c)) {
            stored(p, len, out);
            return;
        }
        if (detail::encode_chunks(v, p, len, c, out, stored)) return;
    }
    // (A piece of PERIODIC_MIN bytes or more gets a second chance there,
    // in chunks of another length.)
    encode_piece(v, p, len, out);
}

void stored_piece_encode(LongPieces& store, const Vocab& v, const uint8_t* p, size_t len,
                         IdVec& out) {
    if (len <= LONG_PIECE_MAX) {
        long_piece_encode(store, v, p, len, out);
    } else {
        repeated_piece_encode(store, v, p, len, out);
    }
}

}  // namespace zelkor
