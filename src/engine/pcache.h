// Per-thread cache of short pre-tokens and their ids.
//
// A pre-token of 1 to 15 bytes that encodes to at most 6 ids is remembered in
// a 32-byte entry of a fixed-size table. Each thread keeps the tables of the
// last two tokenizers it used; idle tables wait in POOL, and LIVE_BYTES keeps
// all tables together within a 32 MiB budget.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "id_vec.h"
#include "long_pieces.h"
#include "vocab.h"

// The 16-byte key load may read bytes past the pre-token (never past its
// memory page). Memory checkers cannot know that this is harmless, so their
// builds take the copying path everywhere.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZELKOR_COPY_KEYS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define ZELKOR_COPY_KEYS 1
#endif
#endif
#if !defined(ZELKOR_COPY_KEYS) && !defined(__SSE2__)
#define ZELKOR_COPY_KEYS 1
#endif

namespace zelkor {

// All zero means empty. A stored key always has its length in the top byte
// of k1, so it can never look empty.
//
// Up to four ids (nearly every pre-token of ordinary text) sit where they are
// copied out in two moves; five or six (a long word of random letters, say)
// are packed at 18 bits each, which any id of a vocabulary fits.
struct alignas(32) CacheEntry {
    uint64_t k0;     // bytes 0..7, little-endian, zero past the length
    uint64_t k1;     // bytes 8..14 in the low 7 bytes, the length in the top byte
    uint64_t meta;   // n in bits 0..7; n <= 4: first id in bits 8..31, second in 32..63
    uint64_t ids23;  // n <= 4: third id in bits 0..31, fourth in 32..63
    // n > 4: ids 0-2 at bits 8, 26, 44 of meta; ids 3-5 at bits 0, 18, 36 of ids23
};
static_assert(sizeof(CacheEntry) == 32);

// One thread's table for one tokenizer. shift 64 means disabled: no table,
// nothing is looked up or stored.
struct PretokenCache {
    CacheEntry* table = nullptr;
    uint64_t capacity = 0;  // entries, a power of two
    uint64_t owner = 0;     // Tokenizer::id whose ids the table holds
    uint32_t shift = 64;    // 64 - log2(capacity)
    // The store of long pre-tokens, in the same mapping right after the
    // table (outside the byte budget, which counts tables); null when none.
    LongPieces* longs = nullptr;
    // Entries a new one replaced since the table was last emptied.
    uint64_t evictions = 0;

    bool enabled() const { return shift < 64; }
};

inline constexpr uint64_t CACHE_BUDGET = 0x2000000;  // 32 MiB for all tables together
inline constexpr size_t CACHE_MAX_PIECE = 15;        // longest pre-token that is cached
inline constexpr uint32_t CACHE_MAX_IDS = 6;         // most ids an entry holds
inline constexpr uint32_t CACHE_PLAIN_IDS = 4;       // most ids an entry holds unpacked
inline constexpr uint32_t CACHE_PACKED_BITS = 18;    // an id's bits in a packed entry
static_assert(MAX_TOKENS <= (uint32_t(1) << CACHE_PACKED_BITS), "every id fits a packed entry");

// PACK_MASK[n]: the first n bytes 0xFF, the rest 0x00.
alignas(16) extern const uint8_t PACK_MASK[17][16];

extern std::atomic<uint64_t> LIVE_BYTES;

struct PieceKey {
    uint64_t k0;
    uint64_t k1;
};

// Key of a pre-token of 1..15 bytes.
inline PieceKey piece_key(const uint8_t* p, size_t len) {
    uint8_t buf[16];
#if !defined(ZELKOR_COPY_KEYS)
    // Safe: the 16 bytes from p stay inside p's 4096-byte page unless p is
    // in the last 15 bytes of it, and that case copies instead. Memory is
    // mapped page by page, so the load cannot fault; the bytes past the
    // pre-token are masked off before anything looks at them.
    if ((reinterpret_cast<uintptr_t>(p) & 4095) <= 4080) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        v = _mm_and_si128(v, _mm_load_si128(reinterpret_cast<const __m128i*>(PACK_MASK[len])));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(buf), v);
    } else
#endif
    {
        std::memset(buf, 0, sizeof buf);
        std::memcpy(buf, p, len);
    }
    PieceKey k;
    std::memcpy(&k.k0, buf, 8);
    std::memcpy(&k.k1, buf + 8, 8);
    k.k1 |= uint64_t(len) << 56;
    return k;
}

inline uint64_t piece_hash(PieceKey k) {
    return (k.k0 * 0x9E3779B97F4A7C15ull) ^ (k.k1 * 0xC2B2AE3D27D4EB4Full);
}

// Appends the ids of an entry of five or six.
void append_packed_entry(const CacheEntry& e, IdVec& out);

