// The compiled vocabulary: token bytes, the bytes -> id map, the byte trie
// flattened into lookup tables, and the merge structures behind the
// pair-validity test.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

// edge1 entries: bit 18 says the node reached has child edges.
inline constexpr uint64_t EDGE1_HAS_CHILDREN = 1ull << 18;

// The printable ASCII bytes 0x20-0x7E, three at a time.
inline constexpr uint32_t TRI_SIDE = 95;
inline constexpr uint32_t TRI_ENTRIES = TRI_SIDE * TRI_SIDE * TRI_SIDE;
// tri_token entries: an index into tri_ids, or TRI_ASK for "walk the three
// bytes", and TRI_LONGER.
inline constexpr uint32_t TRI_LONGER = 0x8000;
inline constexpr uint32_t TRI_ASK = 0x7FFF;
// tri_ids entries: the id in the low bits, its length (1 to 3) above.
inline constexpr uint32_t TRI_LEN_SHIFT = 24;
inline constexpr uint32_t TRI_ID_MASK = (1u << TRI_LEN_SHIFT) - 1;

// A trigram that longer tokens start with: its answer as in tri_ids, and
// which fourth bytes go on to a longer token: bit c - 0x20 for a printable
// c, bit 95 for any other byte that does. Most trigrams go on with two or
// three bytes, so the longest match nearly always ends here, without a
// probe of the large two-byte step table.
struct TriLonger {
    uint32_t packed;
    uint32_t next[3];
};
inline constexpr uint32_t TRI_NEXT_OTHER = 95;

// The tri_token index of s[0..3), or TRI_ENTRIES when a byte is not printable.
inline uint32_t tri_index(const uint8_t* s) {
    const uint32_t a = s[0] - 0x20u, b = s[1] - 0x20u, c = s[2] - 0x20u;
    if ((a >= TRI_SIDE) | (b >= TRI_SIDE) | (c >= TRI_SIDE)) return TRI_ENTRIES;
    return (a * TRI_SIDE + b) * TRI_SIDE + c;
}

inline uint64_t golden_slot(uint64_t key, uint64_t mask) {
    return ((key * 0x9E3779B97F4A7C15ull) >> 40) & mask;
}

// Characters of two bytes in UTF-8, and the bit of a pair of them in
// two_char_next.
inline constexpr uint32_t TWO_CHAR_FIRST = 0x80;
inline constexpr uint32_t TWO_CHAR_COUNT = 0x800 - TWO_CHAR_FIRST;
inline constexpr uint32_t TWO_CHAR_WORDS = TWO_CHAR_COUNT * TWO_CHAR_COUNT / 64;

inline bool is_two_byte_lead(uint8_t b) { return uint32_t(b - 0xC2) <= 0xDF - 0xC2; }

inline bool is_two_byte_char(uint8_t lead, uint8_t cont) {
    return is_two_byte_lead(lead) && (cont & 0xC0) == 0x80;
}

// The bit of the characters s[0..2) and s[2..4), both of two bytes.
inline uint32_t two_char_bit(const uint8_t* s) {
    const uint32_t a = (uint32_t(s[0] & 0x1F) << 6 | (s[1] & 0x3F)) - TWO_CHAR_FIRST;
    const uint32_t b = (uint32_t(s[2] & 0x1F) << 6 | (s[3] & 0x3F)) - TWO_CHAR_FIRST;
    return a * TWO_CHAR_COUNT + b;
}

// Hash of a 36-bit edge2 key (node << 16 | two bytes). A bijection, so the
// home slot plus the 25 tag bits kept in the entry identify the key.
inline uint64_t edge2_hash(uint64_t key) {
    constexpr uint64_t M36 = (1ull << 36) - 1;
    uint64_t h = ((key ^ (key >> 18)) * 0x97F4A7C15ull) & M36;
    return h ^ (h >> 18);
}

// The label of a one-byte step in the step filter (a two-byte step's label
// is its bytes, c0 << 8 | c1).
inline constexpr uint32_t STEP_LABEL_ONE = 0x10000;

// Where the step filter keeps a step: the steps of a node share one line of
// eight words (chosen by the node), and a step sets two bits of one of them.
struct StepBits {
    size_t word;
    uint64_t bits;
};

