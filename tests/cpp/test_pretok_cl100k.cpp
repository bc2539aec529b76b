#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pretok_harness.h"
#include "pretok_cl100k.h"
#include "uclass.h"

namespace zelkor {
namespace {

using zelkor_test::Pieces;

const UClass& classes() { return zelkor_test::builtin_classes<UClass>("uniclass.bin"); }

Pieces split(const std::string& s) {
    const pretok::CpClasses<3> c(classes());
    return zelkor_test::split_checked(
        s, [&](const uint8_t* t, size_t n, auto&& sink) { split_cl100k(classes(), t, n, sink); },
        [&](const uint8_t* t, size_t n, size_t pos) { return pretok::cl100k_general(c, t, n, pos); });
}

TEST(Cl100kSplit, WorkedExamples) {
    const std::string IDEO_SPACE = "\xE3\x80\x80";  // U+3000
    const struct {
        std::string text;
        Pieces pieces;
    } cases[] = {
        {"", {}},
        {"Hello world", {"Hello", " world"}},
        {"  world", {" ", " world"}},
        {"don't", {"don", "'t"}},
        {"'sure", {"'s", "ure"}},
        {"'llama", {"'ll", "ama"}},
        {"'ll", {"'ll"}},
        {"'LL", {"'LL"}},
        {"'Ve'rE'S", {"'Ve", "'rE", "'S"}},
        {"'x", {"'x"}},
        {"'", {"'"}},
        {"12345", {"123", "45"}},
        {"x\xC2\xB2\xC2\xB3", {"x", "\xC2\xB2\xC2\xB3"}},
        {"?!\n\nx", {"?!\n\n", "x"}},
        {" ...", {" ..."}},
        {"\t...", {"\t", "..."}},
        {"\tfoo", {"\tfoo"}},
        {"a.b", {"a", ".b"}},
        {"a\n\n  b", {"a", "\n\n", " ", " b"}},
        {"a\n  ", {"a", "\n", "  "}},
        {"a  ", {"a", "  "}},
        {"\r\n", {"\r\n"}},
        {"x" + IDEO_SPACE + IDEO_SPACE + "y", {"x", IDEO_SPACE, IDEO_SPACE + "y"}},
        {"      ", {"      "}},
        {"ab\xC3\xA9" "cd", {"ab\xC3\xA9" "cd"}},
        {"1\xC2\xB2", {"1\xC2\xB2"}},
        {" \xC3\xA9" "abc", {" \xC3\xA9" "abc"}},
        // A CJK run is one letter run.
        {"\xE4\xB8\xAD\xE6\x96\x87 ok", {"\xE4\xB8\xAD\xE6\x96\x87", " ok"}},
        // Emoji (above the BMP) are other.
        {"hi \xF0\x9F\x98\x80\xF0\x9F\x98\x80!", {"hi", " \xF0\x9F\x98\x80\xF0\x9F\x98\x80!"}},
    };
    for (const auto& tc : cases) EXPECT_EQ(split(tc.text), tc.pieces) << tc.text;
}

TEST(Cl100kSplit, RawBytesReadAsLatin1) {
    const struct {
        std::string text;
        Pieces pieces;
    } cases[] = {
        {"\xAA" "bc", {"\xAA" "bc"}},          // U+00AA is a letter
        {"!\x80?", {"!\x80?"}},                 // U+0080 is other
        {"\xE4\xB6", {"\xE4", "\xB6"}},         // cut-short lead: a letter, then other
        {"\xE4", {"\xE4"}},
        {"a\xA0" "b", {"a", "\xA0" "b"}},       // U+00A0 is whitespace and leads
        {"a \x85" "b", {"a", " ", "\x85" "b"}}, // U+0085 too
        {"7\xB2\xB3", {"7\xB2\xB3"}},           // U+00B2, U+00B3 are numbers
        {"\xFF\xFE", {"\xFF\xFE"}},             // U+00FF, U+00FE are letters
        // A 4-byte lead with three bytes after is decoded whatever they are.
        {"\xF0" "abc", {"\xF0" "abc"}},
    };
    for (const auto& tc : cases) EXPECT_EQ(split(tc.text), tc.pieces);
}

TEST(Cl100kSplit, ArbitraryBytesAlwaysTile) {
    const std::string alphabet =
        std::string("aZ09 '\n\r\t.!/sS") + "\x80\xAA\xB2\xA0\x85\xC3\xA9\xE3\x80\xF0\x9F\xFF";
    zelkor_test::split_random_texts(split, alphabet, 0x9E3779B97F4A7C15u, true);
}

TEST(Cl100kSplit, AsciiWindowsAgreeWithTheScanner) {
    zelkor_test::split_ascii_texts(split);
}

TEST(Cl100kSplit, TwoByteLettersInTheWindowsAgreeWithTheScanner) {
    zelkor_test::split_two_byte_texts(split);
}

// Runs of each kind that the fast path scans, at lengths around the 16-byte
// blocks, followed by a byte of 0x80 or above (or the end of the text).
TEST(Cl100kSplit, FastPathHandsOverAtBlockBoundaries) {
    const std::string after[] = {"",         "\xC3\xA9",     "\xC2\xB2",         "\xC2\xA0",
                                 "\xE3\x80\x80", "\xE2\x80\x94", "\xCC\x81",     "\xF0\x9F\x98\x80",
                                 "\x80",     "\xAA",         "\xE4"};
    const std::string tails[] = {"", "x", " ", "1", "\n"};
    for (size_t len : {1, 2, 15, 16, 17, 31, 32, 33}) {
        const std::string runs[] = {
            std::string(len, 'a'),
            std::string(" ").append(len, 'b'),
            std::string("'").append(len, 'C'),
            std::string(len, ' '),
            std::string(len, '\n'),
            std::string(len, '!'),
            std::string(" ").append(len, '-'),
            std::string(len > 2 ? 2 : len, '7')};
        for (const auto& run : runs)
            for (const auto& a : after)
                for (const auto& tail : tails) split(run + a + tail);

        const std::string word(len, 'q');
        EXPECT_EQ(split(word + "\xC3\xA9" "cd"), Pieces{word + "\xC3\xA9" "cd"});
        EXPECT_EQ(split(" " + word + "\xC3\xA9"), Pieces{" " + word + "\xC3\xA9"});
        EXPECT_EQ(split(std::string(len, ' ') + "\xC2\xA0" "x"),
                  (Pieces{std::string(len, ' '), "\xC2\xA0" "x"}));
        EXPECT_EQ(split(std::string(len, '!') + "\xE2\x80\x94" "x"),
                  (Pieces{std::string(len, '!') + "\xE2\x80\x94", "x"}));
        EXPECT_EQ(split(word), Pieces{word});
        EXPECT_EQ(split(std::string(len, ' ')), Pieces{std::string(len, ' ')});
    }
    EXPECT_EQ(split("12\xC2\xB2"), Pieces{"12\xC2\xB2"});
    EXPECT_EQ(split("123\xC2\xB2"), (Pieces{"123", "\xC2\xB2"}));
}

TEST(Cl100kSplit, LastLineBreakOfAWhitespaceRun) {
    for (size_t at : {0, 1, 14, 15, 16, 17, 31, 32, 38, 39}) {
        std::string ws(40, ' ');
        ws[at] = '\n';
        if (at >= 3) ws[at - 3] = '\r';  // an earlier break in the same block
        const size_t rest = 39 - at;
        Pieces want{ws.substr(0, at + 1)};
        if (rest >= 2) want.push_back(std::string(rest - 1, ' '));
        want.push_back(rest >= 1 ? " x" : "x");
        EXPECT_EQ(split(ws + "x"), want) << at;
    }
}

// A whitespace run that crosses the end of a 64-byte window.
TEST(Cl100kSplit, WhitespaceRunAcrossTheWindowEnd) { zelkor_test::whitespace_across_window_end(split); }

}  // namespace
}  // namespace zelkor