// Appends the n ids of an entry. With room for four more ids all four id
// slots are written in one go and the length advances by n only.
inline void append_entry(const CacheEntry& e, IdVec& out) {
    const size_t n = e.meta & 0xFF;
    if (n > CACHE_PLAIN_IDS) [[unlikely]] {
        append_packed_entry(e, out);
        return;
    }
    const size_t len = out.size();
    const uint64_t ids01 = ((e.meta >> 8) & 0xFFFFFF) | (e.meta & 0xFFFFFFFF00000000ull);
    if (out.capacity() - len >= CACHE_PLAIN_IDS) {
        TokenId* dst = out.data() + len;
        std::memcpy(dst, &ids01, 8);
        std::memcpy(dst + 2, &e.ids23, 8);
        out.set_size(len + n);
        return;
    }
    const TokenId ids[4] = {TokenId(ids01), TokenId(ids01 >> 32), TokenId(e.ids23),
                            TokenId(e.ids23 >> 32)};
    out.append(ids, n);
}

// Looks past the home pair and, on a real miss, encodes and stores.
void probe_cold(PretokenCache& c, const Vocab& v, const uint8_t* piece, size_t len, IdVec& out,
                uint64_t hash, PieceKey key);

// Looks the pre-token up in its home pair: on a hit, hands the entry to
// `use` and returns true. A hit on the second entry of the pair then moves
// it first: the processor guesses that a lookup ends at the first, and
// where text has filled the pairs with pre-tokens it no longer uses, the
// ones in use would otherwise sit second as often as first, and half the
// guesses would fail. (The entry is used before it moves: read back from
// where it was just written, it came measurably later.)
template <class Use>
[[gnu::always_inline]] inline bool home_hit(PretokenCache& c, PieceKey key, uint64_t hash,
                                            Use&& use) {
    CacheEntry* pair = c.table + ((hash >> c.shift) & ~uint64_t(1));
    if (pair[0].k0 == key.k0 && pair[0].k1 == key.k1) {
        use(pair[0]);
        return true;
    }
    if (pair[1].k0 == key.k0 && pair[1].k1 == key.k1) {
        use(pair[1]);
        std::swap(pair[0], pair[1]);
        return true;
    }
    return false;
}

// Appends the ids of a pre-token of 1..15 bytes through an enabled cache.
inline void cache_encode(PretokenCache& c, const Vocab& v, const uint8_t* piece, size_t len,
                         IdVec& out) {
    const PieceKey key = piece_key(piece, len);
    const uint64_t hash = piece_hash(key);
    if (home_hit(c, key, hash, [&out](const CacheEntry& e) { append_entry(e, out); })) return;
    probe_cold(c, v, piece, len, out, hash, key);
}

// The number of ids of a pre-token of 1..15 bytes, through an enabled cache,
// for counting: a hit is answered from the entry without writing ids; a miss
// appends the ids to `out` (where the caller counts them) and returns 0.
inline size_t cache_count(PretokenCache& c, const Vocab& v, const uint8_t* piece, size_t len,
                          IdVec& out) {
    const PieceKey key = piece_key(piece, len);
    const uint64_t hash = piece_hash(key);
    size_t n = 0;
    if (home_hit(c, key, hash, [&n](const CacheEntry& e) { n = e.meta & 0xFF; })) return n;
    probe_cold(c, v, piece, len, out, hash, key);
    return 0;
}

// The calling thread's record for one tokenizer, held for the duration of
// one encode. A nested encode on the same thread gets a disabled record.
class CacheLease {
public:
    CacheLease(uint64_t owner, uint32_t workers);
    ~CacheLease();
    CacheLease(const CacheLease&) = delete;
    CacheLease& operator=(const CacheLease&) = delete;

    PretokenCache& cache() { return *rec_; }

private:
    PretokenCache* rec_;
    PretokenCache disabled_;
    bool borrowed_ = false;
};

// Table bytes for a new cache of a thread that runs with `workers` others
// when `room` bytes of the budget are free; 0 if not even 1 MiB fits.
uint64_t cache_table_bytes(uint32_t workers, uint64_t room);

// Called by a thread that is about to start a batch of `workers` workers
// (itself one of them) for tokenizer `owner`. Tables larger than a worker's
// share are freed, so that one worker cannot take the share of two; the
// thread keeps its table for `owner` and moves the others to POOL, where the
// workers can reuse or trim them.
void park_thread_caches(uint64_t owner, uint32_t workers);

// What the tests observe.
namespace pcache_testing {
uint64_t live_bytes();
size_t pool_size();
// The record of this thread's holder for `owner`, or null.
const PretokenCache* held(uint64_t owner);
size_t held_count();
// Returns this thread's records to POOL, as thread exit does.
void release_thread_caches();
// Frees every table in POOL.
void free_pool();
// Runs f(ctx) with the pool lock held, as any pool section holds it.
void with_pool_locked(void (*f)(void*), void* ctx);
}  // namespace pcache_testing

}  // namespace zelkor
