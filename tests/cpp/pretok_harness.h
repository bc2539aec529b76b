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

}  // namespace zelkor_test