inline StepBits step_bits(uint32_t node, uint32_t label, uint32_t shift) {
    const uint64_t line = (uint64_t(node) * 0xC2B2AE3D27D4EB4Full) >> shift;
    const uint64_t h = ((uint64_t(node) << 17) | label) * 0x9E3779B97F4A7C15ull;
    return {size_t((line << 3) | (h >> 61)),
            (uint64_t(1) << ((h >> 40) & 63)) | (uint64_t(1) << ((h >> 46) & 63))};
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
    // Slot: hash tag in bits 31..19, id + 1 in bits 18..0; 0 = empty. The
    // tag saves a byte comparison on almost every mismatching probe.
    std::vector<uint32_t> slots_;
    uint64_t mask_ = 0;
    size_t entries_ = 0;
    uint64_t key_bytes_ = 0;
};

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

struct Split {
    uint32_t left;
    uint32_t right;
};

// A merge-hints blob as written by merge_hints_blob(); empty for none.
struct MergeHintsBlob {
    const uint8_t* data = nullptr;
    size_t size = 0;
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
    // One bit per index of three_token: some token is longer than those
    // three bytes and starts with them. Without it, the longest token at a
    // three-byte character is three_token, and no walk is needed.
    std::vector<uint64_t> three_longer;  // 1024 words
    // Indexed by three printable ASCII bytes (tri_index): where tri_ids
    // holds the longest token within them, with TRI_LONGER set when some
    // token is longer than the three bytes and starts with them. Text that
    // does not repeat (hashes, base64, random words) has its matches end
    // within three bytes most of the time, and this answers them in two
    // reads from small tables instead of a failed two-byte step and an
    // odd-byte probe. Two bytes an entry: the answers are few (the two-byte
    // rows and the three-byte tokens), and any past 32767 are TRI_ASK.
    // With TRI_LONGER set, the index is into tri_longer instead.
    std::vector<uint16_t> tri_token;  // TRI_ENTRIES
    std::vector<uint32_t> tri_ids;    // < TRI_ASK, id | length << TRI_LEN_SHIFT
    std::vector<TriLonger> tri_longer;  // < TRI_ASK
    // The token words (token_info) of the answers in tri_ids and of the
    // three-byte answers in tri_longer, by the same index: the search reads
    // the word of every match, and these few lines stay in cache where the
    // token words of the same tokens, spread over all of token_info, do not.
    std::vector<uint64_t> tri_info;
    std::vector<uint64_t> tri_longer_info;
    // One bit per two two-byte characters (code points 0x80-0x7FF, see
    // two_char_bit): some token starts with the first and the lead byte of
    // the second, or with both whole. Text of the scripts that take two
    // bytes a letter (Greek, Cyrillic, Hebrew, Arabic, accented Latin) that
    // does not repeat has its matches end at the first character most of
    // the time, and this tells so without the two probes of the large step
    // tables that find nothing.
    std::vector<uint64_t> two_char_next;
    std::vector<uint64_t> edge2;
    uint32_t edge2_mask = 0;
    uint32_t edge2_shift = 0;
    std::vector<uint64_t> edge1;
    uint32_t edge1_mask = 0;
    // Two bits per step of edge2 and edge1 (see step_bits). Text in the
    // scripts of two bytes a letter (alone or mixed with ASCII) ends most
    // walks with a step that is not there, and a probe of the large tables
    // for it misses the processor's caches; the lines of the nodes such text
    // goes through stay in them.
    std::vector<uint64_t> step_filter;
    uint32_t step_filter_shift = 0;

    // Merge structures.
    std::vector<int32_t> prefix_token;  // n
    std::vector<Split> split_table;     // n
    std::vector<uint64_t> pair_table;
    uint32_t pair_mask = 0;
    // One bit per hash of a pair_table key, 16 bits per token: most pairs
    // the pair test asks about are no merge, and this answers them from a
    // table small enough to stay in cache.
    std::vector<uint64_t> pair_filter;
    uint32_t pair_filter_shift = 64;
    // Ids of 2^17 and more make the memo's keys 36 bits wide, not 34.
    bool wide_memo = false;
    // Sets are read and written whole with relaxed atomics by any number of
    // threads (a lost entry is only asked again). It comes from calloc, so
    // its pages stay untouched until a pair is first remembered.
    std::unique_ptr<std::atomic<uint64_t>[], FreeDeleter> pair_memo;
    size_t pair_memo_len = 0;
    // Per token, what the piece encoder's search reads of it, in one word
    // (see info_word): its length, its prefix token, and what the seam rule
    // of the pair test needs (see seam_refutes). Per two bytes, the merge of
    // their two tokens, for the seam rule.
    std::vector<uint64_t> token_info;
    std::vector<uint32_t> byte_pair_merge;  // 65536, first byte << 8 | second
    uint32_t own_byte[256] = {};            // each byte's token (the seam rule's)

