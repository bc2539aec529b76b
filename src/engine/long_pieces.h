// Remembered ids of long pre-tokens, beside each pre-token cache table.
//
// Pre-tokens of more than 15 bytes are too long for the cache entries, but
// some of them repeat all the time: indentation and other whitespace runs,
// rules and table borders of plain-text documents ("-----", "+----+----+"),
// long words of languages with accents. Finding their ids again costs a trie
// walk of half their length and, for punctuation runs, often the
// backtracking search; looking them up costs a hash and a compare. Long CJK
// runs seldom repeat, but keeping them costs less than telling them apart.
//
// The store is a fixed area of slots and an append-only arena of piece bytes
// and ids. When the arena is full it starts over empty: no ageing, no
// eviction order, and a full store costs one clear.
#pragma once

#include <cstddef>
#include <cstdint>

#include "id_vec.h"
#include "vocab.h"

namespace zelkor {

inline constexpr size_t LONG_PIECE_MIN = 16;   // shorter pieces go to the cache table
inline constexpr size_t LONG_PIECE_MAX = 255;  // any piece up to this long is kept
// Longer pieces are kept only when they repeat a short unit, whole or in
// chunks (repeated_piece_encode), and only up to this length.
inline constexpr size_t STORED_PIECE_MAX = 1024;

struct LongPieceSlot {
    uint64_t hash;    // of the piece bytes, never 0; 0 means an empty slot
    uint32_t offset;  // of the record in the arena
    uint16_t len;     // piece bytes
    uint16_t n_ids;
};
static_assert(sizeof(LongPieceSlot) == 16);

struct LongPieces {
    static constexpr uint32_t SLOT_BITS = 11;
    static constexpr uint32_t SLOTS = 1u << SLOT_BITS;
    static constexpr uint32_t ARENA_BYTES = 224u << 10;

    LongPieceSlot slots[SLOTS];
    uint32_t used;  // arena bytes taken
    alignas(8) uint8_t arena[ARENA_BYTES];
};

// Bytes of the area that holds one LongPieces; zero-filled memory of this
// size is an empty store.
inline constexpr size_t LONG_PIECES_BYTES = sizeof(LongPieces);

// Appends the ids of the piece p[0..len), LONG_PIECE_MIN <= len <=
// STORED_PIECE_MAX: from the store when it is there, else encoded and kept.
// Any such piece will do; the pre-tokens sent here are those of up to
// LONG_PIECE_MAX bytes that do not start with a three-byte character.
void long_piece_encode(LongPieces& store, const Vocab& v, const uint8_t* p, size_t len,
                       IdVec& out);

// Appends the ids of the pre-token p[0..len), len > LONG_PIECE_MAX, that
// does not start with a three-byte character. A piece that repeats a short
// unit (a rule of 700 dashes, a run of tabs, "|---|---|") is taken in
// chunks whose ids the store keeps, so that its lines of any length cost a
// few lookups; a piece too short to cut is kept whole, and a piece of
// several lines is taken line by line. Any other piece is encoded afresh:
// long text that does not repeat seldom comes again.
void repeated_piece_encode(LongPieces& store, const Vocab& v, const uint8_t* p, size_t len,
                           IdVec& out);

// One of the two above, by the length of p[0..len), len >= LONG_PIECE_MIN.
void stored_piece_encode(LongPieces& store, const Vocab& v, const uint8_t* p, size_t len,
                         IdVec& out);

}  // namespace zelkor
