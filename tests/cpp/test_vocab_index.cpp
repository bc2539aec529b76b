// The compiled index: node numbering, the merge structures, the sizes of
// the built-in vocabularies, and the pair-validity memo.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "vocab.h"

using zelkor::NONE;
using zelkor::Split;
using zelkor::Vocab;
using zelkor_test::data_vocab;
using zelkor_test::VocabImage;

namespace {

// The 256 bytes (id = byte), then 256 = "bc", 257 = "ab", 258 = "abc".
std::unique_ptr<Vocab> small_vocab() {
    std::vector<uint8_t> img = VocabImage().add_bytes().add("bc", 256).add("ab", 257).add("abc", 258).bytes();
    auto v = Vocab::from_bytes(img.data(), img.size(), "small");
    return v ? std::move(v.value()) : nullptr;
}

bool memo_is_clear(const Vocab& v) {
    for (size_t i = 0; i < v.pair_memo_len; ++i)
        if (v.pair_memo[i].load() != 0) return false;
    return true;
}

// The seam rule for two tokens, with the bytes at the seam from their own.
bool refutes(const Vocab& v, uint32_t l, uint32_t r) {
    const uint8_t last = v.token_data(l)[v.token_lens[l] - 1], first = v.token_data(r)[0];
    return zelkor::seam_refutes(v, v.token_info[l], v.token_info[r], last, first);
}

// The pair test after the seam rule, for a left token that was the longest
// match at the start of its bytes followed by the right token's: -1 where it
// does not know, and also where the seam rule refutes (not its case).
int after_seam(const Vocab& v, uint32_t l, uint32_t r) {
    const uint8_t last = v.token_data(l)[v.token_lens[l] - 1], first = v.token_data(r)[0];
    const uint32_t merge = zelkor::seam_merge(v, last, first);
    const uint64_t li = v.token_info[l], ri = v.token_info[r];
    if (zelkor::seam_refutes(merge, li, ri)) return -1;
    const bool right_byte = zelkor::right_is_own_byte(ri);
    if (!zelkor::left_plain(l, li) || !(right_byte || zelkor::right_starts_with_own_byte(r, ri)))
        return -1;
    return zelkor::pair_after_seam(v, l, li, r, right_byte, merge, last, first);
}

// Whether l is the longest token at the start of bytes(l) + bytes(r).
bool longest_before(const Vocab& v, uint32_t l, uint32_t r) {
    std::string s(reinterpret_cast<const char*>(v.token_data(l)), v.token_lens[l]);
    s.append(reinterpret_cast<const char*>(v.token_data(r)), v.token_lens[r]);
    const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
    return zelkor::longest_prefix_match(v, bytes, s.size()).len == v.token_lens[l];
}

size_t occupied(const std::vector<uint64_t>& t) {
    size_t k = 0;
    for (uint64_t e : t) k += e != 0;
    return k;
}

TEST(VocabIndex, SmallVocabulary) {
    auto v = small_vocab();
    ASSERT_TRUE(v);
    EXPECT_EQ(v->node_token.size(), 260u);
    for (int b = 0; b < 256; ++b) EXPECT_EQ(v->root_next[b], uint32_t(b + 1));
    EXPECT_EQ(v->two_node['b' * 256 + 'c'], 257u);
    EXPECT_EQ(v->two_node['a' * 256 + 'b'], 258u);
    EXPECT_EQ(v->node_token[259], 258);
    EXPECT_EQ(v->prefix_token[256], 'b');
    EXPECT_EQ(v->prefix_token[257], 'a');
    EXPECT_EQ(v->prefix_token[258], 257);
    EXPECT_EQ(v->prefix_token['x'], -1);
    // (ab, c) is rejected for abc: bc merges before ab.
    auto split = [&](uint32_t t) { return std::pair(v->split_table[t].left, v->split_table[t].right); };
    EXPECT_EQ(split(256), std::pair(uint32_t('b'), uint32_t('c')));
    EXPECT_EQ(split(257), std::pair(uint32_t('a'), uint32_t('b')));
    EXPECT_EQ(split(258), std::pair(uint32_t('a'), 256u));
    EXPECT_FALSE(zelkor::is_valid_pair(*v, 257, 'c'));
    EXPECT_FALSE(zelkor::is_valid_pair(*v, 'a', 'b'));
    EXPECT_FALSE(zelkor::is_valid_pair(*v, 'a', 256));  // a bc makes abc
    EXPECT_TRUE(zelkor::is_valid_pair(*v, 257, 'x'));
    EXPECT_TRUE(zelkor::is_valid_pair(*v, 'x', 'y'));

    EXPECT_EQ(occupied(v->edge2), 0u);
    ASSERT_EQ(occupied(v->edge1), 1u);
    uint64_t e1 = v->edge1_find(258, 'c');
    EXPECT_EQ(e1 >> 19, 258u * 256 + 'c' + 1);
    EXPECT_EQ(e1 & 0x3FFFF, 258u);
    EXPECT_FALSE(e1 & zelkor::EDGE1_HAS_CHILDREN);

    // U+4E00 = E4 B8 80: only the lead byte is a token.
    EXPECT_EQ(v->three_token[0x4E00], 0xE4);
    EXPECT_EQ(v->three_node[0x4E00], 0u);
    // ax is no token, a is.
    EXPECT_EQ(v->two_token['a' * 256 + 'x'], 'a');
    EXPECT_EQ(v->two_node['a' * 256 + 'x'], 0u);
}

struct Sizes {
    const char* file;
    uint32_t n;
    size_t nodes, edge2, edge1, pairs;
    bool wide;
};

class BuiltinVocab : public ::testing::TestWithParam<Sizes> {};

TEST_P(BuiltinVocab, TableSizes) {
    const Sizes& s = GetParam();
    const Vocab* v = data_vocab(s.file);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->n, s.n);
    EXPECT_EQ(v->node_token.size(), s.nodes);
    EXPECT_EQ(v->edge2.size(), s.edge2);
    EXPECT_EQ(v->edge2_shift, 36u - uint32_t(std::countr_zero(s.edge2)));
    EXPECT_EQ(v->edge1.size(), s.edge1);
    EXPECT_EQ(v->pair_table.size(), s.pairs);
    EXPECT_EQ(v->wide_memo, s.wide);
    EXPECT_EQ(v->pair_memo_len, size_t(1) << zelkor::MEMO_SET_BITS);
    for (auto* t : {&v->two_node, &v->three_node}) EXPECT_EQ(t->size(), 65536u);
}