    // Validates the image and builds the index. `source` names the image in
    // error messages. `hints`, when it holds the merge hints of exactly this
    // image (see merge_hints.h), spares the search for every token's split;
    // hints of another image are ignored.
    static Expected<std::unique_ptr<Vocab>> from_bytes(const uint8_t* image, size_t len,
                                                       std::string_view source,
                                                       const MergeHintsBlob& hints = {});

    TokenId find_id(const uint8_t* s, size_t len) const {
        return by_bytes.find(token_bytes.data(), token_starts.data(), s, len);
    }
    const uint8_t* token_data(TokenId t) const { return token_bytes.data() + token_starts[t]; }

    // Heap footprint of the tables, counted by element numbers.
    uint64_t footprint() const;

    // The token of a single byte, NONE when there is none.
    TokenId single_byte_token(uint8_t b) const {
        uint32_t r = root_next[b];
        return r ? TokenId(node_token[r]) : NONE;
    }

    // The edge2 entry of the two-byte step from `node`, 0 when absent.
    uint64_t edge2_find(uint32_t node, uint32_t c0, uint32_t c1) const {
        uint64_t h = edge2_hash((uint64_t(node) << 16) | (c0 << 8) | c1);
        uint64_t want = (1ull << 25) | (h & 0x1FFFFFF);
        const uint64_t* t = edge2.data();
        for (uint64_t s = h >> edge2_shift;; s = (s + 1) & edge2_mask) {
            uint64_t e = t[s];
            if ((e >> 38) == want) return e;
            if (e == 0) return 0;
        }
    }

    // The edge1 entry of the one-byte step from `node`, 0 when absent.
    uint64_t edge1_find(uint32_t node, uint32_t c) const {
        uint64_t key = (uint64_t(node) << 8) | c;
        const uint64_t* t = edge1.data();
        for (uint64_t s = golden_slot(key, edge1_mask);; s = (s + 1) & edge1_mask) {
            uint64_t e = t[s];
            if ((e >> 19) == key + 1) return e;
            if (e == 0) return 0;
        }
    }

    // False when no step with this label leaves `node`.
    bool step_maybe(uint32_t node, uint32_t label) const {
        const StepBits b = step_bits(node, label, step_filter_shift);
        return (step_filter[b.word] & b.bits) == b.bits;
    }

    // edge2_find and edge1_find for walks where the step is often absent.
    uint64_t edge2_step(uint32_t node, uint32_t c0, uint32_t c1) const {
        return step_maybe(node, (c0 << 8) | c1) ? edge2_find(node, c0, c1) : 0;
    }
    uint64_t edge1_step(uint32_t node, uint32_t c) const {
        return step_maybe(node, STEP_LABEL_ONE | c) ? edge1_find(node, c) : 0;
    }

    // False when (left, right) is certainly no merge.
    bool pair_maybe(uint32_t left, uint32_t right) const {
        uint64_t bit = (((uint64_t(left) << 18) | right) * 0x9E3779B97F4A7C15ull) >> pair_filter_shift;
        return (pair_filter[bit >> 6] >> (bit & 63)) & 1;
    }

    // The merged id of (left, right), NONE when the pair is no merge.
    TokenId pair_find(uint32_t left, uint32_t right) const {
        uint64_t key = (uint64_t(left) << 18) | right;
        const uint64_t* t = pair_table.data();
        for (uint64_t s = golden_slot(key, pair_mask);; s = (s + 1) & pair_mask) {
            uint64_t e = t[s];
            if ((e >> 19) == key + 1) return TokenId(e & 0x7FFFF);
            if (e == 0) return NONE;
        }
    }
};

