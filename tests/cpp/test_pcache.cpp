// Pre-token cache: keys, slots and replacement, the hit path's stores, the
// per-thread holder, POOL and the byte budget.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "batch_skeleton.h"
#include "bpe_reference.h"
#include "encode_loop.h"
#include "route_piece.h"
#include "tokenizer.h"

using namespace zelkor;
using Ids = std::vector<TokenId>;

namespace {

const Tokenizer& tok(int k) {  // 0 cl100k_base, 1 o200k_base, 2 o200k_harmony
    static std::unique_ptr<Tokenizer> t[3] = {std::move(*Tokenizer::create(BUILTIN_NAMES[0], "")),
                                              std::move(*Tokenizer::create(BUILTIN_NAMES[1], "")),
                                              std::move(*Tokenizer::create(BUILTIN_NAMES[2], ""))};
    return *t[k];
}
const uint8_t* u8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
Ids ids_of(const IdVec& v) { return {v.begin(), v.end()}; }

Ids uncached(const Tokenizer& t, const std::string& s) {
    PretokenCache off;
    IdVec v;
    (t.is_o200k ? encode_core_o200k : encode_core_cl100k)(t, u8(s), s.size(), v, off);
    return ids_of(v);
}
Ids with_workers(const Tokenizer& t, const std::string& s, uint32_t workers) {
    IdVec v;
    encode_into_workers(t, u8(s), s.size(), v, workers);
    return ids_of(v);
}

// One piece straight through the byte-pair encoder.
Ids piece_ids(const std::string& p) {
    const Vocab& v = *tok(0).vocab;
    IdVec out;
    encode_piece(v, u8(p), p.size(), out);
    return ids_of(out);
}

// A private table of 2^15 entries, outside the budget.
struct TestTable {
    PretokenCache rec{static_cast<CacheEntry*>(std::aligned_alloc(32, 32u << 15)), 1u << 15, 0, 49};
    TestTable() { std::memset(rec.table, 0, 32u << 15); }
    ~TestTable() { std::free(rec.table); }
    size_t used() const {
        size_t n = 0;
        for (uint64_t i = 0; i < rec.capacity; ++i) n += rec.table[i].k1 != 0;
        return n;
    }
    const CacheEntry* find(const std::string& p) const {
        const PieceKey k = piece_key(u8(p), p.size());
        for (uint64_t i = 0; i < rec.capacity; ++i)
            if (rec.table[i].k0 == k.k0 && rec.table[i].k1 == k.k1) return &rec.table[i];
        return nullptr;
    }
    Ids route(const std::string& p) {
        IdVec out;
        route_piece(u8(p), p.size(), *tok(0).vocab, out, rec);
        return ids_of(out);
    }
};

void on_fresh_thread(const std::function<void()>& f) { std::thread(f).join(); }

// Leaves no table alive (no other thread holds one between tests).
void drain() {
    pcache_testing::release_thread_caches();
    pcache_testing::free_pool();
    ASSERT_EQ(pcache_testing::live_bytes(), 0u);
}

}  // namespace

TEST(PieceKey, BytesAndLengthOnlyWhereverThePieceLies) {
    const PieceKey one = piece_key(u8("a"), 1);
    EXPECT_EQ(one.k0, uint64_t('a'));
    EXPECT_EQ(one.k1, uint64_t(1) << 56);

    // Junk after the piece and the last bytes of a page give the same key.
    auto* page = static_cast<uint8_t*>(std::aligned_alloc(4096, 8192));
    std::memset(page, 0xEE, 8192);
    const std::string piece = "hello, world!!!";
    const PieceKey want = piece_key(u8(piece), piece.size());
    EXPECT_EQ(want.k1 >> 56, 15u);
    for (size_t off : {100, 4080, 4081, 4090, 4095}) {
        std::memcpy(page + off, piece.data(), piece.size());
        const PieceKey k = piece_key(page + off, piece.size());
        EXPECT_TRUE(k.k0 == want.k0 && k.k1 == want.k1) << off;
        std::memset(page + off, 0xEE, piece.size());
    }
    std::free(page);
}