TEST_P(BuiltinVocab, EveryTokenIsFoundAndSplitSoundly) {
    const Vocab* v = data_vocab(GetParam().file);
    ASSERT_NE(v, nullptr);
    size_t bad_find = 0, bad_split = 0;
    for (uint32_t t = 0; t < v->n; ++t) {
        const uint8_t* b = v->token_data(t);
        uint32_t len = v->token_lens[t];
        bad_find += v->find_id(b, len) != t;
        Split s = v->split_table[t];
        if (len == 1) {
            bad_split += s.left != t || s.right != t || v->prefix_token[t] != -1;
            continue;
        }
        if (s.left == t && s.right == t) continue;
        uint32_t ll = v->token_lens[s.left];
        bool ok = s.left < t && s.right < t && ll + v->token_lens[s.right] == len &&
                  std::memcmp(v->token_data(s.left), b, ll) == 0 &&
                  std::memcmp(v->token_data(s.right), b + ll, len - ll) == 0 &&
                  v->pair_find(s.left, s.right) == t;
        bad_split += !ok;
    }
    EXPECT_EQ(bad_find, 0u);
    EXPECT_EQ(bad_split, 0u);
    const uint8_t none[] = {0xFF, 0xFE, 0xFD, 0xFC};
    EXPECT_EQ(v->find_id(none, 0), NONE);
    EXPECT_EQ(v->find_id(none, 4), NONE);
}

