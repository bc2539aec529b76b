// The compiled vocabulary: token bytes, the bytes -> id map, the byte trie
// flattened into lookup tables, and the merge structures behind the
// pair-validity test.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "expected.h"
#include "id_vec.h"

namespace zelkor {

// Packed 64-bit tables keep an id in 18 bits; this value means "no token".
inline constexpr uint32_t PACKED_NONE = 0x3FFFF;
inline constexpr uint32_t MAX_TOKENS = 262144;   // 2^18
inline constexpr uint32_t MAX_NODES = 0xFFFFF;   // node numbers fit 20 bits

inline uint64_t golden_slot(uint64_t key, uint64_t mask) {
    return ((key * 0x9E3779B97F4A7C15ull) >> 40) & mask;
}

// Map from a token's bytes to its id (the highest id wins for duplicates).
// Open addressing over the token storage of the owning Vocab.
class ByteIdMap {
public:
    // Inserts (bytes of t -> t) for t = 0 .. n-1; the bytes live in
    // `token_bytes`/`token_starts` of the same Vocab.
    void build(const uint8_t* token_bytes, const uint32_t* token_starts, uint32_t n);
    // NONE when the bytes are no token.
    TokenId find(const uint8_t* token_bytes, const uint32_t* token_starts,
                 const uint8_t* s, size_t len) const;
    // Number of distinct byte strings stored, and the sum of their lengths.
    size_t entries() const { return entries_; }
    uint64_t key_bytes() const { return key_bytes_; }

private:
    std::vector<uint32_t> slots_;  // id + 1, 0 = empty
    uint64_t mask_ = 0;
    size_t entries_ = 0;
    uint64_t key_bytes_ = 0;
};

struct Split {
    uint32_t left;
    uint32_t right;
};

struct Vocab {
    uint32_t n = 0;

    // Byte storage and direct lookups.
    std::vector<uint8_t> token_bytes;
    std::vector<uint32_t> token_starts;  // n + 1 entries
    std::vector<uint8_t> token_lens;     // n entries
    ByteIdMap by_bytes;

    // The trie, compiled.
    std::vector<int32_t> node_token;
    uint32_t root_next[256] = {};
    std::vector<uint32_t> two_node;     // 65536, index b0*256 + b1
    std::vector<int32_t> two_token;     // 65536
    std::vector<uint32_t> three_node;   // 65536, index = code point of E0..EF xx xx
    std::vector<int32_t> three_token;   // 65536
    std::vector<uint64_t> edge2;
    uint32_t edge2_mask = 0;
    uint32_t edge2_shift = 0;
    std::vector<uint64_t> edge1;
    uint32_t edge1_mask = 0;

    // Merge structures.
    std::vector<int32_t> prefix_token;  // n
    std::vector<Split> split_table;     // n
    std::vector<uint64_t> pair_table;
    uint32_t pair_mask = 0;
    bool wide_memo = false;
    // Exactly one of the memos is allocated; entries are read and written
    // with relaxed atomics by any number of threads.
    std::unique_ptr<std::atomic<uint16_t>[]> pair_memo16;
    size_t pair_memo16_len = 0;
    std::unique_ptr<std::atomic<uint32_t>[]> pair_memo32;
    size_t pair_memo32_len = 0;

    // Validates the image and builds the index. `source` names the image in
    // error messages.
    static Expected<std::unique_ptr<Vocab>> from_bytes(const uint8_t* image, size_t len,
                                                       std::string_view source);

    TokenId find_id(const uint8_t* s, size_t len) const {
        return by_bytes.find(token_bytes.data(), token_starts.data(), s, len);
    }
    const uint8_t* token_data(TokenId t) const { return token_bytes.data() + token_starts[t]; }

    // Heap footprint of the tables, counted by element numbers.
    uint64_t footprint() const;
};

// Would byte-level BPE over bytes(left) + bytes(right) end with exactly these
// two tokens? Both ids must be below n. Goes through the shared memo.
bool is_valid_pair(const Vocab& v, TokenId left, TokenId right);

// The longest token that is a prefix of s[0..n), or NONE (n == 0 included).
TokenId longest_prefix_token(const Vocab& v, const uint8_t* s, size_t n);

// Appends the BPE ids of `piece` to `out`. `first` must be
// longest_prefix_token of the whole piece.
void encode_with_first(const Vocab& v, const uint8_t* piece, size_t n, TokenId first, IdVec& out);

}  // namespace zelkor
