// Helpers shared by the fuzz targets: a check that stops the run with a
// readable line, and a reader that turns fuzzer bytes into choices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

// Aborts so that libFuzzer records the input and prints the stack.
#define FUZZ_CHECK(cond)                                                              \
    do {                                                                              \
        if (!(cond)) {                                                                \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                             \
        }                                                                             \
    } while (0)

namespace fuzz {

inline uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }

inline bool starts_with(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

inline bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// Consumes the fuzzer's bytes front to back; past the end it yields zeros.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : p_(data), left_(size) {}

    bool done() const { return left_ == 0; }
    uint8_t byte() {
        if (left_ == 0) return 0;
        --left_;
        return *p_++;
    }
    uint32_t u16() { return uint32_t(byte()) | uint32_t(byte()) << 8; }
    // Up to `n` raw bytes, fewer when the input runs out.
    std::string_view bytes(size_t n) {
        if (n > left_) n = left_;
        std::string_view s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        left_ -= n;
        return s;
    }

private:
    const uint8_t* p_;
    size_t left_;
};

// Well-formed UTF-8, checked by decoding: shortest form, no surrogates,
// nothing above U+10FFFF.
inline bool valid_utf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const uint8_t b = uint8_t(s[i]);
        size_t w;
        uint32_t cp, min;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            w = 2, cp = b & 0x1Fu, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            w = 3, cp = b & 0x0Fu, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            w = 4, cp = b & 0x07u, min = 0x10000;
        } else {
            return false;
        }
        if (s.size() - i < w) return false;
        for (size_t k = 1; k < w; ++k) {
            const uint8_t c = uint8_t(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = cp << 6 | (c & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += w;
    }
    return true;
}

}  // namespace fuzz
