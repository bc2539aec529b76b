// Shared by the pre-tokenizer tests: the built-in class tables, and a
// splitter that checks every piece as it comes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "builtin_images.h"
#include "uclass.h"

namespace zelkor_test {

using Pieces = std::vector<std::string>;

// The class set of the built-in image `file`, loaded once per type.
template <class UC>
const UC& builtin_classes(const char* file) {
    static const zelkor::Expected<UC> uc = [file] {
        const zelkor::Image img = zelkor::builtin_image(file);
        return UC::from_bytes(img.data, img.size, file);
    }();
    EXPECT_TRUE(uc.ok()) << uc.error();
    return uc.value();
}

// Splits a copy of s held in an exact-size heap buffer (so ASan reports any
// read past the end) with split(text, len, sink), checks that the pieces tile
// it, and checks at every piece start that general(text, len, pos), the
// general path alone, finds the same piece.
template <class Split, class General>
Pieces split_checked(const std::string& s, Split&& split, General&& general) {
    const std::vector<uint8_t> buf(s.begin(), s.end());
    const uint8_t* t = buf.data();
    Pieces out;
    size_t pos = 0;
    split(t, buf.size(), [&](const uint8_t* piece, size_t n) {
        EXPECT_EQ(piece, t + pos);
        EXPECT_GE(n, 1u);
        EXPECT_EQ(general(t, buf.size(), pos), pos + n) << "at " << pos;
        pos += n;
        out.emplace_back(reinterpret_cast<const char*>(piece), n);
    });
    EXPECT_EQ(pos, buf.size());
    return out;
}

// Random texts over alphabets weighted towards the bytes that switch rules,
// long enough for the 64-byte windows, each given to split(text), which
// checks it against the general path. With `raw`, one byte in five is any
// byte at all.
template <class Split>
void split_random_texts(Split&& split, const std::string& alphabet, uint64_t seed, bool raw) {
    uint64_t x = seed;
    const auto next = [&] { return x ^= x << 13, x ^= x >> 7, x ^= x << 17; };
    for (int round = 0; round < 2000; ++round) {
        std::string s(next() % 300, '\0');
        for (char& ch : s) {
            const uint64_t r = next();
            ch = raw && (r >> 32) % 5 == 0 ? char(r >> 40) : alphabet[(r >> 8) % alphabet.size()];
        }
        split(s);
    }
}

// ASCII texts for the 64-byte windows, and now and then a byte of 0x80 or
// above that cuts a window short.
template <class Split>
void split_ascii_texts(Split&& split) {
    const std::string ascii = "aaaabcdeXYZQWtsm    \t\n\n\r\x0b" "0123456789..,;()''/--_=";
    split_random_texts(split, ascii, 0xD1B54A32D192ED03u, false);
    split_random_texts(split, "ab \n/'1", 0x2545F4914F6CDD1Du, false);
    split_random_texts(split, ascii + ascii + "\xC3\xA9", 0x6A09E667F3BCC909u, false);
}

// Texts of whole characters for the windows' two-byte characters: accented
// letters of both cases, Cyrillic, the two-byte characters that are no
// letter of one case (a space, a number, a mark, a modifier and a title-case
// letter) and two-byte signs (Latin-1, Hebrew and Arabic punctuation and
// symbols, which alone lead the letters after them), among ASCII words; now
// and then a lead byte without its continuation. Every length of text up to
// a few windows, so that the characters meet the window ends and the padded
// last window.
template <class Split>
void split_two_byte_texts(Split&& split) {
    const std::vector<std::string> units = {
        "a", "e", "t", "S", "Q", " ", " ", "\n", "'", "s", ".", ",", "1", "/", "\r\n",
        "\xC3\xA9", "\xC3\xA9", "\xC3\x89", "\xC3\xBC", "\xC3\x9F", "\xD0\xB4", "\xD0\x94",
        "\xCE\xB1", "\xC2\xA0", "\xC2\xAB", "\xC2\xB2", "\xCC\x81", "\xCA\xB0", "\xC7\x85",
        "\xC3", "\xE2\x80\x99", "!", "\xC2\xA9", "\xC2\xB7", "\xC3\x97", "\xC2\xBF",
        "\xD6\xBE", "\xD8\x8C"};
    uint64_t x = 0x3C6EF372FE94F82Bu;
    const auto next = [&] { return x ^= x << 13, x ^= x >> 7, x ^= x << 17; };
    for (int round = 0; round < 3000; ++round) {
        std::string s;
        const size_t len = next() % 200;
        while (s.size() < len) s += units[next() % units.size()];
        split(s);
    }
    // A lead byte at the very end: the padding after it must not pass for
    // its continuation.
    for (size_t k = 15; k < 130; ++k) {
        split(std::string(k, 'a') + "\xC3");
        split(std::string(k, 'a') + "\xC3\xA9");
        split(std::string(k - 1, 'a') + " \xC3\xA9\xC3\xA9");
    }
}

// A whitespace run that crosses the end of a 64-byte window: only the text
// after the window shows which line break is the last. The same pieces
// under both pre-tokenizers.
template <class Split>
void whitespace_across_window_end(Split&& split) {
    for (size_t k = 48; k < 66; ++k)
        for (size_t m = 1; m < 20; m += 3) {
            const std::string word(k, 'a'), blanks(m, ' '), rest(80, 'b');
            EXPECT_EQ(split(word + "\n" + blanks + "\n" + rest), (Pieces{word, "\n" + blanks + "\n", rest}));
            EXPECT_EQ(split(word + "\n" + blanks + "\t" + rest), (Pieces{word, "\n", blanks, "\t" + rest}));
        }
}

}  // namespace zelkor_test