// A longest match: the token and its length in bytes (0 with NONE).
struct TokenMatch {
    TokenId id;
    uint32_t len;
    // The token's word from token_info where the matcher had it at hand, 0
    // where not (no token's word is 0: it holds the length).
    uint64_t info = 0;
};

// The word of a match's token.
inline uint64_t match_info(const Vocab& v, const TokenMatch& m) {
    return m.info ? m.info : v.token_info[m.id];
}

// The longest token at the start of s[0..m), m >= 2, and its length: what
// the piece encoder's passes ask at every position.
using Matcher = TokenMatch (*)(const Vocab& v, const uint8_t* s, size_t m);

namespace detail {

// A record of a validated image: where its bytes start and how many.
struct TokenRef {
    uint32_t offset;
    uint32_t len;
};

// Builds every table of `v` from the n records in rank order. Returns the
// complete error message, or an empty string on success.
// `hints`, if not null, is the split of every token as the merge search
// would find it; a hint that cannot be right makes the builder search after
// all.
std::string build_index(Vocab& v, const uint8_t* image, const TokenRef* refs, uint32_t n,
                        std::string_view source, const Split* hints);

// The pair test without the memo.
bool pair_valid_uncached(const Vocab& v, TokenId left, TokenId right);

}  // namespace detail

// The memo: 2^17 sets of three entries, each set one 64-bit word, 1 MiB
// for every vocabulary. On text that does not repeat its reads miss the
// second-level cache, which it shares with the token words and the merge
// filter: at 2 MiB most shapes of such text ran slower, although a few
// long random pieces ask about more pairs than this holds (random
// lowercase, 124,000 distinct pairs in 512 KiB). Three ways to a set lose
// fewer answers to collisions than one entry per slot.
// An entry is the pair's tag above the answer, the newest entry lowest; 0
// is empty, so the one pair of tag 0 and answer false in each set is never
// kept, and asked afresh each time.
inline constexpr unsigned MEMO_SET_BITS = 17;
inline constexpr unsigned MEMO_WAYS = 3;

// Where the memo keeps the answer for (left, right): its set, and the tag
// that tells it from the other pairs of that set. The key is multiplied by
// an odd number modulo 2^bits, a bijection: set and tag together identify
// the pair, and one multiplication mixes every key bit into the set bits.
struct MemoSlot {
    size_t slot;
    uint32_t tag;
};

// Ids below 2^17 make a 34-bit key, below 2^18 (wide) a 36-bit one: tags of
// 16 or 18 bits, entries of 17 or 19, three to a word.
template <bool wide>
inline constexpr unsigned MEMO_ID_BITS = wide ? 18 : 17;
template <bool wide>
inline constexpr unsigned MEMO_TAG_BITS = 2 * MEMO_ID_BITS<wide> - MEMO_SET_BITS;

template <bool wide>
inline MemoSlot memo_slot_of(TokenId left, TokenId right) {
    constexpr unsigned id_bits = MEMO_ID_BITS<wide>, tag_bits = MEMO_TAG_BITS<wide>;
    const uint64_t h = (((uint64_t(left) << id_bits) | right) * 0x9E3779B97F4A7C15ull) &
                       ((uint64_t(1) << (2 * id_bits)) - 1);
    return {size_t(h >> tag_bits), uint32_t(h & ((uint64_t(1) << tag_bits) - 1))};
}

static_assert(MEMO_WAYS * (MEMO_TAG_BITS<true> + 1) <= 64);
// A set is one lock-free word: a lock inside an atomic could be copied held
// into a forked child.
static_assert(std::atomic<uint64_t>::is_always_lock_free);

// token_info entries: from bit 0 and bit 18 the id of the merge that first
// takes in the token's first and its last byte while BPE builds it
// (SEAM_NEVER for a token of one byte; 0, no claim, where the end is not a
// byte token of its own), from bit 36 the prefix token + 1 (0 for none),
// from bit 55 the length, and bit 63 set when its split's right part is two
// bytes long.
inline constexpr uint32_t SEAM_NEVER = 0x3FFFF;  // above every merge but one of the last id
inline constexpr uint32_t SEAM_NO_MERGE = 0xFFFFFFFF;  // byte_pair_merge: none

