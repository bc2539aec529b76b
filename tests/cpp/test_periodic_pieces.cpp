// Long pieces through the piece encoder against the merge-loop BPE: runs and
// repeated patterns (taken chunk by chunk), the same with a different head or
// tail, repetition that stops midway, and hard text without repetition.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bpe_reference.h"
#include "mb.h"
#include "periodic_piece.h"
#include "test_support.h"

using zelkor::IdVec;
using zelkor::Vocab;
using Ids = std::vector<uint32_t>;

namespace {

const uint8_t* u8(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

std::string repeat(std::string_view unit, size_t bytes) {
    std::string s;
    while (s.size() < bytes) s += unit;
    s.resize(bytes);
    return s;
}

std::string random_of(std::mt19937& rng, std::string_view alphabet, size_t bytes) {
    std::string s(bytes, ' ');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
}

// Both entry points on one piece, appended behind an id that is already
// there, against the reference; "" when all agree.
std::string disagreement(const Vocab& v, const std::string& s) {
    const Ids ref = zelkor_test::bpe_reference_long(v, u8(s), s.size());
    for (bool mb : {false, true}) {
        IdVec out;
        out.push_back(7);
        if (mb) {
            zelkor::encode_mb(v, u8(s), s.size(), out);
        } else {
            zelkor::encode_piece(v, u8(s), s.size(), out);
        }
        if (out[0] != 7 || Ids(out.begin() + 1, out.end()) != ref)
            return mb ? "encode_mb differs" : "encode_piece differs";
    }
    return {};
}

void check_all(const Vocab& v, const std::vector<std::pair<std::string, std::string>>& pieces) {
    int failures = 0;
    for (const auto& [name, piece] : pieces) {
        std::string why = disagreement(v, piece);
        if (why.empty()) continue;
        ADD_FAILURE() << why << ": " << name << " (" << piece.size() << " bytes)";
        if (++failures == 5) return;
    }
}

class LongPieces : public zelkor_test::BothVocabs {};

// Every printable ASCII character and the whitespace ones, as a run, a run
// behind a space or a letter, and a run with a different last byte.
TEST_P(LongPieces, RunsOfEveryAsciiCharacter) {
    std::vector<std::pair<std::string, std::string>> pieces;
    for (int c = 32; c < 127; ++c) {
        const std::string run = repeat(std::string(1, char(c)), 3000);
        pieces.push_back({"run of " + std::string(1, char(c)), run});
        pieces.push_back({"space and run of " + std::string(1, char(c)), " " + run});
        pieces.push_back({"run of " + std::string(1, char(c)) + " and x", run + "x"});
    }
    for (const char* ws : {"\t", "\n", "\r", "\v", "\f", "\xC2\xA0", "\xE3\x80\x80", "\r\n"})
        pieces.push_back({"whitespace run", repeat(ws, 2500)});
    check_all(vocab(), pieces);
}

// Units of two to four characters, fixed and drawn at random, and longer
// units up to and past the longest that is looked for.
TEST_P(LongPieces, RepeatedPatterns) {
    std::mt19937 rng(17);
    std::vector<std::pair<std::string, std::string>> pieces;
    std::vector<std::string> units = {"ab", "-=", "+-", "<>", "/*", "_-", "\t ", " \n", "aB", "0.", "abc",
                                      "-=-", "+--", "1, ", "+--+", "abcd", "<!--", "=-=-", "ab1 "};
    for (int i = 0; i < 40; ++i) {
        std::string u;
        for (size_t k = 2 + rng() % 3; k > 0; --k) u += char(33 + rng() % 94);
        units.push_back(u);
    }
    for (size_t len : {7, 16, 33, 63, 64, 65, 100})
        units.push_back(random_of(rng, "abcdefghijklmnopqrstuvwxyz-=", len));
    for (const std::string& u : units) pieces.push_back({"pattern " + u, repeat(u, 3000 + rng() % 2000)});
    check_all(vocab(), pieces);
}

// Lengths around where chunking starts, and pieces whose repetition ends
// or changes part-way, so that the chunks and the rest meet at every kind
// of place.
TEST_P(LongPieces, RepetitionThatStops) {
    std::mt19937 rng(18);
    std::vector<std::pair<std::string, std::string>> pieces;
    for (size_t n : {1023, 1024, 1039, 1040, 1041, 1055, 1056, 1057, 1100, 1536, 2047, 2048, 2049})
        for (const char* u : {"-", "=", "ab", "+--+"}) pieces.push_back({"length " + std::to_string(n), repeat(u, n)});
    for (int i = 0; i < 40; ++i) {
        const std::string unit = random_of(rng, "-=*#/+_ab", 1 + rng() % 4);
        std::string s = random_of(rng, "xyz-", rng() % 20) + repeat(unit, 1100 + rng() % 3000);
        const int tail = int(rng() % 3);
        if (tail == 1) s += random_of(rng, "abcdefghijklmnopqrstuvwxyz", 200 + rng() % 2000);
        if (tail == 2) s += repeat(random_of(rng, "-=*#/+_", 1 + rng() % 3), 1100 + rng() % 2000);
        s.insert(s.size() / 2 + rng() % 64, 1, "!x="[rng() % 3]);
        pieces.push_back({"repetition that stops, unit " + unit, s});
    }
    check_all(vocab(), pieces);
}

// Text that does not repeat, and whole characters repeated: the usual
// search, with the memo and scratch of long pieces.
TEST_P(LongPieces, HardTextWithoutRepetition) {
    std::mt19937 rng(19);
    std::vector<std::pair<std::string, std::string>> pieces = {
        {"random letters", random_of(rng, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ", 6000)},
        {"DNA", random_of(rng, "ACGT", 6000)},
        {"protein", random_of(rng, "ACDEFGHIKLMNPQRSTVWY", 6000)},
        {"hex", random_of(rng, "0123456789abcdef", 6000)},
        {"base64", random_of(rng, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", 6000)},
        {"punctuation", random_of(rng, "!\"#$%&'()*+,-./:;<=>?@[\\]^_`{|}~", 6000)},
        {"CJK run", repeat("\xE4\xBD\xA0", 6000)},
        {"Hangul pair", repeat("\xEA\xB0\x80\xEB\x82\x98", 6000)},
        {"emoji run", repeat("\xF0\x9F\x98\x80", 6000)},
        {"combining marks", repeat("a\xCC\x81\xCC\x82\xCC\x83", 6000)},
    };
    check_all(vocab(), pieces);
}

// Long instances: tens of KiB of the shapes that were slowest.
TEST_P(LongPieces, TensOfKibibytes) {
    std::mt19937 rng(20);
    std::vector<std::pair<std::string, std::string>> pieces = {
        {"run of -", repeat("-", 40000)},        {"run of =", repeat("=", 40000).insert(0, 1, ' ')},
        {"pattern +--+", repeat("+--+", 40000)}, {"pattern ab", repeat("ab", 40000)},
        {"run of tabs", repeat("\t", 40000)},
        {"random lowercase", random_of(rng, "abcdefghijklmnopqrstuvwxyz", 40000)},
    };
    check_all(vocab(), pieces);
}

// The fast reference is the textbook one, on pieces short enough for both.
TEST_P(LongPieces, ReferencesAgree) {
    std::mt19937 rng(22);
    for (int i = 0; i < 300; ++i) {
        const std::string s = i % 2 ? random_of(rng, "ab-= \t", 1 + rng() % 200)
                                    : repeat(random_of(rng, "abcdefghijklmnopqrstuvwxyz", 1 + rng() % 3), 1 + rng() % 200);
        ASSERT_EQ(zelkor_test::bpe_reference_long(vocab(), u8(s), s.size()),
                  zelkor_test::bpe_reference(vocab(), u8(s), s.size()))
            << s;
    }
}

// The chunking itself at the chunk length of the long-piece store, from the
// shortest piece it takes on: the first stretch alone, the stretch and a
// short rest, and so on. A seam it refuses leaves `out` as it was; for runs
// of one character and the usual rules it must not refuse, or those lines
// would all fall back to the search.
TEST_P(LongPieces, ChunksFromTheFirstStretchOn) {
    using namespace zelkor::detail;
    std::mt19937 rng(23);
    std::vector<std::string> units;
    for (char c : std::string_view("!#$%&*+-./:;<=>?@\\^_|~")) units.emplace_back(1, c);
    for (const char* u : {"-=", "+--+", "\t", "ab"}) units.emplace_back(u);
    int failures = 0;
    for (const std::string& unit : units) {
        const size_t c = chunk_bytes(unit.size(), CHUNK_MIN_STORED);
        const size_t lo = first_stretch(c);
        for (size_t n = lo; n < lo + 3 * c + 40; n += 1 + rng() % 23) {
            const char* tail = std::array{"", "\n", "x"}[rng() % 3];
            const std::string s = repeat(unit, n) + tail;
            IdVec out;
            out.push_back(7);
            auto plain = [&](const uint8_t* p, size_t len, IdVec& o) {
                zelkor::encode_piece(vocab(), p, len, o);
            };
            const bool cut = encode_chunks(vocab(), u8(s), s.size(), c, out, plain);
            const Ids got(out.begin() + 1, out.end());
            ASSERT_EQ(out[0], 7u);
            if (!cut) {
                ASSERT_TRUE(got.empty()) << unit << " " << n;
                ADD_FAILURE() << "a seam refused: " << unit << " x " << n << " + '" << tail << "'";
            } else if (got != zelkor_test::bpe_reference_long(vocab(), u8(s), s.size())) {
                ADD_FAILURE() << "differs: " << unit << " x " << n << " + '" << tail << "'";
            } else {
                continue;
            }
            ASSERT_LT(++failures, 5);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Both, LongPieces, zelkor_test::both_vocabs(), zelkor_test::vocab_name);

// The unit found is the shortest, looked for a little way into the piece.
TEST(PiecePeriod, ShortestUnitAfterTheHead) {
    using zelkor::detail::piece_period;
    auto period = [](const std::string& s) { return piece_period(u8(s), s.size()); };
    EXPECT_EQ(period(repeat("-", 400).insert(0, 1, ' ')), 1u);
    EXPECT_EQ(period(repeat("abab", 400)), 2u);
    EXPECT_EQ(period(repeat("+--", 400)), 3u);
    std::mt19937 rng(21);
    const std::string unit64 = random_of(rng, "abcdefgh", 64);
    const std::string unit65 = random_of(rng, "abcdefgh", 65);
    EXPECT_EQ(period(repeat(unit64, 800)), 64u);
    EXPECT_EQ(period(repeat(unit65, 800)), 0u);
    EXPECT_EQ(period(random_of(rng, "abcdefgh", 800)), 0u);
    // Short pieces: the window shrinks to what the piece holds, and a
    // piece too short for it has no unit.
    const size_t shortest = zelkor::detail::PERIOD_PIECE_MIN;
    EXPECT_EQ(period(repeat("=-", shortest)), 2u);
    EXPECT_EQ(period(repeat(unit64, shortest)), 64u);
    EXPECT_EQ(period(repeat("-", shortest - 1)), 0u);
    // A break inside the window is no repetition.
    EXPECT_EQ(period(repeat("-", 60) + "x" + repeat("-", shortest)), 0u);
}

}  // namespace
