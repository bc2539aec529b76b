// Truncation: the cut lands after whole tokens and on a character boundary.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tokenizer.h"

using namespace zelkor;

namespace {

const Tokenizer& cl100k() {
    static std::unique_ptr<Tokenizer> t = std::move(*Tokenizer::create("cl100k_base", ""));
    return *t;
}
const uint8_t* u8(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// (cut_bytes, total_tokens)
std::pair<size_t, size_t> cut(const std::string& s, size_t max_tokens) {
    const Truncation t = truncate(cl100k(), u8(s), s.size(), max_tokens);
    return {t.cut_bytes, t.total_tokens};
}

// Five tokens of 3, 3, 2, 1 and 3 bytes: the third ends inside a character.
const std::string CJK = "\xE4\xBD\xA0\xE5\xA5\xBD\xE4\xB8\x96\xE7\x95\x8C";

}  // namespace

TEST(Truncate, WorkedCases) {
    using P = std::pair<size_t, size_t>;
    EXPECT_EQ(cut("hello world", 1), P(5, 2));
    EXPECT_EQ(cut("hello world", 0), P(0, 2));
    EXPECT_EQ(cut("hello world", 2), P(11, 2));
    EXPECT_EQ(cut("hello world", size_t(-1)), P(11, 2));
    EXPECT_EQ(cut(CJK, 3), P(6, 5));
    EXPECT_EQ(cut(CJK, 4), P(9, 5));
    // The first token ends inside the first character: nothing is kept.
    EXPECT_EQ(cut(CJK.substr(6), 1).first, 0u);
    EXPECT_EQ(cut("", 0), P(0, 0));
    EXPECT_EQ(cut("", 5), P(0, 0));
    // Special strings count as the ordinary text they are.
    EXPECT_EQ(cut("a<|endoftext|>", 100).second, encode(cl100k(), u8("a<|endoftext|>"), 14).size());
}

TEST(Truncate, EveryBudgetKeepsWholeTokensOnABoundary) {
    const std::string s = "Übung macht den Meister — 練習は完璧を作る 🎉🎉 ok";
    const IdVec ids = encode(cl100k(), u8(s), s.size());
    size_t end = 0;  // where the first m tokens end
    for (size_t m = 0; m <= ids.size(); ++m) {
        const auto [bytes, total] = cut(s, m);
        EXPECT_EQ(total, ids.size());
        EXPECT_TRUE(bytes <= end && end - bytes <= 3) << m;
        EXPECT_TRUE(bytes == s.size() || (uint8_t(s[bytes]) & 0xC0) != 0x80) << m;
        if (m < ids.size()) end += cl100k().vocab->token_lens[ids[m]];
    }
}

TEST(TruncateBatch, SameAsOneByOne) {
    const std::vector<std::string> texts = {"hello world", "", CJK, "one two three four five six",
                                            std::string(5000, 'x'), "a<|endoftext|>b"};
    const std::vector<std::string_view> in(texts.begin(), texts.end());
    for (size_t threads : {0, 1, 2, 16}) {
        for (size_t m : {0, 1, 3, 100000}) {
            const std::vector<Truncation> r = truncate_batch(cl100k(), in, m, threads);
            ASSERT_EQ(r.size(), texts.size());
            for (size_t i = 0; i < texts.size(); ++i)
                EXPECT_EQ(std::make_pair(r[i].cut_bytes, r[i].total_tokens), cut(texts[i], m)) << i;
        }
    }
}
