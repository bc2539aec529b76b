#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pretok_harness.h"
#include "pretok_o200k.h"
#include "uclass.h"

namespace zelkor {
namespace {

using zelkor_test::Pieces;

const UClassO& classes() { return zelkor_test::builtin_classes<UClassO>("uniclass_o200k.bin"); }

Pieces split(const std::string& s) {
    const pretok::CpClasses<5> c(classes());
    return zelkor_test::split_checked(
        s, [&](const uint8_t* t, size_t n, auto&& sink) { split_o200k(classes(), t, n, sink); },
        [&](const uint8_t* t, size_t n, size_t pos) { return pretok::o200k_general(c, t, n, pos); });
}

const std::string ACUTE = "\xCC\x81";           // U+0301, a mark: upper and lower
const std::string ZHONG = "\xE4\xB8\xAD";       // U+4E2D, Lo: upper and lower
const std::string DZ_TITLE = "\xC7\x85";        // U+01C5, Lt: upper only
const std::string MATH_A = "\xF0\x9D\x90\x80";  // U+1D400, Lu above the BMP
const std::string MATH_a = "\xF0\x9D\x90\x9A";  // U+1D41A, Ll above the BMP

TEST(O200kSplit, WorkedExamples) {
    const struct {
        std::string text;
        Pieces pieces;
    } cases[] = {
        {"", {}},
        {"HelloWorld", {"Hello", "World"}},
        {"parseHTML", {"parse", "HTML"}},
        {"HTMLParser", {"HTMLParser"}},
        {"HELLO world", {"HELLO", " world"}},
        {"don't", {"don't"}},
        {"They'RE", {"They'RE"}},
        {"'s", {"'s"}},
        {"x's'", {"x's", "'"}},
        {"I'm'll", {"I'm", "'ll"}},
        {"e" + ACUTE, {"e" + ACUTE}},
        {ACUTE + "abc", {ACUTE + "abc"}},
        {ZHONG + ZHONG + ZHONG, {ZHONG + ZHONG + ZHONG}},
        {"1234", {"123", "4"}},
        {"a.b", {"a", ".b"}},
        {"path/to/\n", {"path", "/to", "/\n"}},
        {")/\n\n", {")/\n\n"}},
        {"!\n/x", {"!\n/", "x"}},
        {"a\n  ", {"a", "\n", "  "}},
        {"a   b", {"a", "  ", " b"}},
        {"\r\n\r\n", {"\r\n\r\n"}},
        {"ab\xAA" "cd", {"ab\xAA" "cd"}},
        // Upper run without a lower after it: the match backs off to the
        // last code point of the run that is lower too.
        {"A" + ZHONG + "!", {"A" + ZHONG, "!"}},
        {ZHONG + "AB", {ZHONG, "AB"}},
        {ACUTE + DZ_TITLE, {ACUTE, DZ_TITLE}},
        {DZ_TITLE + "ab", {DZ_TITLE + "ab"}},
        {" " + MATH_A + MATH_a + "'s x", {" " + MATH_A + MATH_a + "'s", " x"}},
        {MATH_a + MATH_A, {MATH_a, MATH_A}},
    };
    for (const auto& tc : cases) EXPECT_EQ(split(tc.text), tc.pieces) << tc.text;
}

TEST(O200kSplit, WordMatchers) {
    const UClassO& uc = classes();
    const auto ul = [&](const std::string& s, size_t at = 0) {
        return o_match_ul(uc, reinterpret_cast<const uint8_t*>(s.data()), s.size(), at);
    };
    const auto upl = [&](const std::string& s, size_t at = 0) {
        return o_match_upl(uc, reinterpret_cast<const uint8_t*>(s.data()), s.size(), at);
    };
    EXPECT_EQ(ul("ABc!"), 3u);
    EXPECT_EQ(upl("ABc!"), 3u);
    EXPECT_EQ(ul("ABC"), 0u);
    EXPECT_EQ(upl("ABC"), 3u);
    EXPECT_EQ(ul("abC"), 2u);
    EXPECT_EQ(upl("abC"), 0u);
    EXPECT_EQ(ul("A" + ZHONG + "B"), 4u);
    EXPECT_EQ(upl("A" + ZHONG + "B"), 5u);
    EXPECT_EQ(ul("!abc", 1), 4u);
    EXPECT_EQ(ul("!"), 0u);
    EXPECT_EQ(upl("!"), 0u);
    EXPECT_EQ(ul("ab", 2), 0u);
    // A 16-byte block of capitals then a small letter.
    EXPECT_EQ(ul(std::string(17, 'Q') + "q"), 18u);
}

TEST(O200kSplit, ArbitraryBytesAlwaysTile) {
    const std::string alphabet = std::string("aZ09 '\n\r\t.!/sS") +
                                 "\x80\xAA\xB2\xA0\x85\xC3\xA9\xE3\x80\xF0\x9F\xFF\xCC\x81\xC7\x85";
    zelkor_test::split_random_texts(split, alphabet, 0x9E3779B97F4A7C15u, true);
}

TEST(O200kSplit, AsciiWindowsAgreeWithTheScanner) {
    zelkor_test::split_ascii_texts(split);
}

TEST(O200kSplit, TwoByteLettersInTheWindowsAgreeWithTheScanner) {
    zelkor_test::split_two_byte_texts(split);
}

TEST(O200kSplit, FastPathHandsOverAtBlockBoundaries) {
    const std::string after[] = {"",           "\xC3\xA9", "\xC3\x89", "\xC2\xB2",     "\xC2\xA0",
                                 "\xE3\x80\x80", ACUTE,    ZHONG,      DZ_TITLE,       MATH_A,
                                 "\xE2\x80\x94", "\x80",   "\xAA",     "\xF0\x9F\x98\x80"};
    const std::string tails[] = {"", "x", "X", " ", "1", "'s", "\n/"};
    for (size_t len : {1, 2, 15, 16, 17, 31, 32, 33}) {
        const std::string runs[] = {
            std::string(len, 'a'),
            std::string(len, 'A'),
            std::string("Ab").append(len, 'c'),
            std::string(" ").append(len, 'B'),
            std::string("(").append(len, 'd'),
            std::string(len, ' '),
            std::string(len, '\n'),
            std::string(len, '!'),
            std::string(" ").append(len, '-'),
            std::string(len > 2 ? 2 : len, '7')};
        for (const auto& run : runs)
            for (const auto& a : after)
                for (const auto& tail : tails) split(run + a + tail);

        const std::string caps(len, 'K'), smalls(len, 'k');
        EXPECT_EQ(split(caps + "\xC3\xA9"), Pieces{caps + "\xC3\xA9"});
        EXPECT_EQ(split(caps + "\xC3\x89" "x"), Pieces{caps + "\xC3\x89" "x"});
        EXPECT_EQ(split(caps + smalls + "\xC3\x89"), (Pieces{caps + smalls, "\xC3\x89"}));
        EXPECT_EQ(split(caps + ZHONG + "!"), (Pieces{caps + ZHONG, "!"}));
        EXPECT_EQ(split(std::string(len, ' ') + "\xC2\xA0" "x"),
                  (Pieces{std::string(len, ' '), "\xC2\xA0" "x"}));
        EXPECT_EQ(split(caps), Pieces{caps});
        EXPECT_EQ(split(smalls + "'ll"), Pieces{smalls + "'ll"});
    }
}

// A whitespace run that crosses the end of a 64-byte window.
TEST(O200kSplit, WhitespaceRunAcrossTheWindowEnd) { zelkor_test::whitespace_across_window_end(split); }

}  // namespace
}  // namespace zelkor
