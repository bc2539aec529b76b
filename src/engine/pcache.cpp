#include "pcache.h"

#include "big_tables.h"

#include <pthread.h>
#include <sys/mman.h>

#include <exception>
#include <mutex>
#include <new>
#include <vector>

namespace zelkor {

namespace {

constexpr uint8_t mask_byte(int row, int col) { return col < row ? 0xFF : 0x00; }

}  // namespace

alignas(16) const uint8_t PACK_MASK[17][16] = {
#define ZELKOR_MASK_ROW(r)                                                                  \
    {mask_byte(r, 0),  mask_byte(r, 1),  mask_byte(r, 2),  mask_byte(r, 3),  mask_byte(r, 4), \
     mask_byte(r, 5),  mask_byte(r, 6),  mask_byte(r, 7),  mask_byte(r, 8),  mask_byte(r, 9), \
     mask_byte(r, 10), mask_byte(r, 11), mask_byte(r, 12), mask_byte(r, 13), mask_byte(r, 14), \
     mask_byte(r, 15)}
    ZELKOR_MASK_ROW(0),  ZELKOR_MASK_ROW(1),  ZELKOR_MASK_ROW(2),  ZELKOR_MASK_ROW(3),
    ZELKOR_MASK_ROW(4),  ZELKOR_MASK_ROW(5),  ZELKOR_MASK_ROW(6),  ZELKOR_MASK_ROW(7),
    ZELKOR_MASK_ROW(8),  ZELKOR_MASK_ROW(9),  ZELKOR_MASK_ROW(10), ZELKOR_MASK_ROW(11),
    ZELKOR_MASK_ROW(12), ZELKOR_MASK_ROW(13), ZELKOR_MASK_ROW(14), ZELKOR_MASK_ROW(15),
    ZELKOR_MASK_ROW(16),
#undef ZELKOR_MASK_ROW
};

std::atomic<uint64_t> LIVE_BYTES{0};

// ---- Cold probe and store ---------------------------------------------------

namespace {

// The ids part of an entry for n ids; false when they do not fit one.
bool make_entry(const TokenId* ids, size_t n, CacheEntry& e) {
    if (n == 0 || n > CACHE_MAX_IDS) return false;
    if (n <= CACHE_PLAIN_IDS) {
        e.meta = uint64_t(n) | (uint64_t(ids[0]) << 8) | (n > 1 ? uint64_t(ids[1]) << 32 : 0);
        e.ids23 = (n > 2 ? uint64_t(ids[2]) : 0) | (n > 3 ? uint64_t(ids[3]) << 32 : 0);
        return true;
    }
    e.meta = n;
    e.ids23 = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i < 3)
            e.meta |= uint64_t(ids[i]) << (8 + CACHE_PACKED_BITS * i);
        else
            e.ids23 |= uint64_t(ids[i]) << (CACHE_PACKED_BITS * (i - 3));
    }
    return true;
}

}  // namespace

void append_packed_entry(const CacheEntry& e, IdVec& out) {
    constexpr uint64_t MASK = (uint64_t(1) << CACHE_PACKED_BITS) - 1;
    const size_t n = e.meta & 0xFF;
    TokenId ids[CACHE_MAX_IDS];
    for (size_t i = 0; i < n; ++i)
        ids[i] = TokenId(i < 3 ? (e.meta >> (8 + CACHE_PACKED_BITS * i)) & MASK
                               : (e.ids23 >> (CACHE_PACKED_BITS * (i - 3))) & MASK);
    out.append(ids, n);
}

