#include "utf8_decode.h"

#include <cstring>

namespace zelkor::py {

namespace {

// Length of the well-formed sequence at s[i] (1..4), or 0 when it is
// ill-formed; then `bad` is the length of its maximal subpart, or 0 when the
// input ends inside an otherwise well-formed prefix.
size_t sequence_at(const uint8_t* s, size_t n, size_t i, size_t& bad) {
    uint8_t b0 = s[i];
    if (b0 < 0x80) return 1;
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        if (b0 == 0xE0) lo = 0xA0;       // no overlong forms
        else if (b0 == 0xED) hi = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        if (b0 == 0xF0) lo = 0x90;
        else if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        bad = 1;  // continuation byte, C0, C1 or F5..FF as a lead
        return 0;
    }
    for (size_t k = 1; k < need; ++k) {
        if (i + k >= n) {
            bad = 0;
            return 0;
        }
        uint8_t b = s[i + k];
        uint8_t l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
        if (b < l || b > h) {
            bad = k;
            return 0;
        }
    }
    return need;
}

// Index of the first non-ASCII byte at or after i.
size_t skip_ascii(const uint8_t* s, size_t n, size_t i) {
    while (i + 8 <= n) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        if (w & 0x8080808080808080ull) break;
        i += 8;
    }
    while (i < n && s[i] < 0x80) ++i;
    return i;
}

}  // namespace

bool utf8_validate(const uint8_t* s, size_t n, Utf8Error& err) {
    size_t i = 0;
    while ((i = skip_ascii(s, n, i)) < n) {
        size_t bad = 0;
        size_t len = sequence_at(s, n, i, bad);
        if (len == 0) {
            err.valid_up_to = i;
            err.error_len = bad;
            return false;
        }
        i += len;
    }
    return true;
}

std::string utf8_repair(const uint8_t* s, size_t n, Repair policy) {
    static constexpr char FFFD[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(n + n / 2);
    size_t i = 0;
    size_t run = 0;  // start of the pending stretch of valid bytes
    auto flush = [&](size_t end) { out.append(reinterpret_cast<const char*>(s) + run, end - run); };
    while ((i = skip_ascii(s, n, i)) < n) {
        size_t bad = 0;
        size_t len = sequence_at(s, n, i, bad);
        if (len == 3 && policy == Repair::Ignore && std::memcmp(s + i, FFFD, 3) == 0) {
            flush(i);  // a genuine U+FFFD goes the same way as a replaced one
            i += 3;
            run = i;
            continue;
        }
        if (len) {
            i += len;
            continue;
        }
        flush(i);
        if (policy == Repair::Replace) out.append(FFFD, 3);
        i += bad ? bad : n - i;
        run = i;
    }
    flush(n);
    return out;
}

}  // namespace zelkor::py
