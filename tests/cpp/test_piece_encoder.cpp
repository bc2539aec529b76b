// The piece encoder against a textbook BPE, over real text and random
// bytes, with both vocabularies and both entry points.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <vector>

#include "bpe_reference.h"
#include "mb.h"
#include "test_support.h"

using zelkor::IdVec;
using zelkor::Vocab;
using zelkor_test::data_vocab;
using Ids = std::vector<uint32_t>;

namespace {

const uint8_t* u8(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Appends to a vector that already holds `before`.
Ids encode(const Vocab& v, std::string_view s, bool mb, const Ids& before = {}) {
    IdVec out;
    for (uint32_t id : before) out.push_back(id);
    if (mb) {
        zelkor::encode_mb(v, u8(s), s.size(), out);
    } else {
        zelkor::encode_piece(v, u8(s), s.size(), out);
    }
    return Ids(out.begin(), out.end());
}

std::vector<std::string> texts(const Vocab& v, const Ids& ids) {
    std::vector<std::string> out;
    for (uint32_t id : ids) out.emplace_back(reinterpret_cast<const char*>(v.token_data(id)), v.token_lens[id]);
    return out;
}

Ids greedy(const Vocab& v, std::string_view s) {
    Ids ids;
    for (size_t pos = 0; pos < s.size(); pos += v.token_lens[ids.back()])
        ids.push_back(zelkor::longest_prefix_token(v, u8(s) + pos, s.size() - pos));
    return ids;
}

// Everything the encoder promises for one piece; the first disagreement.
std::string disagreement(const Vocab& v, std::string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        const zelkor::TokenMatch m = zelkor::longest_prefix_match(v, u8(s) + i, s.size() - i);
        if (m.id != zelkor::nm_mb(v, u8(s) + i, s.size() - i))
            return "longest_prefix_match != nm_mb at offset " + std::to_string(i);
        if (m.len != v.token_lens[m.id]) return "wrong match length at offset " + std::to_string(i);
    }
    Ids ref = zelkor_test::bpe_reference(v, u8(s), s.size());
    if (encode(v, s, false) != ref) return "encode_piece differs from BPE";
    if (encode(v, s, true) != ref) return "encode_mb differs from BPE";
    return {};
}

void check_all(const Vocab& v, const std::vector<std::string>& pieces) {
    int failures = 0;
    for (const std::string& p : pieces) {
        std::string why = disagreement(v, p);
        if (why.empty()) continue;
        std::string hex;
        for (unsigned char c : p) {
            hex += "0123456789abcdef"[c >> 4];
            hex += "0123456789abcdef"[c & 15];
            hex += ' ';
        }
        ADD_FAILURE() << why << " for piece [" << hex << "]";
        if (++failures == 5) return;
    }
}

TEST(PieceEncoder, WorkedPieces) {
    struct Case {
        const char* vocab;
        const char* piece;
        std::vector<std::string> bpe, greedy;
    };
    const Case cases[] = {
        {"cl100k.vocab", "strawberry", {"str", "aw", "berry"}, {"stra", "wb", "erry"}},
        {"cl100k.vocab", "abababab", {"ab", "ab", "ab", "ab"}, {"aba", "bab", "ab"}},
        {"cl100k.vocab", "rhythm", {"r", "hythm"}, {"rh", "yth", "m"}},
        {"o200k.vocab", "strawberry", {"st", "raw", "berry"}, {}},
    };
    for (const Case& c : cases) {
        const Vocab* v = data_vocab(c.vocab);
        ASSERT_NE(v, nullptr);
        SCOPED_TRACE(std::string(c.vocab) + " " + c.piece);
        Ids g = greedy(*v, c.piece);
        if (!c.greedy.empty()) {
            EXPECT_EQ(texts(*v, g), c.greedy);
        }
        bool rejected = false;
        for (size_t i = 1; i < g.size(); ++i) rejected |= !zelkor::is_valid_pair(*v, g[i - 1], g[i]);
        EXPECT_TRUE(rejected);
        EXPECT_EQ(texts(*v, encode(*v, c.piece, false)), c.bpe);
        EXPECT_EQ(texts(*v, encode(*v, c.piece, true)), c.bpe);
    }

    // Four CJK characters, the third split after its second byte.
    const Vocab* cl = data_vocab("cl100k.vocab");
    const std::string cjk = "\xE4\xBD\xA0\xE5\xA5\xBD\xE4\xB8\x96\xE7\x95\x8C";
    Ids ids = encode(*cl, cjk, true);
    ASSERT_EQ(ids.size(), 5u);
    EXPECT_EQ(texts(*cl, ids)[2], "\xE4\xB8");
    EXPECT_EQ(ids, greedy(*cl, cjk));
    EXPECT_EQ(ids, encode(*cl, cjk, false));
}

TEST(PieceEncoder, EmptySingleByteAndEarlierIds) {
    for (const char* name : {"cl100k.vocab", "o200k.vocab"}) {
        const Vocab* v = data_vocab(name);
        ASSERT_NE(v, nullptr);
        EXPECT_TRUE(encode(*v, "", false).empty());
        EXPECT_TRUE(encode(*v, "", true).empty());
        EXPECT_EQ(zelkor::nm_mb(*v, u8(""), 0), zelkor::NONE);
        for (int b = 0; b < 256; ++b) {
            std::string s(1, char(b));
            ASSERT_EQ(encode(*v, s, false), Ids{v->find_id(u8(s), 1)});
            ASSERT_EQ(encode(*v, s, true), Ids{v->find_id(u8(s), 1)});
        }
        // Ids already in the vector stay in front, also when greedy falls back.
        const Ids before = {11, 22, 33};
        for (std::string_view piece : {"strawberry", "hello", "\xE4\xB8\x96\xE7\x95\x8C!"}) {
            Ids expect = before;
            Ids alone = zelkor_test::bpe_reference(*v, u8(piece), piece.size());
            expect.insert(expect.end(), alone.begin(), alone.end());
            EXPECT_EQ(encode(*v, piece, false, before), expect) << piece;
            EXPECT_EQ(encode(*v, piece, true, before), expect) << piece;
        }
    }
}

// Words with an optional leading space, digit runs, punctuation runs,
// whitespace runs; cut at about 48 bytes on a character boundary to keep
// the reference quick.
std::vector<std::string> split_words(std::string_view text) {
    auto kind = [](unsigned char c) { return c >= 0x80 || std::isalpha(c) ? 0 : std::isdigit(c) ? 1 : std::isspace(c) ? 2 : 3; };
    std::vector<std::string> out;
    for (size_t i = 0; i < text.size();) {
        size_t start = i;
        if (text[i] == ' ' && i + 1 < text.size() && (kind(text[i + 1]) == 0 || kind(text[i + 1]) == 3)) ++i;
        int k = kind(text[i]);
        while (i < text.size() && kind(text[i]) == k && i - start < 48) ++i;
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
        out.emplace_back(text.substr(start, i - start));
    }
    return out;
}

// Distinct pieces from 32 evenly spaced windows of a corpus file.
std::vector<std::string> corpus_pieces(const std::string& file, size_t limit) {
    std::vector<uint8_t> data = zelkor_test::read_file(file);
    std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    std::unordered_set<std::string> seen;
    std::vector<std::string> pieces;
    const size_t window = 8192;
    for (size_t w = 0; w < 32 && pieces.size() < limit; ++w) {
        size_t at = text.size() > window ? (text.size() - window) / 32 * w : 0;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
        for (std::string& p : split_words(text.substr(at, window)))
            if (pieces.size() < limit && seen.insert(p).second) pieces.push_back(std::move(p));
    }
    return pieces;
}

void put_utf8(std::string& s, uint32_t cp) {
    static const uint32_t lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
    int n = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
    s += char(lead[n] | (cp >> (6 * (n - 1))));
    for (int k = n - 2; k >= 0; --k) s += char(0x80 | ((cp >> (6 * k)) & 0x3F));
}

class EncoderAgrees : public zelkor_test::BothVocabs {};

TEST_P(EncoderAgrees, OnCorpusWords) {
    std::vector<std::string> files = zelkor_test::corpus_files();
    if (files.empty()) GTEST_SKIP() << "no corpus at " << zelkor_test::corpus_dir();
    for (const std::string& f : files) {
        SCOPED_TRACE(f);
        check_all(vocab(), corpus_pieces(f, 4000));
    }
}

TEST_P(EncoderAgrees, OnRandomInput) {
    std::mt19937 rng(1);
    std::vector<std::string> pieces;
    // Common CJK, kana, hangul, accented Latin, Cyrillic, emoji, private use.
    const uint32_t ranges[][2] = {{0x4E00, 0x4FFF}, {0x3040, 0x30FF}, {0xAC00, 0xAC80}, {0xC0, 0x17F},
                                  {0x400, 0x45F},   {0x1F600, 0x1F64F}, {0x61, 0x7A}, {0xE000, 0xE010}};
    for (int i = 0; i < 3000; ++i) {
        // Mostly high bytes and a few letters: odd lengths, broken UTF-8.
        std::string s(1 + rng() % 24, '\0');
        for (char& c : s) c = char(rng() % 3 == 0 ? 'a' + rng() % 4 : 0x80 + rng() % 0x70);
        pieces.push_back(s);
        std::string raw(1 + rng() % 16, '\0');
        for (char& c : raw) c = char(rng());
        pieces.push_back(raw);
        std::string text;
        for (int k = 1 + int(rng() % 10); k > 0; --k) {
            const auto& r = ranges[rng() % std::size(ranges)];
            put_utf8(text, r[0] + rng() % (r[1] - r[0] + 1));
        }
        pieces.push_back(text);
    }
    // Printable ASCII of every kind, short and long: the trigram lookup and
    // the walk on past it, inside the greedy pass and the search.
    for (int i = 0; i < 2000; ++i) {
        std::string p(1 + rng() % (i % 10 == 0 ? 300 : 40), '\0');
        for (char& c : p) c = char(0x20 + rng() % 95);
        pieces.push_back(p);
    }
    // Long pieces: the backtracking search and the growth of its scratch.
    std::string letters, cjk, ab;
    for (int i = 0; i < 400; ++i) letters += char('a' + rng() % 26);
    for (int i = 0; i < 120; ++i) put_utf8(cjk, 0x4E00 + rng() % 64);
    for (int i = 0; i < 150; ++i) ab += "ab";
    for (const std::string& s : {std::string(400, 'a'), std::string(333, ' '), std::string(301, '7'), letters, cjk,
                                 ab, "strawberry" + std::string(100, 'r') + "hythm"})
        pieces.push_back(s);
    check_all(vocab(), pieces);
}

// The longest token at the start of s[0..n), by asking the byte map for
// every length from the longest down.
uint32_t longest_by_map(const Vocab& v, const uint8_t* s, size_t n) {
    for (size_t len = std::min<size_t>(n, 256); len > 0; --len)
        if (uint32_t id = v.find_id(s, len); id != zelkor::NONE) return id;
    return zelkor::NONE;
}

// Every printable trigram, alone and followed by each kind of byte, and
// every longer token's leading bytes with one byte more and one less: the
// three-byte lookup and the walk it hands over to.
TEST_P(EncoderAgrees, LongestMatchOnPrintableAscii) {
    const Vocab& v = vocab();
    const uint8_t after[] = {'e', ' ', '0', '~', 0x0A, 0x80, 0xC3, 0xFF};
    int wrong = 0;
    uint8_t s[5];
    for (uint32_t a = 0x20; a < 0x7F; ++a)
        for (uint32_t b = 0x20; b < 0x7F; ++b)
            for (uint32_t c = 0x20; c < 0x7F; ++c) {
                s[0] = uint8_t(a), s[1] = uint8_t(b), s[2] = uint8_t(c);
                s[3] = after[(a + b + c) % std::size(after)];
                s[4] = after[(a * b + c) % std::size(after)];
                for (size_t n : {3, 4, 5})
                    if (zelkor::longest_prefix_token(v, s, n) != longest_by_map(v, s, n) && ++wrong < 5)
                        ADD_FAILURE() << "trigram " << char(a) << char(b) << char(c) << " n=" << n;
            }
    std::mt19937 rng(9);
    for (uint32_t t = 0; t < v.n; ++t) {
        if (v.token_lens[t] < 4) continue;
        std::string w(reinterpret_cast<const char*>(v.token_data(t)), v.token_lens[t]);
        w += char(0x20 + rng() % 95);
        for (size_t n : {size_t(3), size_t(4), w.size() - 2, w.size() - 1, w.size()})
            if (zelkor::longest_prefix_token(v, u8(w), n) != longest_by_map(v, u8(w), n) && ++wrong < 5)
                ADD_FAILURE() << "token " << t << " n=" << n;
    }
    // Bytes outside 0x20-0x7E at each of the first three places.
    for (uint8_t odd : {uint8_t(0x09), uint8_t(0x0A), uint8_t(0x1F), uint8_t(0x7F), uint8_t(0x80), uint8_t(0xE4)})
        for (int at = 0; at < 3; ++at) {
            uint8_t p[4] = {'i', 'n', 'g', 's'};
            p[at] = odd;
            if (zelkor::longest_prefix_token(v, p, 4) != longest_by_map(v, p, 4)) ADD_FAILURE() << int(odd) << "@" << at;
        }
    EXPECT_EQ(wrong, 0);
}

// Pairs of two-byte characters from the scripts that use them, followed by
// a byte of each kind and cut at every length, and every token that starts
// with two such characters or one and a lead byte, cut the same way: where
// the pair's bit lets the match end at the first character, and where it
// does not.
TEST_P(EncoderAgrees, LongestMatchOnTwoByteCharacters) {
    const Vocab& v = vocab();
    // Latin-1, Greek, Cyrillic, Hebrew, Arabic and NKo letters.
    const std::pair<uint32_t, uint32_t> blocks[] = {{0xA0, 0x100}, {0x391, 0x3CA}, {0x410, 0x450},
                                                    {0x5D0, 0x5EB}, {0x620, 0x64B}, {0x7C0, 0x7C8}};
    std::vector<uint32_t> cps;
    for (auto [from, to] : blocks)
        for (uint32_t c = from; c < to; ++c) cps.push_back(c);
    auto put = [](uint8_t* p, uint32_t c) {
        p[0] = uint8_t(0xC0 | c >> 6);
        p[1] = uint8_t(0x80 | (c & 0x3F));
    };
    const uint8_t after[] = {' ', 'a', 0x80, 0xD7, 0xE4};
    int wrong = 0;
    uint8_t s[6];
    for (size_t i = 0; i < cps.size(); ++i)
        for (size_t j = 0; j < cps.size(); ++j) {
            put(s, cps[i]);
            put(s + 2, cps[j]);
            s[4] = after[(i + j) % std::size(after)];
            s[5] = 0x80 | uint8_t(j & 0x3F);
            for (size_t n = 4; n <= 6; ++n)
                if (zelkor::longest_prefix_token(v, s, n) != longest_by_map(v, s, n) && ++wrong < 5)
                    ADD_FAILURE() << std::hex << "U+" << cps[i] << " U+" << cps[j] << " n=" << n;
        }
    for (uint32_t t = 0; t < v.n; ++t) {
        const uint8_t* b = v.token_data(t);
        if (v.token_lens[t] < 3 || !zelkor::is_two_byte_char(b[0], b[1]) ||
            !zelkor::is_two_byte_lead(b[2]))
            continue;
        std::string w(reinterpret_cast<const char*>(b), v.token_lens[t]);
        for (uint8_t next : {uint8_t(0x80), uint8_t(0xBF), uint8_t('x')}) {
            const std::string x = w + char(next) + char(0x90);
            for (size_t n = 3; n <= x.size(); ++n) {
                const uint8_t* p = u8(x);
                if (zelkor::longest_prefix_token(v, p, n) != longest_by_map(v, p, n) && ++wrong < 5)
                    ADD_FAILURE() << "token " << t << " n=" << n;
            }
        }
    }
    EXPECT_EQ(wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(Both, EncoderAgrees, zelkor_test::both_vocabs(), zelkor_test::vocab_name);

// Threads share the vocabulary and its memo but not their scratch.
TEST(PieceEncoder, ThreadsAgree) {
    const Vocab* v = data_vocab("o200k.vocab");
    ASSERT_NE(v, nullptr);
    std::mt19937 rng(4);
    std::vector<std::string> pieces(400);
    std::vector<Ids> expect;
    for (std::string& s : pieces) {
        for (int k = 2 + int(rng() % 120); k > 0; --k) s += "abrst "[rng() % 6];
        expect.push_back(zelkor_test::bpe_reference(*v, u8(s), s.size()));
    }
    int wrong[2] = {0, 0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 2; ++k)
        threads.emplace_back([&, k] {
            for (int round = 0; round < 4; ++round)
                for (size_t i = 0; i < pieces.size(); ++i) {
                    size_t at = k ? pieces.size() - 1 - i : i;
                    wrong[k] += encode(*v, pieces[at], round & 1) != expect[at];
                }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong[0] + wrong[1], 0);
}

}  // namespace