TEST(Routing, OnlyShortPiecesOfFewIdsAreStored) {
    TestTable t;
    // 1 to 15 bytes: stored; 16 bytes, seven or more ids or a leading
    // 3-byte character: not.
    const std::string stored[] = {" international!", "x\xE4\xBD", "abc", "x", " a", "\xE4\xBD",
                                  "\xFF\xFE", "qzxjvkwq"};
    const std::string bypass[] = {" international!!", "qzxjvkwqz", "qzxjvkwqzxjvkwq",
                                  "\xE4\xBD\xA0\xE5\xA5\xBD"};
    for (const auto& p : bypass) EXPECT_EQ(t.route(p), piece_ids(p)) << p;
    EXPECT_EQ(t.used(), 0u);
    for (const auto& p : stored) {
        EXPECT_EQ(t.route(p), piece_ids(p)) << p;
        EXPECT_NE(t.find(p), nullptr) << p;
    }
    EXPECT_EQ(t.used(), 8u);
}

TEST(Routing, SevenKeysOnOneHomePair) {
    TestTable t;
    auto home = [&](const std::string& p) {
        return (piece_hash(piece_key(u8(p), p.size())) >> t.rec.shift) & ~uint64_t(1);
    };
    std::map<uint64_t, std::vector<std::string>> by_home;
    std::vector<std::string> seven;
    for (int i = 0; seven.empty(); ++i) {
        const std::string w = {char('a' + i / 17576), char('a' + i / 676 % 26), char('a' + i / 26 % 26),
                               char('a' + i % 26)};
        auto& v = by_home[home(w)];
        v.push_back(w);
        if (v.size() == 7) seven = v;
    }
    const uint64_t f = home(seven[0]), m = t.rec.capacity - 1;
    const uint64_t slot[6] = {f, f + 1, (f + 2) & m, ((f + 2) & m) + 1, (f + 4) & m, ((f + 4) & m) + 1};
    for (const auto& p : seven) EXPECT_EQ(t.route(p), piece_ids(p));
    // Six slots in order, then the seventh replaces the even home slot.
    EXPECT_EQ(t.find(seven[6]), &t.rec.table[slot[0]]);
    for (int i = 1; i < 6; ++i) EXPECT_EQ(t.find(seven[size_t(i)]), &t.rec.table[slot[i]]);
    EXPECT_EQ(t.find(seven[0]), nullptr);

    // The other five are served from their slots, as a doctored entry
    // shows; one found beyond the home pair trades places with the first of
    // it, and one found second in the pair moves first.
    t.rec.table[slot[4]].meta = (uint64_t(4242) << 8) | 1;
    EXPECT_EQ(t.route(seven[4]), Ids{4242});
    EXPECT_EQ(t.find(seven[4]), &t.rec.table[slot[0]]);
    EXPECT_EQ(t.find(seven[6]), &t.rec.table[slot[4]]);
    EXPECT_EQ(t.route(seven[6]), piece_ids(seven[6]));
    EXPECT_EQ(t.find(seven[6]), &t.rec.table[slot[0]]);
    EXPECT_EQ(t.find(seven[4]), &t.rec.table[slot[4]]);
    EXPECT_EQ(t.route(seven[1]), piece_ids(seven[1]));
    EXPECT_EQ(t.find(seven[1]), &t.rec.table[slot[0]]);
    EXPECT_EQ(t.find(seven[6]), &t.rec.table[slot[1]]);
    IdVec none;
    EXPECT_EQ(cache_count(t.rec, *tok(0).vocab, u8(seven[6]), seven[6].size(), none),
              piece_ids(seven[6]).size());
    EXPECT_EQ(t.find(seven[6]), &t.rec.table[slot[0]]);
    EXPECT_EQ(t.route(seven[4]), Ids{4242});  // still served, from beyond
    EXPECT_EQ(t.route(seven[0]), piece_ids(seven[0]));
    EXPECT_EQ(t.find(seven[0]), &t.rec.table[slot[0]]);
}

