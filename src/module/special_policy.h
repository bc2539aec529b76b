// The allowed/disallowed special-token policy of `encode`.
#pragma once

#include <Python.h>

#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "specials.h"

namespace zelkor::py {

// The special-token strings of one tokenizer, prepared once per object so
// that the default policy ("every special is disallowed") costs one pass
// over the text instead of one search per special.
class SpecialIndex {
public:
    explicit SpecialIndex(const SpecialList& specials);

    const std::vector<const Special*>& table() const { return table_; }
    bool is_special(std::string_view s) const;
    // The byte-wise smallest special string that occurs in text and for
    // which skip() is false; empty view when there is none.
    template <class Skip>
    std::string_view smallest_occurring(std::string_view text, Skip&& skip) const;

private:
    std::vector<std::string_view> sorted_;  // unique, ascending byte-wise
    std::vector<const Special*> table_;     // table order
    bool first_byte_[256] = {};
};

// A set of strings as `allowed_special`/`disallowed_special` give it: either
// every special-token string of the encoding ("all", or the default) or the
// caller's own strings, ordered byte-wise.
struct SpecialSet {
    bool all = false;
    std::set<std::string, std::less<>> items;

    bool contains(const SpecialIndex& index, std::string_view s) const {
        return all ? index.is_special(s) : items.find(s) != items.end();
    }
};

// Reads one policy argument; `value` is null when it was omitted or None.
bool to_set(PyObject* value, bool default_all, SpecialSet& out);

// The specials of `allowed` in table order. With "all" the index's own table
// is returned and `storage` stays unused.
const std::vector<const Special*>& allowed_list(const SpecialIndex& index, const SpecialSet& allowed,
                                                std::vector<const Special*>& storage);

// Raises the disallowed-token ValueError (and returns false) if a string of
// `disallowed` that is not in `allowed` occurs in text. Members are tried in
// ascending order; the first that occurs is reported.
bool check_disallowed(const SpecialIndex& index, const SpecialSet& allowed,
                      const SpecialSet& disallowed, std::string_view text);

// "..." with the escapes of a debug representation.
std::string debug_quote(std::string_view s);

// ---- template implementation ----

template <class Skip>
std::string_view SpecialIndex::smallest_occurring(std::string_view text, Skip&& skip) const {
    const size_t n = sorted_.size();
    size_t best = n;
    const auto* t = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t p = 0; p < text.size() && best > 0; ++p) {
        if (!first_byte_[t[p]]) continue;
        // [lo, hi) holds the strings that begin with text[p .. p + k); the
        // ones of length exactly k sort first and are matches here.
        size_t lo = 0, hi = best;
        for (size_t k = 0;; ++k) {
            while (lo < hi && sorted_[lo].size() == k) {
                if (!skip(sorted_[lo])) {
                    best = lo;  // smallest match at p, and below the old best
                    hi = lo;
                    break;
                }
                ++lo;
            }
            if (lo >= hi || p + k >= text.size()) break;
            const unsigned char c = t[p + k];
            auto byte_at = [k](std::string_view s) { return static_cast<unsigned char>(s[k]); };
            size_t a = lo, b = hi;  // first index with byte >= c
            while (a < b) {
                size_t m = (a + b) / 2;
                if (byte_at(sorted_[m]) < c) a = m + 1; else b = m;
            }
            size_t e = a, f = hi;  // first index with byte > c
            while (e < f) {
                size_t m = (e + f) / 2;
                if (byte_at(sorted_[m]) <= c) e = m + 1; else f = m;
            }
            lo = a;
            hi = e;
        }
    }
    return best < n ? sorted_[best] : std::string_view();
}

}  // namespace zelkor::py