// A new entry takes the first empty slot of its six, so while its home
// pair has an empty slot nothing of that home lies beyond it (slots are
// emptied only all at once) and a miss there is certain without reading the
// other two lines.
//
// An entry found beyond its home pair trades places with the first of the
// pair (and a hit on the second moves it first, see home_hit): where
// earlier text filled the home pairs, the pre-tokens now in use would
// otherwise be found beyond them ever after, each with a call and two more
// lines read (prose after 512 KiB of random words ran at half its speed).
// The entry that makes way may belong to an earlier pair, placed there
// beyond its own; moved on, it may leave its six and is then simply not
// found again, as an entry replaced would not be.
//
// Text whose pre-tokens never repeat (random words, hashes) fills every
// slot with pre-tokens that are never asked for again. The ones in use then
// make way for each other, every miss reads three lines, and prose that
// follows runs at half its speed for as long as the process lives. Once new
// entries have replaced a quarter of the table's worth, it is emptied and
// fills again with what the text now uses.
void probe_cold(PretokenCache& c, const Vocab& v, const uint8_t* piece, size_t len, IdVec& out,
                uint64_t hash, PieceKey key) {
    const uint64_t mask = c.capacity - 1;
    const uint64_t f = (hash >> c.shift) & ~uint64_t(1);
    const uint64_t slots[6] = {f, f + 1, (f + 2) & mask, ((f + 2) & mask) + 1, (f + 4) & mask,
                               ((f + 4) & mask) + 1};
    CacheEntry* const t = c.table;
    if (t[f].k1 != 0 && t[f + 1].k1 != 0) {
        for (int i = 2; i < 6; ++i) {
            CacheEntry& e = t[slots[i]];
            if (e.k0 == key.k0 && e.k1 == key.k1) {
                append_entry(e, out);
                std::swap(e, t[f]);
                return;
            }
        }
    }

    const size_t start = out.size();
    encode_piece(v, piece, len, out);
    CacheEntry fresh;
    if (!make_entry(out.data() + start, out.size() - start, fresh)) return;
    fresh.k0 = key.k0;
    fresh.k1 = key.k1;

    for (uint64_t s : slots) {
        if (t[s].k1 == 0) {
            t[s] = fresh;
            return;
        }
    }
    // All six taken: the even home slot gives way.
    if (++c.evictions >= c.capacity / 4) {
        std::memset(static_cast<void*>(t), 0, c.capacity * sizeof(CacheEntry));
        c.evictions = 0;
    }
    t[f] = fresh;
}

// ---- Tables, POOL and the budget ----------------------------------------------