TEST(Routing, ATableFullOfPiecesNeverAskedForAgainIsEmptied) {
    TestTable t;
    // Every slot taken by entries no piece of four bytes can match.
    for (uint64_t i = 0; i < t.rec.capacity; ++i)
        t.rec.table[i] = CacheEntry{i + 1, uint64_t(15) << 56, 1, 0};
    auto word = [](uint32_t i) {
        return std::string{char('a' + i / 17576 % 26), char('a' + i / 676 % 26),
                           char('a' + i / 26 % 26), char('a' + i % 26)};
    };
    // Each new piece replaces one of them; a quarter of the table's worth
    // of replacements, and it starts afresh.
    const uint32_t quarter = uint32_t(t.rec.capacity / 4);
    for (uint32_t i = 0; i + 1 < quarter; ++i) {
        const std::string w = word(i);
        ASSERT_EQ(t.route(w), piece_ids(w)) << w;
    }
    EXPECT_EQ(t.used(), t.rec.capacity);
    EXPECT_NE(t.find(word(quarter - 2)), nullptr);
    const std::string last = word(quarter - 1);
    EXPECT_EQ(t.route(last), piece_ids(last));
    EXPECT_EQ(t.used(), 1u);
    EXPECT_NE(t.find(last), nullptr);
    // And fills again with what comes next, served from its entries.
    for (uint32_t i = 0; i < 100; ++i) t.route(word(i));
    EXPECT_EQ(t.used(), 101u);
    const std::string w = word(7);
    const_cast<CacheEntry*>(t.find(w))->meta = (uint64_t(4242) << 8) | 1;
    EXPECT_EQ(t.route(w), Ids{4242});
}

TEST(Routing, HitsAppendExactlyTheirIdsWhateverTheFreeRoom) {
    TestTable t;
    // 1 to 6 ids: the plain entries and the packed ones.
    for (const std::string p : {" the", "qzx", "qzxj", "qzxjv", "qzxjvkw", "qzxjvkwq"}) {
        const Ids want = piece_ids(p);
        ASSERT_LE(want.size(), 6u) << p;
        t.route(p);
        for (size_t free_slots = 0; free_slots <= 5; ++free_slots) {
            IdVec out(3 + free_slots);  // exact capacity
            for (TokenId x : {7u, 8u, 9u}) out.push_back(x);
            route_piece(u8(p), p.size(), *tok(0).vocab, out, t.rec);
            Ids expect = {7, 8, 9};
            expect.insert(expect.end(), want.begin(), want.end());
            EXPECT_EQ(ids_of(out), expect) << p << " free " << free_slots;
        }
    }
}

TEST(Routing, PackedEntriesKeepEveryBitOfTheirIds) {
    // Ids of 2^17 and more, first, last and between, as the larger
    // vocabularies have them.
    const Tokenizer& o200k = tok(1);
    const Vocab& v = *o200k.vocab;
    TestTable t;
    for (const std::string p : {" msnmktsxwxcp", " txamzxqzeqy", " ezomtkvjprcq", " nqmtodzgbm"}) {
        IdVec direct;
        encode_piece(v, u8(p), p.size(), direct);
        const Ids want = ids_of(direct);
        ASSERT_TRUE(want.size() == 5 || want.size() == 6) << p;
        ASSERT_GE(*std::max_element(want.begin(), want.end()), 1u << 17) << p;
        for (int pass = 0; pass < 2; ++pass) {  // stored, then served from the entry
            IdVec out;
            route_piece(u8(p), p.size(), v, out, t.rec);
            EXPECT_EQ(ids_of(out), want) << p << " pass " << pass;
            ASSERT_NE(t.find(p), nullptr) << p;
        }
        IdVec none;
        EXPECT_EQ(cache_count(t.rec, v, u8(p), p.size(), none), want.size()) << p;
        EXPECT_TRUE(none.empty());
    }
}