inline uint64_t info_word(uint32_t first_until, uint32_t last_until, int32_t prefix, uint32_t len,
                          bool right_two) {
    return first_until | uint64_t(last_until) << 18 | uint64_t(uint32_t(prefix + 1)) << 36 |
           uint64_t(len) << 55 | uint64_t(right_two) << 63;
}
inline uint32_t info_first_until(uint64_t w) { return uint32_t(w) & 0x3FFFF; }
inline uint32_t info_last_until(uint64_t w) { return uint32_t(w >> 18) & 0x3FFFF; }
inline int32_t info_prefix(uint64_t w) { return int32_t((w >> 36) & 0x7FFFF) - 1; }
// (A token is at most 255 bytes long, so eight bits hold its length.)
inline uint32_t info_len(uint64_t w) { return uint32_t(w >> 55) & 0xFF; }
// The token's split ends in a part of two bytes.
inline bool info_right_two(uint64_t w) { return w >> 63; }

// True when BPE over left + right certainly merges the two bytes at the
// seam, the last of `left` and the first of `right` (`l` and `r` their
// info words): that merge comes before either byte is taken into its own
// token. On text that does not repeat, most of the pairs the test refuses
// are refused so, from two small tables instead of the memo, which misses
// the processor's caches on such text. (A merge of the last id against
// SEAM_NEVER is left to the full test.)
inline bool seam_refutes(uint32_t seam_merge, uint64_t l, uint64_t r) {
    return seam_merge < info_last_until(l) && seam_merge < info_first_until(r);
}

// The merge of the two bytes at the seam (SEAM_NO_MERGE for none).
inline uint32_t seam_merge(const Vocab& v, uint8_t last_byte, uint8_t first_byte) {
    return v.byte_pair_merge[uint32_t(last_byte) << 8 | first_byte];
}

inline bool seam_refutes(const Vocab& v, uint64_t l, uint64_t r, uint8_t last_byte,
                         uint8_t first_byte) {
    return seam_refutes(seam_merge(v, last_byte, first_byte), l, r);
}

// The pair test through the shared memo only.
template <bool wide>
inline bool memo_valid_pair_in(const Vocab& v, TokenId left, TokenId right) {
    constexpr unsigned bits = MEMO_TAG_BITS<wide> + 1;
    constexpr uint64_t entry_mask = (uint64_t(1) << bits) - 1;
    constexpr uint64_t ways_mask = (uint64_t(1) << (MEMO_WAYS * bits)) - 1;
    const MemoSlot m = memo_slot_of<wide>(left, right);
    std::atomic<uint64_t>& set = v.pair_memo[m.slot];
    const uint64_t w = set.load(std::memory_order_relaxed);
    for (unsigned i = 0; i < MEMO_WAYS; ++i) {
        const uint64_t e = (w >> (i * bits)) & entry_mask;
        if (e != 0 && (e >> 1) == m.tag) return e & 1;
    }
    const bool ok = detail::pair_valid_uncached(v, left, right);
    set.store(((w << bits) | uint64_t(m.tag) << 1 | uint64_t(ok)) & ways_mask,
              std::memory_order_relaxed);
    return ok;
}

inline bool memo_valid_pair(const Vocab& v, TokenId left, TokenId right) {
    return v.wide_memo ? memo_valid_pair_in<true>(v, left, right)
                       : memo_valid_pair_in<false>(v, left, right);
}

// Whether the pair test after the seam rule (pair_after_seam) may take
// `left` (info word `l`), kept as the longest match at its start: a token of
// one byte, or one whose split ends in its own last byte (no part of left
// can claim left's own id: parts have lower ids), or in a token of the last
// two bytes that ends in its own last byte (the id left's word claims for
// its last byte is then that token's). The loops ask this once per token
// they keep, not once per pair they test: on text where it seldom holds
// (runs of mixed whitespace, five pair tests a token) the test of each pair
// cost that text a seventh of its speed.
inline bool left_plain(TokenId left, uint64_t l) {
    const uint32_t until = info_last_until(l);
    return (info_len(l) == 1) | (until == left) | (info_right_two(l) & (until != 0));
}

