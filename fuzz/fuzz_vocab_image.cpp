// Vocabulary images of any shape: the parser either fails with one
// "zelkor: " message naming the source, or builds a vocabulary whose
// tables agree with the records of the image.
#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "mb.h"
#include "vocab.h"

using namespace zelkor;

namespace {

constexpr std::string_view SOURCE = "fuzz.vocab";

struct Record {
    std::string bytes;
    bool seen = false;
};

// A walk of the image by the format alone. `records` is filled by rank
// when the image is well formed.
bool well_formed(const uint8_t* data, size_t size, std::vector<Record>& records) {
    if (size < 4) return false;
    const uint32_t n = fuzz::le32(data);
    if (n == 0 || n > MAX_TOKENS) return false;
    records.assign(n, Record{});
    size_t off = 4;
    for (uint32_t i = 0; i < n; ++i) {
        if (size - off < 2) return false;
        const uint32_t len = fuzz::le16(data + off);
        off += 2;
        if (len == 0 || len > 255 || size - off < len + 4) return false;
        const uint32_t rank = fuzz::le32(data + off + len);
        if (rank >= n || records[rank].seen) return false;
        records[rank].bytes.assign(reinterpret_cast<const char*>(data + off), len);
        records[rank].seen = true;
        off += len + 4;
    }
    return off == size;
}

bool has_every_byte(const std::vector<Record>& records) {
    bool have[256] = {};
    for (const Record& r : records)
        if (r.bytes.size() == 1) have[uint8_t(r.bytes[0])] = true;
    for (bool h : have)
        if (!h) return false;
    return true;
}

std::string_view token(const Vocab& v, TokenId t) {
    return {reinterpret_cast<const char*>(v.token_data(t)), v.token_lens[t]};
}

std::string_view view(const uint8_t* p, size_t n) { return {reinterpret_cast<const char*>(p), n}; }

// The longest prefix of s that some token spells, by brute force.
size_t longest_prefix_len(const std::map<std::string, TokenId, std::less<>>& ids,
                          std::string_view s) {
    for (size_t k = std::min<size_t>(s.size(), 255); k > 0; --k)
        if (ids.count(s.substr(0, k))) return k;
    return 0;
}

void check_prefix_walk(const Vocab& v, const std::map<std::string, TokenId, std::less<>>& ids,
                       const uint8_t* s, size_t n) {
    const TokenId t = longest_prefix_token(v, s, n);
    const size_t want = longest_prefix_len(ids, view(s, n));
    if (want == 0) {
        FUZZ_CHECK(t == NONE);
    } else {
        FUZZ_CHECK(t < v.n);
        FUZZ_CHECK(token(v, t) == view(s, want));
    }
    // Duplicate byte strings may give another id with the same bytes.
    const TokenId m = nm_mb(v, s, n);
    FUZZ_CHECK(m == t || (m < v.n && t < v.n && token(v, m) == token(v, t)));
}

void check_encode(const Vocab& v, const uint8_t* s, size_t n, bool unique_bytes) {
    IdVec a, b;
    encode_piece(v, s, n, a);
    encode_mb(v, s, n, b);
    std::string back;
    for (TokenId t : a) {
        FUZZ_CHECK(t < v.n);
        back += token(v, t);
    }
    FUZZ_CHECK(back == view(s, n));
    if (unique_bytes)
        FUZZ_CHECK(a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin()));
}

void check_valid(const Vocab& v, const std::vector<Record>& records, const uint8_t* data,
                 size_t size) {
    const uint32_t n = uint32_t(records.size());
    FUZZ_CHECK(v.n == n);
    FUZZ_CHECK(v.token_starts.size() == size_t(n) + 1 && v.token_lens.size() == n);
    FUZZ_CHECK(v.token_starts[0] == 0 && v.token_starts[n] == v.token_bytes.size());

    // Duplicate byte strings: the highest id is the one found.
    std::map<std::string, TokenId, std::less<>> ids;
    for (TokenId t = 0; t < n; ++t) {
        FUZZ_CHECK(v.token_starts[t + 1] - v.token_starts[t] == v.token_lens[t]);
        FUZZ_CHECK(token(v, t) == records[t].bytes);
        ids[records[t].bytes] = t;
    }
    for (TokenId t = 0; t < n; ++t) {
        const std::string& b = records[t].bytes;
        FUZZ_CHECK(v.find_id(reinterpret_cast<const uint8_t*>(b.data()), b.size()) == ids[b]);
        // A token's own bytes are their own longest prefix.
        const TokenId p = longest_prefix_token(v, reinterpret_cast<const uint8_t*>(b.data()), b.size());
        FUZZ_CHECK(p < n && token(v, p) == b);

        const Split sp = v.split_table[t];
        if (sp.left == t && sp.right == t) continue;
        FUZZ_CHECK(sp.left < t && sp.right < t);
        FUZZ_CHECK(std::string(token(v, sp.left)) + std::string(token(v, sp.right)) == b);
        // A later duplicate of t takes over the pair.
        const TokenId m = v.pair_find(sp.left, sp.right);
        FUZZ_CHECK(m < n && token(v, m) == b);
    }
    FUZZ_CHECK(v.find_id(data, 0) == NONE);

    // Byte strings taken from the image itself: mostly no token, some
    // tokens, some token prefixes.
    const bool every_byte = has_every_byte(records);
    for (size_t start = 0; start < size; start += 1 + start / 4) {
        const size_t len = std::min<size_t>(size - start, 1 + (start * 7) % 40);
        const uint8_t* s = data + start;
        const auto it = ids.find(view(s, len));
        FUZZ_CHECK(v.find_id(s, len) == (it == ids.end() ? NONE : it->second));
        check_prefix_walk(v, ids, s, len);
        if (every_byte) check_encode(v, s, len, ids.size() == n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<Record> records;
    const bool formed = well_formed(data, size, records);
    auto r = Vocab::from_bytes(data, size, SOURCE);
    if (!r) {
        const std::string& msg = r.error();
        FUZZ_CHECK(fuzz::starts_with(msg, "zelkor: "));
        FUZZ_CHECK(fuzz::ends_with(msg, std::string(": ") + std::string(SOURCE)));
        // A well-formed image may still be refused for a byte without a
        // token of its own, or for a trie beyond the node limit.
        if (formed && has_every_byte(records))
            FUZZ_CHECK(fuzz::starts_with(msg, "zelkor: trie too large"));
        return 0;
    }
    FUZZ_CHECK(formed);
    check_valid(**r, records, data, size);
    return 0;
}