TEST(Routing, EveryPieceOfOneOrTwoBytes) {
    // All of them, checked against the textbook merge loop, through encode
    // and count alike: stored in the cache, answered by it, and by the
    // direct lookup that serves them without a cache.
    for (int k : {0, 1}) {
        TestTable t;
        PretokenCache off;
        const Vocab& v = *tok(k).vocab;
        for (int a = 0; a < 256; ++a) {
            for (int b = -1; b < 256; ++b) {
                std::string p(1, char(a));
                if (b >= 0) p += char(b);
                const Ids want = zelkor_test::bpe_reference(v, u8(p), p.size());
                for (PretokenCache* rec : {&t.rec, &t.rec, &off}) {
                    IdVec out;
                    route_piece(u8(p), p.size(), v, out, *rec);
                    ASSERT_EQ(ids_of(out), want) << a << " " << b;
                    IdVec rest;
                    ASSERT_EQ(count_piece(u8(p), p.size(), v, rest, *rec) + rest.size(), want.size());
                }
            }
        }
        EXPECT_GT(t.used(), 0u);
    }
}

TEST(Routing, CachedAndUncachedIdsAgree) {
    for (const char* file : {"prose-en.txt", "code-python.txt", "prose-multilingual.txt"}) {
        std::ifstream f(std::string(ZELKOR_SOURCE_DIR) + "/../shared/corpus/" + file);
        std::string text(150000, '\0');
        if (!f.read(text.data(), std::streamsize(text.size()))) GTEST_SKIP() << "no corpus";
        for (int k : {0, 1}) {
            const Ids want = uncached(tok(k), text);
            // The second pass is served almost entirely from the cache.
            EXPECT_EQ(with_workers(tok(k), text, 1), want) << file;
            EXPECT_EQ(with_workers(tok(k), text, 1), want) << file;
        }
    }
}

TEST(Holder, ThreeTokenizersAlternatingNeverMixIds) {
    drain();
    const std::string text = "Hello world, the quick brown fox jumps over the lazy dog. 12345";
    Ids want[3];
    for (int k = 0; k < 3; ++k) want[k] = uncached(tok(k), text);
    ASSERT_NE(want[0], want[1]);
    // 2 MiB tables (3 workers), so all three fit the budget and none is trimmed.
    on_fresh_thread([&] {
        for (int round = 0; round < 4; ++round)
            for (int k = 0; k < 3; ++k) {
                EXPECT_EQ(with_workers(tok(k), text, 3), want[k]);
                EXPECT_EQ(pcache_testing::held_count(), std::min(2, 1 + round * 3 + k));
            }
        EXPECT_EQ(pcache_testing::pool_size(), 1u);
    });
    EXPECT_EQ(pcache_testing::pool_size(), 3u);  // thread exit pooled the two others
    const uint64_t live = pcache_testing::live_bytes();
    on_fresh_thread([&] {
        EXPECT_EQ(with_workers(tok(0), text, 3), want[0]);
        EXPECT_EQ(pcache_testing::pool_size(), 2u);  // reused, not made anew
    });
    EXPECT_EQ(pcache_testing::live_bytes(), live);
}

TEST(Holder, NestedEncodeRunsWithoutACache) {
    drain();
    const std::string text = "nested call on the same thread";
    const Ids want = uncached(tok(1), text);
    {
        CacheLease outer(tok(0).id, 1);
        EXPECT_EQ(with_workers(tok(1), text, 1), want);
        EXPECT_EQ(pcache_testing::held(tok(1).id), nullptr);
    }
    EXPECT_EQ(with_workers(tok(1), text, 1), want);
    EXPECT_NE(pcache_testing::held(tok(1).id), nullptr);
}

