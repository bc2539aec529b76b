// Single-text operations: the special scan, ordinary encode, decode.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tokenizer.h"

using namespace zelkor;
using Ids = std::vector<TokenId>;

namespace {

const Tokenizer& cl100k() {
    static std::unique_ptr<Tokenizer> t = std::move(*Tokenizer::create("cl100k_base", ""));
    return *t;
}
const uint8_t* u8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }
Ids ids_of(const IdVec& v) { return {v.begin(), v.end()}; }
Ids enc(const std::string& s) { return ids_of(encode(cl100k(), u8(s), s.size())); }
Ids enc_from(const std::string& s, const std::vector<const Special*>& c) {
    return ids_of(encode_with_specials_from(cl100k(), u8(s), s.size(), c));
}
Ids cat(std::initializer_list<Ids> parts) {
    Ids r;
    for (const auto& p : parts) r.insert(r.end(), p.begin(), p.end());
    return r;
}
std::string dec(const Ids& ids) {
    const std::vector<uint8_t> b = decode(cl100k(), ids.data(), ids.size());
    return {b.begin(), b.end()};
}

// The scan written the obvious way: per special its first occurrence from
// pos; the earliest wins, list order breaks ties.
Ids reference(const std::string& text, const std::vector<const Special*>& cands) {
    Ids out;
    for (size_t pos = 0; pos < text.size();) {
        const Special* win = nullptr;
        size_t at = std::string::npos;
        for (const Special* s : cands) {
            const size_t q = text.find(s->text, pos);
            if (q < at) at = q, win = s;
        }
        out = cat({out, enc(text.substr(pos, win ? at - pos : std::string::npos))});
        if (!win) break;
        out.push_back(win->id);
        pos = at + win->text.size();
    }
    return out;
}

}  // namespace

TEST(EncodeWithSpecial, SpecialsAtTheEdgesAndBackToBack) {
    auto es = [](const std::string& s) { return ids_of(encode_with_special(cl100k(), u8(s), s.size())); };
    EXPECT_TRUE(es("").empty());
    EXPECT_EQ(es("<|endoftext|><|fim_prefix|>hello<|endofprompt|>"),
              cat({{100257, 100258}, enc("hello"), {100276}}));
    // Stretches are encoded apart: no pre-token spans a special.
    EXPECT_EQ(es("a <|fim_middle|> b"), cat({enc("a "), {100259}, enc(" b")}));
    EXPECT_EQ(es("<|endoftext|"), enc("<|endoftext|"));
    // Plain encode treats special strings as text.
    const Ids plain = enc("x<|endoftext|>y");
    for (TokenId id : plain) EXPECT_LT(id, cl100k().vocab->n);
    EXPECT_EQ(dec(plain), "x<|endoftext|>y");
}

TEST(EncodeWithSpecial, ListOrderBeatsLength) {
    const Special shorter{"<|endof", 900001}, longer{"<|endoftext|>", 100257}, late{"text", 900002};
    const std::string text = "x<|endoftext|>y";
    EXPECT_EQ(enc_from(text, {&shorter, &longer}), cat({enc("x"), {900001}, enc("text|>y")}));
    EXPECT_EQ(enc_from(text, {&longer, &shorter}), cat({enc("x"), {100257}, enc("y")}));
    EXPECT_EQ(enc_from(text, {&late, &longer}), cat({enc("x"), {100257}, enc("y")}));
    EXPECT_EQ(enc_from(text, {}), enc(text));
}

TEST(EncodeWithSpecial, MatchesTheObviousScan) {
    // Overlapping strings, with one first byte and with several.
    const Special extra[] = {{"ab", 900010}, {"b<|", 900011}, {"|>", 900012},
                             {"<|end", 900013}, {"\n", 900014}};
    std::vector<const Special*> one_first;
    for (const Special& s : cl100k().specials) one_first.push_back(&s);
    std::vector<const Special*> mixed = one_first;
    for (const Special& s : extra) mixed.push_back(&s);
    const char* frags[] = {"<|", "endoftext", "|>", "<|endoftext|>", "a", "b", " ", "<|fim_",
                           "prefix|>", "\n", "<", "|", "end"};
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        std::string text;
        for (int i = int(rng() % 12); i > 0; --i) text += frags[rng() % std::size(frags)];
        EXPECT_EQ(enc_from(text, mixed), reference(text, mixed)) << text;
        EXPECT_EQ(enc_from(text, one_first), reference(text, one_first)) << text;
        // A subset of the table, in table order, as the allowed-special policy passes it.
        std::vector<const Special*> subset;
        for (const Special* sp : one_first)
            if (rng() % 2) subset.push_back(sp);
        EXPECT_EQ(enc_from(text, subset), reference(text, subset)) << text;
    }
}

