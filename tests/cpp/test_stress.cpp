// Many threads encoding, counting and truncating at once, with one shared
// tokenizer and with three tokenizers alternating; every result is checked
// and the cache budget is watched throughout.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pcache.h"
#include "tokenizer.h"

using namespace zelkor;
using Ids = std::vector<TokenId>;

TEST(Stress, ManyThreadsManyTokenizers) {
    std::vector<std::string> docs = {"", "<|endoftext|> short one"};
    for (const char* file : {"prose-en.txt", "code-python.txt", "prose-multilingual.txt", "cjk.txt"}) {
        std::ifstream f(std::string(ZELKOR_SOURCE_DIR) + "/../shared/corpus/" + file);
        std::string d(1500, '\0');
        for (int i = 0; i < 6 && f.read(d.data(), 1500); ++i) docs.push_back(d);
    }
    if (docs.size() < 10) GTEST_SKIP() << "no corpus";
    const std::vector<std::string_view> views(docs.begin(), docs.end());
    auto u8 = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };

    std::unique_ptr<Tokenizer> toks[3];
    std::vector<Ids> want[3];
    std::vector<Truncation> want_cut[3];
    std::thread([&] {
        for (int k = 0; k < 3; ++k) {
            toks[k] = std::move(*Tokenizer::create(BUILTIN_NAMES[k], ""));
            for (const std::string& d : docs) {
                const IdVec v = encode(*toks[k], u8(d), d.size());
                want[k].emplace_back(v.begin(), v.end());
                want_cut[k].push_back(truncate(*toks[k], u8(d), d.size(), 7));
            }
        }
    }).join();

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> peak{0};
    std::thread watch([&] {
        while (!stop.load()) {
            peak.store(std::max(peak.load(), pcache_testing::live_bytes()));
            std::this_thread::yield();
        }
    });
    std::atomic<int> bad{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < 12; ++t) {
        pool.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (size_t i = 0; i < docs.size(); ++i) {
                    // Odd threads share one tokenizer; even ones rotate all three.
                    const int k = (t % 2) ? 0 : int((i + size_t(round + t)) % 3);
                    const std::string& d = docs[i];
                    IdVec v;
                    encode_into_workers(*toks[k], u8(d), d.size(), v, uint32_t(1 + t % 20));
                    bad += Ids(v.begin(), v.end()) != want[k][i];
                    const Truncation c = truncate(*toks[k], u8(d), d.size(), 7);
                    bad += c.cut_bytes != want_cut[k][i].cut_bytes || c.total_tokens != want_cut[k][i].total_tokens;
                }
                // Batches from inside a thread start workers of their own.
                const int k = (t + round) % 3;
                const std::vector<uint32_t> counts = count_batch(*toks[k], views, 3, false);
                const BatchIds b = encode_batch(*toks[k], views, 2, false);
                for (size_t i = 0; i < docs.size(); ++i) {
                    bad += counts[i] != want[k][i].size();
                    bad += Ids(b.ids.begin() + b.offsets[i], b.ids.begin() + b.offsets[i + 1]) != want[k][i];
                }
            }
        });
    }
    for (auto& th : pool) th.join();
    stop.store(true);
    watch.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_LE(peak.load(), CACHE_BUDGET);
}