// Whether right (info word `r`) is a byte token of its own, and whether
// right's split starts with its own first byte.
inline bool right_is_own_byte(uint64_t r) {
    return (info_len(r) == 1) & (info_first_until(r) == SEAM_NEVER);
}
inline bool right_starts_with_own_byte(TokenId right, uint64_t r) {
    return info_first_until(r) == right;
}

// The pair test once the seam rule has passed the pair, for a `left` that
// was the longest match at its start in the text the pair comes from and is
// plain (left_plain), and a `right` that is its own byte (`right_byte`) or
// starts with it: 1 valid, 0 not, -1 not known here. No merge of left
// with any prefix of right exists (it would have been a longer match), so
// of the full test's walk down the two splits only the merges of left's
// proper suffixes are left: none for a token of one byte; else its own last
// byte and, where its split ends in two bytes, the token of those. With
// right's split starting with its own first byte (or right that byte), the
// walk is short, and the merge of the two bytes at the seam in it is the
// one the seam rule has checked. Each other merge it meets is ruled out
// by the merge filter or left to the memo (whose hot entries, on text that
// repeats, answered faster than a probe of the merge table). On text that
// does not repeat this answers most of the pairs the memo would be asked,
// and the memo's reads there miss the processor's caches.
inline int pair_after_seam(const Vocab& v, TokenId left, uint64_t l, TokenId right,
                           bool right_byte, uint32_t seam_merge, uint8_t last_byte,
                           uint8_t first_byte) {
    if (info_len(l) == 1) return 1;
    const uint32_t until = info_last_until(l);
    if (until == left) {
        // left's spine: left, its last byte.
        if (right_byte || left <= right) return 1;
        // Right came first. The seam rule passed merges after right; one
        // that is right itself is the same two bytes met further left,
        // which BPE merges first.
        if (seam_merge == right) return 0;
        return v.pair_maybe(v.own_byte[last_byte], right) ? -1 : 1;
    }
    // left's spine: left, the token of its last two bytes (`until`), its
    // last byte. Where right came after left, a merge of `two` with right
    // would come later still (a merge's id is above its parts'), too late.
    const TokenId two = until;
    const TokenId first = v.own_byte[first_byte];
    if (left <= right) return right_byte || !v.pair_maybe(two, first) ? 1 : -1;
    if (v.pair_maybe(two, right)) return -1;
    if (right_byte) return 1;
    if (two <= right) return v.pair_maybe(two, first) ? -1 : 1;
    if (seam_merge == right) return 0;
    return v.pair_maybe(v.own_byte[last_byte], right) ? -1 : 1;
}

// Would byte-level BPE over bytes(left) + bytes(right) end with exactly these
// two tokens? Both ids must be below n. The loops of the piece encoder pass
// what they hold: the info words, the two bytes at the seam, and whether
// left was the longest match at its start and plain (left_plain).
inline bool is_valid_pair(const Vocab& v, TokenId left, uint64_t left_info, TokenId right,
                          uint64_t right_info, uint8_t last_byte, uint8_t first_byte,
                          bool left_longest_plain) {
    const uint32_t merge = seam_merge(v, last_byte, first_byte);
    if (seam_refutes(merge, left_info, right_info)) return false;
    // Asked together, in one branch, with whether right starts plainly: on
    // text where right seldom does (CJK, whose characters' tokens split into
    // two bytes and one), asking after a branch on left alone cost 2-3%.
    const bool right_byte = right_is_own_byte(right_info);
    if (left_longest_plain & (right_byte | right_starts_with_own_byte(right, right_info))) {
        const int known =
            pair_after_seam(v, left, left_info, right, right_byte, merge, last_byte, first_byte);
        if (known >= 0) return known;
    }
    return memo_valid_pair(v, left, right);
}

inline bool is_valid_pair(const Vocab& v, TokenId left, TokenId right) {
    return is_valid_pair(v, left, v.token_info[left], right, v.token_info[right],
                         v.token_bytes[v.token_starts[left + 1] - 1],
                         v.token_bytes[v.token_starts[right]], false);
}

// `t` with its length read from token_lens.
inline TokenMatch match_of(const Vocab& v, TokenId t) {
    return {t, t != NONE ? uint32_t(v.token_lens[t]) : 0u};
}