namespace {

// Tables come straight from the kernel, already zero. Probes land anywhere
// in the table, so with 4 KiB pages nearly every probe of a large table
// would also miss the TLB; the table is aligned to 2 MiB and advised for
// huge pages, which the kernel uses where it can. The store of long pieces
// follows the table in the same mapping; its pages are touched only when a
// long piece comes along.
uint64_t mapping_bytes(uint64_t table_bytes) { return table_bytes + LONG_PIECES_BYTES; }

CacheEntry* alloc_table(uint64_t bytes) {
    constexpr uint64_t HUGE_PAGE = uint64_t(1) << 21;
    const uint64_t mapped = mapping_bytes(bytes);
    const uint64_t span = mapped + HUGE_PAGE;
    void* p = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    const uintptr_t raw = reinterpret_cast<uintptr_t>(p);
    const uintptr_t start = (raw + HUGE_PAGE - 1) & ~uintptr_t(HUGE_PAGE - 1);
    if (start > raw) munmap(p, start - raw);
    const uintptr_t tail = raw + span - (start + mapped);
    if (tail > 0) munmap(reinterpret_cast<void*>(start + mapped), tail);
    advise_huge_pages(reinterpret_cast<void*>(start), bytes);
    return reinterpret_cast<CacheEntry*>(start);
}

void free_table(PretokenCache& r) {
    if (!r.table) return;
    munmap(r.table, mapping_bytes(r.capacity * sizeof(CacheEntry)));
    LIVE_BYTES.fetch_sub(r.capacity * sizeof(CacheEntry));
    r.table = nullptr;
    r.capacity = 0;
    r.shift = 64;
    r.longs = nullptr;
}

struct Holder;

// Every thread's holder is on one list, so that a forked child, which has
// only the thread that forked, can free the tables of all the others.
struct Pool {
    std::mutex mutex;
    bool poisoned = false;
    std::vector<PretokenCache> records;
    Holder* holders = nullptr;
};

void before_fork();
void after_fork_parent();
void after_fork_child();

Pool& pool() {
    // Never destroyed: threads may still return tables while the process
    // shuts down.
    static Pool* p = [] {
        Pool* created = new Pool;
        pthread_atfork(before_fork, after_fork_parent, after_fork_child);
        return created;
    }();
    return *p;
}

// Made while the module loads, before any thread of ours can be half way
// through making it: a fork meanwhile would leave the child's first cache
// waiting forever for the guarded static above.
[[maybe_unused]] Pool& pool_at_load = pool();

// A section holding the pool lock. If an exception leaves it, the list may
// be half-updated, so the pool is given up for good. Every change of a
// holder's tables happens inside one, so a fork (which waits for the lock)
// never finds a table on its way between a holder and the pool.
class PoolSection {
public:
    PoolSection() : pool_(pool()), lock_(pool_.mutex), exceptions_(std::uncaught_exceptions()) {}
    ~PoolSection() {
        if (std::uncaught_exceptions() > exceptions_) pool_.poisoned = true;
    }
    bool poisoned() const { return pool_.poisoned; }
    std::vector<PretokenCache>& records() { return pool_.records; }
    Holder*& holders() { return pool_.holders; }

private:
    Pool& pool_;
    std::lock_guard<std::mutex> lock_;
    int exceptions_;
};

// Puts an idle record in POOL; where it cannot be kept its table is freed.
void stash(PoolSection& s, PretokenCache r) {
    if (!r.table) return;  // a disabled record is simply dropped
    if (!s.poisoned()) {
        try {
            s.records().push_back(r);
            return;
        } catch (const std::bad_alloc&) {
        }
    }
    free_table(r);
}

struct Holder {
    PretokenCache recs[2];
    uint32_t count = 0;
    bool borrowed = false;
    Holder* prev = nullptr;
    Holder* next = nullptr;
    Holder();
    ~Holder();
};

// Set once the holder of this thread is gone; trivially destructible, so it
// stays readable to destructors that run after it.
thread_local bool holder_gone = false;
thread_local Holder* this_holder = nullptr;

Holder& holder() {
    thread_local Holder h;
    return h;
}

Holder::Holder() {
    PoolSection s;
    next = s.holders();
    if (next) next->prev = this;
    s.holders() = this;
    this_holder = this;
}

void unlink(Holder*& first, Holder& h) {
    if (h.prev) h.prev->next = h.next;
    else first = h.next;
    if (h.next) h.next->prev = h.prev;
    h.prev = h.next = nullptr;
}

Holder::~Holder() {
    holder_gone = true;
    this_holder = nullptr;
    PoolSection s;
    for (uint32_t i = 0; i < count; ++i) stash(s, recs[i]);
    count = 0;
    unlink(s.holders(), *this);
}

void before_fork() { pool().mutex.lock(); }

void after_fork_parent() { pool().mutex.unlock(); }

// The only thread of the child is the one that forked. The tables of the
// others are freed, and the budget counts what is left: the pool's and
// this thread's.
void after_fork_child() {
    Pool& p = pool();
    Holder* h = p.holders;
    while (h) {
        Holder* next = h->next;
        if (h != this_holder) {
            for (uint32_t i = 0; i < h->count; ++i) free_table(h->recs[i]);
            h->count = 0;
            h->borrowed = false;
            unlink(p.holders, *h);
        }
        h = next;
    }
    uint64_t live = 0;
    for (const PretokenCache& r : p.records) live += r.capacity * sizeof(CacheEntry);
    if (this_holder)
        for (uint32_t i = 0; i < this_holder->count; ++i)
            live += this_holder->recs[i].capacity * sizeof(CacheEntry);
    LIVE_BYTES.store(live);
    p.mutex.unlock();
}

PretokenCache take_from_pool(PoolSection& s, uint64_t owner, bool& found) {
    found = false;
    if (s.poisoned()) return PretokenCache{};
    auto& recs = s.records();
    for (size_t i = 0; i < recs.size(); ++i) {
        if (recs[i].owner == owner) {
            PretokenCache r = recs[i];
            recs[i] = recs.back();
            recs.pop_back();
            found = true;
            return r;
        }
    }
    // Nothing to reuse: make room by dropping idle tables while the budget
    // is spent.
    while (LIVE_BYTES.load() >= CACHE_BUDGET && !recs.empty()) {
        PretokenCache r = recs.back();
        recs.pop_back();
        free_table(r);
    }
    return PretokenCache{};
}

PretokenCache new_record(uint64_t owner, uint32_t workers) {
    PretokenCache r;
    r.owner = owner;
    uint64_t live = LIVE_BYTES.load();
    uint64_t bytes;
    for (;;) {
        bytes = cache_table_bytes(workers, live >= CACHE_BUDGET ? 0 : CACHE_BUDGET - live);
        if (bytes == 0) return r;
        if (LIVE_BYTES.compare_exchange_weak(live, live + bytes)) break;
    }
    r.table = alloc_table(bytes);
    if (!r.table) {
        // Encoding without a cache gives the same ids.
        LIVE_BYTES.fetch_sub(bytes);
        return r;
    }
    r.capacity = bytes / sizeof(CacheEntry);
    r.shift = uint32_t(64 - __builtin_ctzll(r.capacity));
    r.longs = reinterpret_cast<LongPieces*>(r.table + r.capacity);
    return r;
}

}  // namespace