// The passes step on by the length the matcher reports: it must be the
// length of the token it names, wherever the walk ends (a trigram, either
// byte of a two-byte step, an odd last byte), and a token word it reports
// must be that token's. Every token is matched on its own and followed by a
// copy of itself, which lets the walk go on past it.
TEST_P(BuiltinVocab, MatchLengthIsTheLengthOfTheTokenMatched) {
    const Vocab* v = data_vocab(GetParam().file);
    ASSERT_NE(v, nullptr);
    size_t bad = 0, checked = 0;
    std::vector<uint8_t> buf;
    for (uint32_t t = 0; t < v->n; ++t) {
        const uint32_t len = v->token_lens[t];
        buf.assign(v->token_data(t), v->token_data(t) + len);
        buf.insert(buf.end(), v->token_data(t), v->token_data(t) + len);
        for (size_t m : {size_t(len), buf.size()}) {
            const zelkor::TokenMatch got = zelkor::longest_prefix_match(*v, buf.data(), m);
            ++checked;
            bad += got.id == NONE || got.len != v->token_lens[got.id] || got.len < len ||
                   (got.info != 0 && got.info != v->token_info[got.id]) ||
                   got.id != zelkor::longest_prefix_token(*v, buf.data(), m) ||
                   (m == len && got.id != v->find_id(buf.data(), len));
        }
    }
    EXPECT_EQ(bad, 0u) << "of " << checked;
}