TEST(EncodeIntoWorkers, AppendsAfterExistingIds) {
    const std::string text = "Appending keeps what is already there.";
    IdVec v;
    for (TokenId x : {1u, 2u, 3u}) v.push_back(x);
    encode_into_workers(cl100k(), u8(text), text.size(), v, 1);
    encode_into_workers(cl100k(), u8(text), 0, v, 1);
    EXPECT_EQ(ids_of(v), cat({{1, 2, 3}, enc(text)}));
}

TEST(Count, EqualsTheNumberOfIdsAcrossDrains) {
    // Counting keeps only a few pre-tokens' ids at a time: totals must not
    // depend on where the scratch is emptied, nor on what it held before.
    std::mt19937 rng(7);
    const char* words[] = {"the ", "quick ", "\u00e9t\u00e9 ", "\u4f60\u597d", "12345 ", "!!\n", "  "};
    std::string mixed;
    while (mixed.size() < 200000) mixed += words[rng() % 7];
    const std::string long_piece(300000, 'a');  // one pre-token of far more ids than a drain
    for (const std::string& text : {std::string(), std::string("x"), mixed, long_piece, mixed + long_piece}) {
        IdVec scratch;
        for (TokenId x = 0; x < 5000; ++x) scratch.push_back(x);  // stale contents are ignored
        const size_t want = encode(cl100k(), u8(text), text.size()).size();
        EXPECT_EQ(count(cl100k(), u8(text), text.size()), want);
        EXPECT_EQ(count_workers(cl100k(), u8(text), text.size(), scratch, 2), want);
    }
}

TEST(Decode, SpecialsAndUnknownIds) {
    const Ids hello = enc("hello");
    // 100256 and 100261 lie in the gaps between specials; 5000000 is nothing.
    EXPECT_EQ(dec(cat({hello, {100256, 100257, 100261}, hello, {5000000, 100276}})),
              "hello<|endoftext|>hello<|endofprompt|>");
    EXPECT_EQ(dec({}), "");
    EXPECT_EQ(dec(enc("naïve 日本語 ✓")), "naïve 日本語 ✓");
}

TEST(Decode, EveryTokenAtEveryPlaceOfTheBuffer) {
    // Each token alone (the shortest buffers), and all of them in random
    // order, the last tokens of the byte store among them, against the
    // bytes written one token at a time.
    const Tokenizer& t = cl100k();
    const Vocab& v = *t.vocab;
    auto naive = [&](const Ids& ids) {
        std::string s;
        for (TokenId id : ids) {
            if (id < v.n)
                s.append(reinterpret_cast<const char*>(v.token_data(id)), v.token_lens[id]);
            else if (const Special* sp = t.special_by_id(id))
                s += sp->text;
        }
        return s;
    };
    Ids all;
    for (TokenId id = 0; id < v.n; ++id) {
        ASSERT_EQ(dec({id}), naive({id})) << id;
        all.push_back(id);
    }
    std::mt19937 rng(5);
    std::shuffle(all.begin(), all.end(), rng);
    for (TokenId extra : {100257u, 100276u, 4000000u, v.n - 1, v.n - 2}) all.push_back(extra);
    for (size_t len : {size_t(1), size_t(2), size_t(5), size_t(17), all.size()}) {
        const Ids part(all.end() - std::ptrdiff_t(len), all.end());
        EXPECT_EQ(decoded_size(t, part.data(), part.size()), naive(part).size());
        EXPECT_EQ(dec(part), naive(part)) << len;
    }
}