// The longest token that is a prefix of s[0..n), with its length, or NONE
// (n == 0 included). Two bytes per probe; edge1 only for an odd byte where
// the walk ends. Three printable bytes are looked up at once first. The
// passes step on by the length, so it comes from where the walk ends where
// it can (a trigram answer, an odd last byte), and token_lens is read only
// for a token of a two-byte step, which may end after either byte.
[[gnu::always_inline]] inline TokenMatch longest_prefix_match_inline(const Vocab& v,
                                                                     const uint8_t* s, size_t n) {
    if (n < 2) return n == 0 ? TokenMatch{NONE, 0} : TokenMatch{v.single_byte_token(s[0]), 1};
    const uint32_t key = (uint32_t(s[0]) << 8) | s[1];
    TokenId best = TokenId(v.two_token[key]);
    uint32_t best_len = 0;  // 0: not known here, read from token_lens
    uint32_t node = v.two_node[key];
    size_t i = 2;
    if (n >= 3) {
        const uint32_t at = tri_index(s);
        const uint32_t t = at != TRI_ENTRIES ? v.tri_token[at] : TRI_ASK;
        if ((t & TRI_ASK) != TRI_ASK) {
            if (!(t & TRI_LONGER)) {
                const uint32_t packed = v.tri_ids[t];
                return {packed & TRI_ID_MASK, packed >> TRI_LEN_SHIFT, v.tri_info[t]};
            }
            const TriLonger& x = v.tri_longer[t & TRI_ASK];
            const TokenMatch three{x.packed & TRI_ID_MASK, x.packed >> TRI_LEN_SHIFT,
                                   v.tri_longer_info[t & TRI_ASK]};
            if (n == 3) return three;
            const uint32_t c = s[3] - 0x20u;
            const uint32_t bit = c < TRI_SIDE ? c : TRI_NEXT_OTHER;
            if (!((x.next[bit >> 5] >> (bit & 31)) & 1)) return three;
            // A longer token may go on with this byte, so node is not 0: the
            // walk goes on with two bytes, and without them the answer is
            // within three.
            const uint64_t e = v.edge2_find(node, s[2], s[3]);
            if (e == 0) return three;
            const uint32_t tok = uint32_t(e & 0x3FFFF);
            if (tok != PACKED_NONE) {
                best = tok;
                best_len = 0;
            } else {
                best = three.id;
                best_len = three.len;
            }
            node = uint32_t((e >> 18) & 0xFFFFF);
            i = 4;
        } else if (n >= 4 && is_two_byte_char(s[0], s[1]) && is_two_byte_char(s[2], s[3])) {
            const uint32_t bit = two_char_bit(s);
            if (!((v.two_char_next[bit >> 6] >> (bit & 63)) & 1)) return match_of(v, best);
        }
    }
    while (node != 0) {
        if (i + 1 >= n) {
            if (i >= n) break;
            uint64_t e1 = v.edge1_step(node, s[i]);
            if (e1) return {TokenId(e1 & 0x3FFFF), uint32_t(i + 1)};
            break;
        }
        uint64_t e = v.edge2_step(node, s[i], s[i + 1]);
        if (e == 0) {
            uint64_t e1 = v.edge1_step(node, s[i]);
            if (e1) return {TokenId(e1 & 0x3FFFF), uint32_t(i + 1)};
            break;
        }
        uint32_t tok = uint32_t(e & 0x3FFFF);
        if (tok != PACKED_NONE) {
            best = tok;
            best_len = 0;
        }
        node = uint32_t((e >> 18) & 0xFFFFF);
        i += 2;
    }
    return best_len ? TokenMatch{best, best_len} : match_of(v, best);
}

// The same, for callers outside the piece encoder's loops, which inline it.
inline TokenMatch longest_prefix_match(const Vocab& v, const uint8_t* s, size_t n) {
    return longest_prefix_match_inline(v, s, n);
}

// The longest token that is a prefix of s[0..n), or NONE (n == 0 included).
inline TokenId longest_prefix_token(const Vocab& v, const uint8_t* s, size_t n) {
    return longest_prefix_match(v, s, n).id;
}

// Appends the BPE ids of `piece` to `out`.
void encode_piece(const Vocab& v, const uint8_t* piece, size_t n, IdVec& out);

}  // namespace zelkor