TEST_P(BuiltinVocab, MemoAgreesWithFreshAnswers) {
    const Vocab* v = data_vocab(GetParam().file);
    ASSERT_NE(v, nullptr);
    std::mt19937 rng(7);
    size_t mismatches = 0, valid = 0;
    for (int i = 0; i < 20000; ++i) {
        uint32_t l = rng() % v->n, r = rng() % v->n;
        bool fresh = zelkor::detail::pair_valid_uncached(*v, l, r);
        valid += fresh;
        mismatches += zelkor::is_valid_pair(*v, l, r) != fresh;  // cold or collided
        mismatches += zelkor::is_valid_pair(*v, l, r) != fresh;  // warm
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_GT(valid, 0u);
    EXPECT_LT(valid, 20000u);
}

// The seam rule answers "no" for the pair test without asking it: it must
// never do so for a pair the full test accepts, and it should answer most
// of the refusals among short tokens.
TEST_P(BuiltinVocab, SeamRuleRefusesOnlyPairsTheFullTestRefuses) {
    const Vocab* v = data_vocab(GetParam().file);
    ASSERT_NE(v, nullptr);
    std::vector<uint32_t> shorts;
    for (uint32_t t = 0; t < v->n; ++t)
        if (v->token_lens[t] <= 3) shorts.push_back(t);
    std::mt19937 rng(11);
    size_t wrong = 0, refused = 0, caught = 0;
    for (int i = 0; i < 400000; ++i) {
        const bool any = i % 4 == 0;
        const uint32_t l = any ? rng() % v->n : shorts[rng() % shorts.size()];
        const uint32_t r = any ? rng() % v->n : shorts[rng() % shorts.size()];
        const bool valid = zelkor::detail::pair_valid_uncached(*v, l, r);
        const bool refuted = refutes(*v, l, r);
        wrong += refuted && valid;
        refused += !valid;
        caught += refuted;
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_GT(caught, refused / 2);
}

// After a longest match, most pairs the seam rule passes are answered
// without the memo: every answer must be the full test's. Text of few
// letters makes the same two bytes meet at and before the seam ("rr" "rr").
TEST_P(BuiltinVocab, PairsAfterALongestMatchAgreeWithTheFullTest) {
    const Vocab* v = data_vocab(GetParam().file);
    ASSERT_NE(v, nullptr);
    std::mt19937 rng(5);
    const std::string alphabets[] = {"abcdefghijklmnopqrstuvwxyz", "abc", " -=ab", "rstr ",
                                     "\xd7\x90\xd7\x91\xd7\xa9",  // Hebrew letters
                                     "\xd0\xb0\xd0\xbe\xd1\x82\xd1\x8b"};  // Cyrillic
    size_t asked = 0, known = 0, wrong = 0;
    for (int i = 0; i < 60000; ++i) {
        const std::string& alpha = alphabets[size_t(i) % std::size(alphabets)];
        uint8_t buf[16];
        for (uint8_t& b : buf) b = uint8_t(alpha[rng() % alpha.size()]);
        const zelkor::TokenMatch left = zelkor::longest_prefix_match(*v, buf, sizeof buf);
        if (left.len + 1 >= sizeof buf) continue;
        const zelkor::TokenMatch m =
            zelkor::longest_prefix_match(*v, buf + left.len, sizeof buf - left.len);
        // The longest token there and each shorter one, as the search tries them.
        for (int32_t r = int32_t(m.id); r >= 0;
             r = zelkor::info_prefix(v->token_info[size_t(r)])) {
            const uint32_t right = uint32_t(r);
            const int k = after_seam(*v, left.id, right);
            ++asked;
            if (k < 0) continue;
            ++known;
            wrong += (k == 1) != zelkor::detail::pair_valid_uncached(*v, left.id, right);
        }
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_GT(known, asked / 2);
}

TEST_P(BuiltinVocab, ThreeLongerMarksExactlyTheSequencesThatLongerTokensStartWith) {
    const Vocab* v = data_vocab(GetParam().file);
    ASSERT_NE(v, nullptr);
    std::vector<uint64_t> want(1024, 0);
    for (uint32_t t = 0; t < v->n; ++t) {
        const uint8_t* b = v->token_data(t);
        if (v->token_lens[t] > 3 && b[0] >= 0xE0 && b[0] <= 0xEF && (b[1] & 0xC0) == 0x80 &&
            (b[2] & 0xC0) == 0x80) {
            const uint32_t cp = uint32_t(b[0] & 0x0F) << 12 | uint32_t(b[1] & 0x3F) << 6 | (b[2] & 0x3F);
            want[cp >> 6] |= uint64_t(1) << (cp & 63);
        }
    }
    EXPECT_EQ(v->three_longer, want);
}

// The walks trust the step filter's "no": every step on the way to every
// token must pass it. Steps that are not there should mostly be turned away,
// or the filter saves the walks nothing; they are asked here from the nodes
// the tokens go through, often those of many steps, which share one line
// (8-12% pass in the built-in vocabularies).
TEST_P(BuiltinVocab, StepFilterPassesEveryStepAndTurnsAwayMostOthers) {
    const Vocab* v = data_vocab(GetParam().file);
    ASSERT_NE(v, nullptr);
    size_t steps = 0, refused = 0, absent = 0, passed = 0;
    std::mt19937 rng(17);
    auto try_absent = [&](uint32_t node) {
        const uint32_t c0 = rng() & 0xFF, c1 = rng() & 0xFF;
        if (v->edge2_find(node, c0, c1) == 0) {
            ++absent;
            passed += v->step_maybe(node, c0 << 8 | c1);
        }
        if (v->edge1_find(node, c0) == 0) {
            ++absent;
            passed += v->step_maybe(node, zelkor::STEP_LABEL_ONE | c0);
        }
    };
    for (uint32_t t = 0; t < v->n; ++t) {
        const uint8_t* b = v->token_data(t);
        const uint32_t len = v->token_lens[t];
        if (len < 3) continue;
        uint32_t node = v->two_node[uint32_t(b[0]) << 8 | b[1]];
        uint32_t i = 2;
        for (; i + 1 < len; i += 2) {
            ASSERT_NE(node, 0u) << t;
            try_absent(node);
            ++steps;
            refused += !v->step_maybe(node, uint32_t(b[i]) << 8 | b[i + 1]);
            node = uint32_t((v->edge2_find(node, b[i], b[i + 1]) >> 18) & 0xFFFFF);
        }
        if (i < len) {
            ASSERT_NE(node, 0u) << t;
            ++steps;
            refused += !v->step_maybe(node, zelkor::STEP_LABEL_ONE | b[i]);
            refused += v->edge1_step(node, b[i]) != v->edge1_find(node, b[i]);
        }
    }
    EXPECT_EQ(refused, 0u) << "of " << steps;
    ASSERT_GT(absent, 100000u);
    EXPECT_LT(double(passed) / double(absent), 0.2) << passed << " of " << absent;
}

INSTANTIATE_TEST_SUITE_P(Both, BuiltinVocab,
                         ::testing::Values(Sizes{"cl100k.vocab", 100256, 216750, 262144, 131072,
                                                 262144, false},
                                           Sizes{"o200k.vocab", 199998, 421661, 524288, 262144,
                                                 524288, true}),
                         [](const auto& p) { return std::string(p.param.wide ? "o200k" : "cl100k"); });

// Memo set of a pair under the narrow memo, to fill a set.
size_t narrow_set(uint32_t l, uint32_t r) { return zelkor::memo_slot_of<false>(l, r).slot; }

TEST(VocabMemo, SameAnswerColdWarmAndAfterEviction) {
    const Vocab* v = data_vocab("cl100k.vocab");
    ASSERT_NE(v, nullptr);
    ASSERT_FALSE(v->wide_memo);
    // t h is no valid pair (th is a token); find as many valid pairs as a
    // set holds that share its set.
    const uint8_t th[] = {'t', 'h'};
    const uint32_t l = v->find_id(th, 1), r = v->find_id(th + 1, 1);
    const size_t set = narrow_set(l, r);
    const bool answer = zelkor::detail::pair_valid_uncached(*v, l, r);
    ASSERT_FALSE(answer);
    std::vector<std::pair<uint32_t, uint32_t>> others;
    for (uint32_t a = 256; a < v->n && others.size() < zelkor::MEMO_WAYS; ++a) {
        for (uint32_t b = 0; b < v->n; ++b) {
            if (narrow_set(a, b) != set || (a == l && b == r)) continue;
            if (zelkor::detail::pair_valid_uncached(*v, a, b) != answer) others.emplace_back(a, b);
            break;
        }
    }
    ASSERT_EQ(others.size(), zelkor::MEMO_WAYS);
    auto word = [&] { return v->pair_memo[set].load(); };

    EXPECT_EQ(zelkor::memo_valid_pair(*v, l, r), answer);  // cold
    const uint64_t alone = word();
    EXPECT_NE(alone, 0u);
    EXPECT_EQ(zelkor::memo_valid_pair(*v, l, r), answer);  // warm: the set is unchanged
    EXPECT_EQ(word(), alone);
    // The set keeps the pair beside fewer others than it has room for.
    for (size_t i = 0; i + 1 < others.size(); ++i)
        EXPECT_EQ(zelkor::memo_valid_pair(*v, others[i].first, others[i].second), !answer);
    const uint64_t shared = word();
    EXPECT_EQ(zelkor::memo_valid_pair(*v, l, r), answer);
    EXPECT_EQ(word(), shared);
    // One more pushes the oldest out; its answer is found again, not read
    // from the entries of the others.
    EXPECT_EQ(zelkor::memo_valid_pair(*v, others.back().first, others.back().second), !answer);
    EXPECT_NE(word(), shared);
    EXPECT_EQ(zelkor::memo_valid_pair(*v, l, r), answer);
    for (const auto& [a, b] : others) EXPECT_EQ(zelkor::memo_valid_pair(*v, a, b), !answer);
}

// An empty entry reads as tag 0 with the answer false: a valid pair of tag 0
// must not take it for its own.
TEST(VocabMemo, AnEmptyEntryIsNoAnswer) {
    const Vocab* v = data_vocab("cl100k.vocab");
    ASSERT_NE(v, nullptr);
    for (uint32_t a = 256; a < v->n; ++a) {
        for (uint32_t b = 0; b < v->n; ++b) {
            const zelkor::MemoSlot m = zelkor::memo_slot_of<false>(a, b);
            if (m.tag != 0 || !zelkor::detail::pair_valid_uncached(*v, a, b)) continue;
            const uint64_t w = v->pair_memo[m.slot].load();
            if (w >> (2 * (zelkor::MEMO_TAG_BITS<false> + 1)) != 0) continue;  // the set's last entry is not empty
            EXPECT_TRUE(zelkor::memo_valid_pair(*v, a, b));
            EXPECT_TRUE(zelkor::memo_valid_pair(*v, a, b));
            return;
        }
    }
    FAIL() << "no valid pair of tag 0";
}

// The bytes, then 256-263: merges, a token no merge builds (xyz, 259) and
// a second token of a byte (q, 260). Tests add their own from 264 on.
namespace {

VocabImage odd_tokens() {
    return VocabImage()
        .add_bytes()
        .add("ab", 256)
        .add("bc", 257)
        .add("abc", 258)
        .add("xyz", 259)
        .add("q", 260)
        .add("qa", 261)
        .add("ca", 262)
        .add("bca", 263);
}

}  // namespace

// Ends that are no byte token of their own make no claim: a token no
// merge builds, and a second token of a byte.
TEST(SeamRule, EveryPairOfASmallVocabularyWithOddTokens) {
    std::vector<uint8_t> img = odd_tokens().add("xyzq", 264).bytes();
    auto built = Vocab::from_bytes(img.data(), img.size(), "odd");
    ASSERT_TRUE(built);
    const Vocab& v = **built;
    EXPECT_EQ(v.split_table[259].left, 259u);
    EXPECT_TRUE(refutes(v, 'a', 'b'));
    EXPECT_FALSE(refutes(v, 259, 'a'));   // xyz's last byte is no token of its own
    size_t wrong = 0, caught = 0;
    for (uint32_t l = 0; l < v.n; ++l) {
        for (uint32_t r = 0; r < v.n; ++r) {
            const bool refuted = refutes(v, l, r);
            wrong += refuted && zelkor::detail::pair_valid_uncached(v, l, r);
            caught += refuted;
        }
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_GE(caught, 8u);
}

// Tokens no merge builds, a second token of a byte, splits that end or
// start in two bytes: every pair whose left token is the longest match
// before the right one.
TEST(PairAfterSeam, EveryPairOfASmallVocabularyWithOddTokens) {
    std::vector<uint8_t> img = odd_tokens()
                                   .add("cc", 264)
                                   .add("ccc", 265)
                                   .add("bcc", 266)
                                   .add("cab", 267)
                                   .add("aa", 268)
                                   .add("da", 269)
                                   .add("xbc", 270)   // x + bc
                                   .add("abbc", 271)  // ab + bc
                                   .add("bcab", 272)  // bc + ab
                                   .bytes();
    auto built = Vocab::from_bytes(img.data(), img.size(), "odd");
    ASSERT_TRUE(built);
    const Vocab& v = **built;
    size_t known = 0, wrong = 0;
    for (uint32_t l = 0; l < v.n; ++l) {
        for (uint32_t r = 0; r < v.n; ++r) {
            if (!longest_before(v, l, r)) continue;
            const int k = after_seam(v, l, r);
            if (k < 0) continue;
            ++known;
            wrong += (k == 1) != zelkor::detail::pair_valid_uncached(v, l, r);
        }
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_GT(known, 20000u);
    EXPECT_TRUE(zelkor::info_right_two(v.token_info[270]));
    EXPECT_TRUE(zelkor::info_right_two(v.token_info[271]));
    // d a a a: the a a at the seam is also the a a further left, merged
    // first, so da|aa is no pair; aa|aa is.
    EXPECT_EQ(after_seam(v, 269, 268), 0);
    EXPECT_EQ(after_seam(v, 268, 268), 1);
}

TEST(VocabMemo, ClearAfterConstructionOfAnyVocabulary) {
    auto v = small_vocab();
    ASSERT_TRUE(v);
    EXPECT_TRUE(memo_is_clear(*v));
    // Duplicates make construction go through the memo; it is cleared after.
    std::vector<uint8_t> img =
        VocabImage().add_bytes().add("ab", 256).add("ab", 257).add("abab", 258).bytes();
    auto d = Vocab::from_bytes(img.data(), img.size(), "dup");
    ASSERT_TRUE(d);
    EXPECT_TRUE(memo_is_clear(**d));
    std::vector<uint8_t> cl = zelkor_test::read_file(zelkor_test::data_path("cl100k.vocab"));
    auto c = Vocab::from_bytes(cl.data(), cl.size(), "cl100k_base");
    ASSERT_TRUE(c);
    EXPECT_TRUE(memo_is_clear(**c));
}

}  // namespace