uint64_t cache_table_bytes(uint32_t workers, uint64_t room) {
    constexpr uint64_t MiB = 1u << 20;
    // Small enough that the tables of two busy cores and the hot parts of
    // the vocabulary stay in a shared last-level cache of 16 MiB: measured,
    // two workers with 16 MiB tables ran 25-30% slower each than one alone,
    // with 2-4 MiB tables at the speed of one. A few thousand distinct
    // pre-tokens make up most of any text, so hit rates barely move.
    uint64_t largest = workers <= 2 ? 4 * MiB : workers <= 4 ? 2 * MiB : MiB;
    for (uint64_t size = largest; size >= MiB; size /= 2)
        if (size <= room) return size;
    return 0;
}

CacheLease::CacheLease(uint64_t owner, uint32_t workers) : rec_(&disabled_) {
    disabled_.owner = owner;
    if (holder_gone) return;
    Holder& h = holder();
    if (h.borrowed) return;
    h.borrowed = true;
    borrowed_ = true;

    for (uint32_t i = 0; i < h.count; ++i) {
        if (h.recs[i].owner == owner) {
            rec_ = &h.recs[i];
            return;
        }
    }
    try {
        PoolSection s;
        if (h.count == 2) {
            const PretokenCache oldest = h.recs[0];
            h.recs[0] = h.recs[1];
            h.count = 1;
            stash(s, oldest);
        }
        bool found;
        PretokenCache r = take_from_pool(s, owner, found);
        if (!found) r = new_record(owner, workers);
        h.recs[h.count] = r;
        rec_ = &h.recs[h.count];
        ++h.count;
    } catch (...) {
        // Only the pool lock can fail here; run without a cache.
    }
}

CacheLease::~CacheLease() {
    if (borrowed_) holder().borrowed = false;
}

void park_thread_caches(uint64_t owner, uint32_t workers) {
    if (holder_gone) return;
    Holder& h = holder();
    if (h.borrowed) return;
    const uint64_t share = cache_table_bytes(workers, CACHE_BUDGET);
    uint32_t kept = 0;
    PoolSection s;
    for (uint32_t i = 0; i < h.count; ++i) {
        if (h.recs[i].capacity * sizeof(CacheEntry) > share)
            free_table(h.recs[i]);
        else if (h.recs[i].owner == owner && h.recs[i].table)
            h.recs[kept++] = h.recs[i];  // warm in this core's caches: keep using it
        else
            stash(s, h.recs[i]);
    }
    h.count = kept;
}

namespace pcache_testing {

uint64_t live_bytes() { return LIVE_BYTES.load(); }

size_t pool_size() {
    PoolSection s;
    return s.records().size();
}

const PretokenCache* held(uint64_t owner) {
    Holder& h = holder();
    for (uint32_t i = 0; i < h.count; ++i)
        if (h.recs[i].owner == owner) return &h.recs[i];
    return nullptr;
}

size_t held_count() { return holder().count; }

void release_thread_caches() {
    Holder& h = holder();
    PoolSection s;
    for (uint32_t i = 0; i < h.count; ++i) stash(s, h.recs[i]);
    h.count = 0;
}

void with_pool_locked(void (*f)(void*), void* ctx) {
    PoolSection s;
    f(ctx);
}

void free_pool() {
    PoolSection s;
    for (PretokenCache& r : s.records()) free_table(r);
    s.records().clear();
}

}  // namespace pcache_testing

}  // namespace zelkor