TEST(Budget, ThirtyTwoLiveTablesLeaveANewWorkerWithoutACache) {
    drain();
    const std::string text = "Budgets are shared by every thread of the process.";
    const Ids want = uncached(tok(0), text);
    constexpr int HOLDERS = 32;  // 5 or more workers: 1 MiB each
    std::barrier<> filled(HOLDERS + 1), done(HOLDERS + 1);
    std::vector<std::thread> holders;
    for (int i = 0; i < HOLDERS; ++i)
        holders.emplace_back([&] {
            with_workers(tok(0), text, 17);
            EXPECT_EQ(pcache_testing::held(tok(0).id)->capacity * 32, 1u << 20);
            filled.arrive_and_wait();
            done.arrive_and_wait();
        });
    filled.arrive_and_wait();
    EXPECT_EQ(pcache_testing::live_bytes(), CACHE_BUDGET);
    on_fresh_thread([&] {
        EXPECT_EQ(with_workers(tok(0), text, 17), want);
        EXPECT_FALSE(pcache_testing::held(tok(0).id)->enabled());
    });
    done.arrive_and_wait();
    for (auto& t : holders) t.join();
    // Now idle in POOL: a newcomer trims one to make room.
    on_fresh_thread([&] {
        with_workers(tok(1), text, 1);
        EXPECT_TRUE(pcache_testing::held(tok(1).id)->enabled());
        EXPECT_EQ(pcache_testing::pool_size(), size_t(HOLDERS - 1));
    });
    EXPECT_EQ(pcache_testing::live_bytes(), CACHE_BUDGET);
    drain();
}

TEST(Budget, BatchWorkersAreNotStarvedByTheCallingThread) {
    drain();
    const std::string text = "The calling thread works beside the workers it started.";
    for (uint32_t workers : {2u, 4u}) {
        with_workers(tok(0), text, 1);  // leaves a 4 MiB table with this thread
        std::atomic<int> without_cache{0};
        run_batch(
            tok(0), 64, workers, [] { return 0; },
            [&](int&, size_t, uint32_t k) {
                with_workers(tok(0), text, k);
                if (!pcache_testing::held(tok(0).id)->enabled()) without_cache.fetch_add(1);
            });
        EXPECT_EQ(without_cache.load(), 0) << workers;
        EXPECT_LE(pcache_testing::live_bytes(), CACHE_BUDGET);
    }
    drain();
}

TEST(Budget, TheCallingThreadKeepsItsOwnTableForABatch) {
    drain();
    const std::string text = "The caller's table stays warm in its core's caches.";
    with_workers(tok(1), text, 1);
    with_workers(tok(0), text, 1);
    on_fresh_thread([&] { with_workers(tok(0), text, 1); });  // another table for tok(0) in POOL
    const CacheEntry* own = pcache_testing::held(tok(0).id)->table;
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> caller_leased{false};
    const CacheEntry* used = nullptr;
    run_batch(tok(0), 16, 2, [] { return 0; }, [&](int&, size_t, uint32_t k) {
        // The worker waits until the caller has taken its table.
        while (std::this_thread::get_id() != caller && !caller_leased.load()) std::this_thread::yield();
        with_workers(tok(0), text, k);
        if (std::this_thread::get_id() == caller && !caller_leased.load()) {
            used = pcache_testing::held(tok(0).id)->table;
            caller_leased.store(true);
        }
    });
    // Kept, not swapped for the one in POOL; the other tokenizer's table
    // waits in POOL, where it can be reused or trimmed.
    EXPECT_EQ(used, own);
    EXPECT_EQ(pcache_testing::held(tok(0).id)->table, own);
    EXPECT_EQ(pcache_testing::held(tok(1).id), nullptr);
    drain();
}
