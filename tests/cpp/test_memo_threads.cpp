// Threads that share a vocabulary write its pair memo at once: a set is one
// word, so a racing insert may lose an entry but must never give a pair
// another pair's answer. Every thread encodes the same pieces of random
// letters (most pairs reach the memo on such text, and are new to it), each
// from its own place in the list, and checks every piece against textbook
// BPE. tools/tsan-stress.sh runs this under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bpe_reference.h"
#include "test_support.h"
#include "vocab.h"

namespace {

using Ids = std::vector<uint32_t>;

class MemoThreads : public zelkor_test::BothVocabs {};

TEST_P(MemoThreads, RacingInsertsKeepEveryAnswer) {
    const zelkor::Vocab& v = vocab();
    std::mt19937 rng(17);
    std::vector<std::string> pieces(240);
    for (std::string& p : pieces) {
        p.resize(40 + rng() % 120);
        for (char& c : p) c = char('a' + rng() % 26);
    }
    auto u8 = [](const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); };
    std::vector<Ids> want;
    for (const std::string& p : pieces) want.push_back(zelkor_test::bpe_reference(v, u8(p), p.size()));

    constexpr size_t THREADS = 6;
    std::atomic<size_t> wrong{0};
    std::vector<std::thread> pool;
    for (size_t t = 0; t < THREADS; ++t) {
        pool.emplace_back([&, t] {
            for (size_t k = 0; k < pieces.size(); ++k) {
                const size_t i = (k + t * pieces.size() / THREADS) % pieces.size();
                zelkor::IdVec out;
                zelkor::encode_piece(v, u8(pieces[i]), pieces[i].size(), out);
                wrong += Ids(out.begin(), out.end()) != want[i];
            }
        });
    }
    for (std::thread& th : pool) th.join();
    EXPECT_EQ(wrong.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Both, MemoThreads, zelkor_test::both_vocabs(), zelkor_test::vocab_name);

}  // namespace
