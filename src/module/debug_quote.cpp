// Debug quoting of a string for error messages: printable characters as they
// are, the rest escaped, between double quotes.
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>

#include "grapheme_extend_table.h"
#include "special_policy.h"

namespace zelkor::py {

namespace {

// Reads one code point of valid UTF-8 at s[i], advancing i.
uint32_t next_code_point(std::string_view s, size_t& i) {
    auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(s[k])); };
    uint32_t c = b(i);
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (i + len > s.size()) len = 1;  // not expected: the strings come from str objects
    if (len == 2) c = ((c & 0x1F) << 6) | (b(i + 1) & 0x3F);
    else if (len == 3) c = ((c & 0x0F) << 12) | ((b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
    else if (len == 4)
        c = ((c & 0x07) << 18) | ((b(i + 1) & 0x3F) << 12) | ((b(i + 2) & 0x3F) << 6) | (b(i + 3) & 0x3F);
    i += len;
    return c;
}

// Grapheme extenders (combining marks and the like) attach to the
// preceding character and would render onto the quote, so they are escaped.
bool is_grapheme_extender(uint32_t cp) {
    const uint32_t* runs = std::begin(GRAPHEME_EXTEND_RUNS);
    const uint32_t* end = std::end(GRAPHEME_EXTEND_RUNS);
    // The last run that starts at or before cp.
    const uint32_t* after = std::upper_bound(runs, end, cp << 8 | 0xFF);
    if (after == runs) return false;
    const uint32_t run = after[-1];
    return cp - (run >> 8) <= (run & 0xFF);
}

}  // namespace

std::string debug_quote(std::string_view s) {
    std::string q = "\"";
    for (size_t i = 0; i < s.size();) {
        const size_t start = i;
        const uint32_t cp = next_code_point(s, i);
        switch (cp) {
            case '"': q += "\\\""; continue;
            case '\\': q += "\\\\"; continue;
            case '\n': q += "\\n"; continue;
            case '\r': q += "\\r"; continue;
            case '\t': q += "\\t"; continue;
            case 0: q += "\\0"; continue;
            default: break;
        }
        // The interpreter's printable test is the one wanted here: controls,
        // format characters, separators, spaces other than ' ', private-use,
        // surrogates and unassigned code points are not printable.
        bool printable = cp < 0x80 ? (cp >= 0x20 && cp < 0x7F)
                                   : (Py_UNICODE_ISPRINTABLE(cp) && !is_grapheme_extender(cp));
        if (printable) {
            q.append(s.substr(start, i - start));
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            q += buf;
        }
    }
    q += '"';
    return q;
}

}  // namespace zelkor::py
