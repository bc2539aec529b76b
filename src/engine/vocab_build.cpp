// Compiles the validated records into the lookup tables of a Vocab.
//
// Nodes are numbered in creation order (tokens in id order, bytes left to
// right), so a node is created by the lowest id whose bytes pass through
// it. Rather than walking a hash table of edges once per byte, the tokens
// are sorted by their bytes, the trie falls out of one pass over neighbours
// that share prefixes, and the nodes are then renumbered by (lowest id,
// depth). Every other table is filled from what that pass recorded.
//
// Building is dominated by first touches of fresh memory, so the
// temporaries are kept few and small.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "big_tables.h"
#include "side_task.h"
#include "vocab.h"

namespace zelkor {

namespace {

uint64_t pow2_for_load(uint64_t count, uint64_t start) {
    uint64_t cap = start;
    while (double(count) / double(cap) > 0.45) cap *= 2;
    return cap;
}

// Longest run of occupied slots, the table taken as a circle.
uint64_t longest_run(const std::vector<uint64_t>& t) {
    uint64_t cap = t.size();
    uint64_t first_empty = 0;
    while (first_empty < cap && t[first_empty] != 0) ++first_empty;
    if (first_empty == cap) return cap;
    uint64_t best = 0, run = 0;
    for (uint64_t k = 1; k <= cap; ++k) {
        if (t[(first_empty + k) & (cap - 1)] != 0) {
            best = std::max(best, ++run);
        } else {
            run = 0;
        }
    }
    return best;
}

uint64_t load64(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

bool is_cont(uint8_t b) { return b >= 0x80 && b <= 0xBF; }

bool starts_three_byte_char(const uint8_t* b) {
    return b[0] >= 0xE0 && b[0] <= 0xEF && is_cont(b[1]) && is_cont(b[2]);
}

uint32_t code_point3(const uint8_t* b) {
    return uint32_t(b[0] & 0x0F) << 12 | uint32_t(b[1] & 0x3F) << 6 | uint32_t(b[2] & 0x3F);
}

template <class T>
T* calloc_array(size_t n) {
    void* p = std::calloc(n, sizeof(T));
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
}

static_assert(sizeof(std::atomic<uint16_t>) == 2 && std::atomic<uint16_t>::is_always_lock_free);

class Builder {
public:
    Builder(Vocab& v, std::string_view source) : v_(v), source_(source) {}

    std::string run(const uint8_t* image, const detail::TokenRef* refs, uint32_t n,
                    const Split* hints) {
        v_.n = n;
        store_bytes(image, refs);
        // Two strands share the work: the trie and the tables compiled from
        // it here, the bytes -> id map and then the merge tables beside.
        // The merges need only the prefix tokens of the trie pass, and the
        // strands write disjoint members.
        bool trie_fits;
        {
            SideTask map([this, n] { v_.by_bytes.build(v_.token_bytes.data(), v_.token_starts.data(), n); });
            trie_fits = build_trie();
            map.join();
        }
        if (!trie_fits) {
            return "zelkor: trie too large for packed e2 (max 2^20 nodes): " + std::string(source_);
        }
        SideTask merges([this, hints] {
            prepare_merges();
            if (!hints || !file_hints(hints)) search_merges();
            build_token_info();
        });
        renumber();
        build_two_tables();
        build_edge1();
        {
            // The trigram table needs only the tables above; it fills
            // fresh memory while this strand builds the rest.
            SideTask tri([this] { build_tri_table(); });
            build_edge2();
            build_step_filter();
            build_three_tables();
            build_two_char_table();
            tri.join();
        }
        merges.join();
        // It needs the trigram tables of one strand, the token words of the other.
        build_tri_info();
        return {};
    }

private:
    struct OddEnd {
        uint32_t token;
        uint32_t node;  // provisional number of the node the token ends at
    };

    const uint8_t* bytes_of(uint32_t t) const { return v_.token_bytes.data() + v_.token_starts[t]; }

    bool has_children(uint32_t x) const {
        // Preorder: a node's first child, if any, comes right after it.
        return x + 1 < count_ && parent_[x + 1] == x;
    }

    void store_bytes(const uint8_t* image, const detail::TokenRef* refs) {
        uint32_t n = v_.n;
        uint64_t total = 0;
        for (uint32_t t = 0; t < n; ++t) total += refs[t].len;
        size_table(v_.token_bytes, total);
        size_table(v_.token_starts, size_t(n) + 1);
        v_.token_lens.resize(n);
        uint32_t pos = 0;
        for (uint32_t t = 0; t < n; ++t) {
            std::memcpy(v_.token_bytes.data() + pos, image + refs[t].offset, refs[t].len);
            v_.token_starts[t] = pos;
            v_.token_lens[t] = uint8_t(refs[t].len);
            pos += refs[t].len;
        }
        v_.token_starts[n] = pos;
    }

    // Token ids in lexicographic order of their bytes, as (key << 18 | id)
    // with the first 46 bits of the bytes as key: a radix sort on the key,
    // then a full comparison inside groups that share it.
    std::unique_ptr<uint64_t[]> sorted_tokens() const {
        constexpr uint64_t ID_MASK = (1u << 18) - 1;
        // Digits of the key, low to high: 11, 11, 12 and 12 bits.
        constexpr int SHIFT[4] = {18, 29, 40, 52};
        constexpr int BITS[4] = {11, 11, 12, 12};
        uint32_t n = v_.n;
        std::unique_ptr<uint64_t[]> a = scratch_array<uint64_t>(n), tmp = scratch_array<uint64_t>(n);
        std::vector<uint32_t> hist(4 * 4096, 0);
        for (uint32_t t = 0; t < n; ++t) {
            const uint8_t* b = bytes_of(t);
            uint32_t len = v_.token_lens[t];
            uint64_t key;
            if (len >= 8) {
                key = __builtin_bswap64(load64(b));
            } else {
                key = 0;
                for (uint32_t k = 0; k < std::min<uint32_t>(len, 6); ++k)
                    key |= uint64_t(b[k]) << (56 - 8 * k);
            }
            uint64_t e = (key & ~ID_MASK) | t;
            a[t] = e;
            for (int d = 0; d < 4; ++d) ++hist[d * 4096 + ((e >> SHIFT[d]) & ((1u << BITS[d]) - 1))];
        }
        for (int d = 0; d < 4; ++d) {
            uint32_t mask = (1u << BITS[d]) - 1;
            uint32_t* h = hist.data() + d * 4096;
            if (h[(a[0] >> SHIFT[d]) & mask] == n) continue;  // all in one bucket
            uint32_t sum = 0;
            for (uint32_t c = 0; c <= mask; ++c) {
                uint32_t k = h[c];
                h[c] = sum;
                sum += k;
            }
            for (uint32_t i = 0; i < n; ++i) {
                uint64_t e = a[i];
                tmp[h[(e >> SHIFT[d]) & mask]++] = e;
            }
            a.swap(tmp);
        }
        auto less = [this](uint64_t x, uint64_t y) {
            uint32_t ix = uint32_t(x & ID_MASK), iy = uint32_t(y & ID_MASK);
            uint32_t lx = v_.token_lens[ix], ly = v_.token_lens[iy];
            int c = std::memcmp(bytes_of(ix), bytes_of(iy), std::min(lx, ly));
            return c < 0 || (c == 0 && lx < ly);
        };
        for (uint32_t i = 0; i < n;) {
            uint32_t j = i + 1;
            while (j < n && (a[j] >> 18) == (a[i] >> 18)) ++j;
            if (j - i > 1) std::sort(a.get() + i, a.get() + j, less);
            i = j;
        }
        return a;
    }

    // One pass over the sorted tokens. Nodes get provisional numbers in
    // preorder, renumbered later. Also fills prefix_token, which needs no
    // renumbering. False when the node count would pass the 20-bit limit.
    bool build_trie() {
        uint32_t n = v_.n;
        std::unique_ptr<uint64_t[]> order = sorted_tokens();

        // Arrays sized for the most nodes there can be; the pages past the
        // ones used are never touched.
        size_t bound = std::min<size_t>(v_.token_bytes.size() + 1, MAX_NODES);
        num_ = scratch_array<uint32_t>(bound);
        tok_ = scratch_array<int32_t>(bound);
        parent_ = scratch_array<uint32_t>(bound);
        step_ = scratch_array<uint8_t>(bound);
        byte_ = scratch_array<uint8_t>(bound);
        odd_.reset(new OddEnd[n]);
        num_[0] = NONE;
        tok_[0] = -1;
        parent_[0] = 0;
        step_[0] = 0;
        byte_[0] = 0;
        uint32_t count = 1;

        v_.two_node.assign(65536, 0);
        child3_.assign(65536, 0);
        fill_table(v_.prefix_token, n, int32_t(-1));

        uint32_t stack[256];     // node at each depth of the current path
        int32_t best[256];       // deepest token at depth <= d on that path
        stack[0] = 0;
        best[0] = -1;
        const uint8_t* prev = nullptr;
        uint32_t prev_len = 0;
        for (uint32_t i = 0; i < n; ++i) {
            uint32_t t = uint32_t(order[i] & ((1u << 18) - 1));
            const uint8_t* b = bytes_of(t);
            uint32_t len = v_.token_lens[t];
            uint32_t lcp = 0;
            uint32_t common = std::min(len, prev_len);
            for (; lcp + 8 <= common; lcp += 8) {
                uint64_t diff = load64(b + lcp) ^ load64(prev + lcp);
                if (diff != 0) {
                    lcp += uint32_t(std::countr_zero(diff)) / 8;
                    common = lcp;  // found the first difference
                    break;
                }
            }
            while (lcp < common && b[lcp] == prev[lcp]) ++lcp;
            for (uint32_t d = lcp + 1; d <= len; ++d) {
                if (count >= MAX_NODES) return false;
                uint32_t x = count++;
                num_[x] = NONE;
                tok_[x] = -1;
                parent_[x] = stack[d - 1];
                step_[x] = d >= 4 && !(d & 1);  // entered by an edge2 step
                byte_[x] = b[d - 1];
                stack[d] = x;
                // A fresh node has no token yet: a token that ends there
                // sorts before every longer one, so it is this one.
                best[d] = best[d - 1];
                if (d == 1) {
                    v_.root_next[b[0]] = x;
                } else if (d == 2) {
                    v_.two_node[uint32_t(b[0]) << 8 | b[1]] = x;
                } else if (d == 3 && starts_three_byte_char(b)) {
                    child3_[code_point3(b)] = x;
                }
            }
            uint32_t end = stack[len];
            bool duplicate = lcp == len && prev_len == len;
            tok_[end] = std::max(tok_[end], int32_t(t));  // duplicates: the highest id wins
            num_[end] = std::min(num_[end], t);
            best[len] = tok_[end];
            if (len >= 2) v_.prefix_token[t] = best[len - 1];
            if (len >= 3 && (len & 1)) {
                ++odd_tokens_;
                // edge1 keeps the lowest id of equal byte strings.
                if (duplicate) {
                    odd_[odd_count_ - 1].token = std::min(odd_[odd_count_ - 1].token, t);
                } else {
                    odd_[odd_count_++] = OddEnd{t, end};
                }
            }
            prev = b;
            prev_len = len;
        }
        count_ = count;
        return true;
    }

    // A node is created by the lowest id through it: the lowest id ending
    // in its subtree. Children follow their parents in preorder, so one
    // backward pass spreads the minimum up. Then a counting sort by that
    // id; the nodes one id creates form a chain, which preorder already
    // lists top-down.
    void renumber() {
        uint32_t n = v_.n;
        uint32_t count = count_;
        for (uint32_t x = count - 1; x > 0; --x)
            num_[parent_[x]] = std::min(num_[parent_[x]], num_[x]);
        std::vector<uint32_t> next(size_t(n) + 1, 0);
        for (uint32_t x = 1; x < count; ++x) ++next[num_[x] + 1];
        next[0] = 1;
        for (uint32_t t = 1; t <= n; ++t) next[t] += next[t - 1];
        for (uint32_t x = 1; x < count; ++x) num_[x] = next[num_[x]]++;
        num_[0] = 0;

        fill_table(v_.node_token, count, int32_t(-1));
        for (uint32_t x = 1; x < count; ++x) v_.node_token[num_[x]] = tok_[x];
        for (uint32_t& r : v_.root_next) r = num_[r];
        for (uint32_t& m : v_.two_node) m = num_[m];
    }

    void build_two_tables() {
        v_.two_token.assign(65536, -1);
        for (uint32_t b0 = 0; b0 < 256; ++b0) {
            uint32_t r = v_.root_next[b0];
            if (r != 0) std::fill_n(v_.two_token.begin() + b0 * 256, 256, v_.node_token[r]);
        }
        for (uint32_t k = 0; k < 65536; ++k) {
            uint32_t child = v_.two_node[k];
            if (child != 0 && v_.node_token[child] != -1) v_.two_token[k] = v_.node_token[child];
        }
    }

    // The last, odd byte of odd-length tokens.
    void build_edge1() {
        uint64_t cap = pow2_for_load(odd_tokens_, 1024);
        v_.edge1.assign(cap, 0);
        v_.edge1_mask = uint32_t(cap - 1);
        for (uint32_t i = 0; i < odd_count_; ++i) {
            const OddEnd& o = odd_[i];
            uint64_t key = uint64_t(num_[parent_[o.node]]) << 8 | byte_[o.node];
            uint64_t s = golden_slot(key, v_.edge1_mask);
            while (v_.edge1[s] != 0) s = (s + 1) & v_.edge1_mask;
            uint64_t flag = has_children(o.node) ? EDGE1_HAS_CHILDREN : 0;
            v_.edge1[s] = ((key + 1) << 19) | flag | o.token;
        }
    }

    // One two-byte step into every node at even depth >= 4, from the node
    // two levels above it.
    void build_edge2() {
        uint32_t count = count_;
        uint64_t steps = 0;
        for (uint32_t x = 1; x < count; ++x) steps += step_[x];

        uint64_t cap = pow2_for_load(steps, 131072);
        for (;;) {
            fill_table(v_.edge2, cap, uint64_t(0));
            uint64_t mask = cap - 1;
            uint32_t shift = 36 - uint32_t(std::countr_zero(cap));
            for (uint32_t x = 1; x < count; ++x) {
                if (!step_[x]) continue;
                uint32_t p = parent_[x];
                uint64_t key = uint64_t(num_[parent_[p]]) << 16 | uint32_t(byte_[p]) << 8 | byte_[x];
                int32_t tok = tok_[x] != -1 ? tok_[x] : tok_[p];
                uint64_t h = edge2_hash(key);
                uint64_t s = h >> shift;
                while (v_.edge2[s] != 0) s = (s + 1) & mask;
                v_.edge2[s] = (1ull << 63) | ((h & 0x1FFFFFF) << 38) | (uint64_t(num_[x]) << 18) |
                              (tok < 0 ? PACKED_NONE : uint64_t(tok));
            }
            v_.edge2_mask = uint32_t(mask);
            v_.edge2_shift = shift;
            // Tags are only unambiguous while every run is shorter than this.
            if (longest_run(v_.edge2) < cap / 2048) break;
            cap *= 2;
        }
    }

    // The steps of edge2 and edge1, by node (see Vocab::step_maybe): about
    // sixteen bits a step, and no fewer than 64 lines.
    void build_step_filter() {
        const auto set = [this](uint32_t node, uint32_t label) {
            const StepBits b = step_bits(node, label, v_.step_filter_shift);
            v_.step_filter[b.word] |= b.bits;
        };
        uint64_t steps = odd_count_;
        for (uint32_t x = 1; x < count_; ++x) steps += step_[x];
        uint64_t lines = 64;
        while (lines * 512 < 16 * steps) lines *= 2;
        fill_table(v_.step_filter, lines * 8, uint64_t(0));
        v_.step_filter_shift = 64 - uint32_t(std::countr_zero(lines));
        for (uint32_t x = 1; x < count_; ++x) {
            if (!step_[x]) continue;
            const uint32_t p = parent_[x];
            set(num_[parent_[p]], uint32_t(byte_[p]) << 8 | byte_[x]);
        }
        for (uint32_t i = 0; i < odd_count_; ++i) {
            const OddEnd& o = odd_[i];
            set(num_[parent_[o.node]], STEP_LABEL_ONE | byte_[o.node]);
        }
    }

    void prepare_merges() {
        uint32_t n = v_.n;
        uint64_t cap = 1;
        while (cap < 2ull * n) cap *= 2;
        fill_table(v_.pair_table, cap, uint64_t(0));
        v_.pair_mask = uint32_t(cap - 1);
        uint64_t bits = 1024;
        while (bits < 16ull * n) bits *= 2;
        v_.pair_filter.assign(bits / 64, 0);
        v_.pair_filter_shift = 64 - uint32_t(std::countr_zero(bits));
        v_.wide_memo = n >= 131073;
        v_.pair_memo.reset();
        v_.pair_memo_len = size_t(1) << MEMO_SET_BITS;
        v_.pair_memo.reset(calloc_array<std::atomic<uint64_t>>(v_.pair_memo_len));

        size_table(v_.split_table, n);
    }

    // Files the splits of a hints blob. False, with the tables cleared
    // again, at the first split that cannot be a merge of this vocabulary.
    bool file_hints(const Split* hints) {
        uint32_t n = v_.n;
        for (uint32_t t = 0; t < n; ++t) {
            const Split s = hints[t];
            v_.split_table[t] = s;
            if (s.left == t && s.right == t) continue;
            if (s.left >= t || s.right >= t ||
                uint32_t(v_.token_lens[s.left]) + v_.token_lens[s.right] != v_.token_lens[t]) {
                std::fill(v_.pair_table.begin(), v_.pair_table.end(), 0);
                std::fill(v_.pair_filter.begin(), v_.pair_filter.end(), 0);
                return false;
            }
            insert_pair(s.left, s.right, t);
        }
        return true;
    }

    void search_merges() {
        uint32_t n = v_.n;
        // A candidate pair is tested twice only for two tokens with the
        // same bytes, and only then can a remembered answer differ from a
        // fresh one. Without duplicates the memo is skipped here and stays
        // untouched.
        bool use_memo = v_.by_bytes.entries() < n;

        for (uint32_t t = 0; t < n; ++t) {
            v_.split_table[t] = Split{t, t};
            const uint8_t* b = bytes_of(t);
            uint32_t len = v_.token_lens[t];
            for (int32_t l = v_.prefix_token[t]; l != -1; l = v_.prefix_token[uint32_t(l)]) {
                uint32_t left = uint32_t(l);
                uint32_t llen = v_.token_lens[left];
                TokenId right = v_.find_id(b + llen, len - llen);
                if (right == NONE || left >= t || right >= t) continue;
                bool ok = use_memo ? memo_valid_pair(v_, left, right)
                                   : detail::pair_valid_uncached(v_, left, right);
                if (!ok) continue;
                insert_pair(left, right, t);
                v_.split_table[t] = Split{left, right};
                break;
            }
        }

        if (use_memo) clear_memo();
    }

    // The search's word per token, and the seam rule's merges of two
    // bytes, from the splits. The rule speaks of the byte tokens at the
    // two ends, so an end that is not the byte's own token (a token that
    // no merge builds, or a second token of the same byte) makes no claim.
    // A split's parts have lower ids, so one pass in id order finds, for
    // each token, the merge that first takes in each end byte from its
    // parts' answers.
    void build_token_info() {
        const uint32_t n = v_.n;
        const Split* split = v_.split_table.data();
        TokenId byte_token[256];
        for (uint32_t b = 0; b < 256; ++b) {
            const uint8_t c = uint8_t(b);
            byte_token[b] = v_.find_id(&c, 1);
        }
        size_table(v_.token_info, n);
        uint64_t* info = v_.token_info.data();
        for (uint32_t t = 0; t < n; ++t) {
            const Split s = split[t];
            uint32_t first_until, last_until;
            bool right_two = false;
            if (s.left == t && s.right == t) {  // built by no merge
                const bool own = v_.token_lens[t] == 1 && byte_token[bytes_of(t)[0]] == t;
                first_until = last_until = own ? SEAM_NEVER : 0;
            } else {
                // Where a part is the end byte itself, this merge takes it in.
                first_until = info_first_until(info[s.left]);
                last_until = info_last_until(info[s.right]);
                if (first_until == SEAM_NEVER) first_until = t;
                if (last_until == SEAM_NEVER) last_until = t;
                right_two = v_.token_lens[s.right] == 2;
            }
            info[t] = info_word(first_until, last_until, v_.prefix_token[t], v_.token_lens[t],
                                right_two);
        }
        for (uint32_t b = 0; b < 256; ++b) v_.own_byte[b] = byte_token[b];
        // The merge of two byte tokens is the token whose split they are.
        fill_table(v_.byte_pair_merge, 65536, SEAM_NO_MERGE);
        for (uint32_t t = 0; t < n; ++t) {
            if (v_.token_lens[t] != 2) continue;
            const uint8_t* b = bytes_of(t);
            if (split[t].left == byte_token[b[0]] && split[t].right == byte_token[b[1]])
                v_.byte_pair_merge[uint32_t(b[0]) << 8 | b[1]] = t;
        }
    }

    void insert_pair(uint32_t left, uint32_t right, uint32_t merged) {
        uint64_t key = (uint64_t(left) << 18) | right;
        uint64_t s = golden_slot(key, v_.pair_mask);
        while (v_.pair_table[s] != 0 && (v_.pair_table[s] >> 19) != key + 1)
            s = (s + 1) & v_.pair_mask;
        v_.pair_table[s] = ((key + 1) << 19) | merged;
        uint64_t bit = (key * 0x9E3779B97F4A7C15ull) >> v_.pair_filter_shift;
        v_.pair_filter[bit >> 6] |= 1ull << (bit & 63);
    }

    void clear_memo() {
        for (size_t i = 0; i < v_.pair_memo_len; ++i)
            v_.pair_memo[i].store(0, std::memory_order_relaxed);
    }

    // Code-point indexed: the node after the first two bytes of a
    // three-byte character, the longest token within the character, and
    // whether any token goes on past it.
    void build_three_tables() {
        v_.three_node.assign(65536, 0);
        v_.three_token.assign(65536, -1);
        v_.three_longer.assign(1024, 0);
        for (uint32_t b0 = 0xE0; b0 <= 0xEF; ++b0) {
            for (uint32_t b1 = 0x80; b1 <= 0xBF; ++b1) {
                uint32_t m = v_.two_node[b0 << 8 | b1];
                int32_t p = v_.two_token[b0 << 8 | b1];
                for (uint32_t b2 = 0x80; b2 <= 0xBF; ++b2) {
                    const uint8_t c[3] = {uint8_t(b0), uint8_t(b1), uint8_t(b2)};
                    uint32_t cp = code_point3(c);
                    v_.three_node[cp] = m;
                    uint32_t x = child3_[cp];  // provisional; 0 when m is 0
                    int32_t tok = x != 0 ? tok_[x] : -1;
                    v_.three_token[cp] = tok != -1 ? tok : p;
                    if (x != 0 && has_children(x)) v_.three_longer[cp >> 6] |= uint64_t(1) << (cp & 63);
                }
            }
        }
    }

    // The pairs of two-byte characters that some token starts with, whole
    // or up to the second's lead byte.
    void build_two_char_table() {
        fill_table(v_.two_char_next, TWO_CHAR_WORDS, uint64_t(0));
        auto set = [this](const uint8_t* four) {
            const uint32_t bit = two_char_bit(four);
            v_.two_char_next[bit >> 6] |= uint64_t(1) << (bit & 63);
        };
        for (uint32_t t = 0; t < v_.n; ++t) {
            const uint32_t len = v_.token_lens[t];
            const uint8_t* b = bytes_of(t);
            if (len < 3 || !is_two_byte_char(b[0], b[1]) || !is_two_byte_lead(b[2])) continue;
            if (len > 3) {
                if ((b[3] & 0xC0) == 0x80) set(b);
                continue;
            }
            uint8_t four[4] = {b[0], b[1], b[2], 0x80};
            for (; four[3] <= 0xBF; ++four[3]) set(four);
        }
    }

    // Printable ASCII trigrams: each row (first two bytes) starts as the
    // longest token within those two (every byte has a token of its own:
    // images without are refused); then the three-byte tokens, as the trie
    // finds them, and the marks of the longer ones. Token by token, not
    // trigram by trigram: most trigrams are no token and start none.
    void build_tri_table() {
        std::vector<uint16_t> index_of(v_.n, 0xFFFF);
        v_.tri_ids.clear();
        auto intern = [&](int32_t token) -> uint16_t {
            if (token < 0) return uint16_t(TRI_ASK);
            const uint32_t id = uint32_t(token);
            if (index_of[id] == 0xFFFF) {
                if (v_.tri_ids.size() == TRI_ASK) return uint16_t(TRI_ASK);
                index_of[id] = uint16_t(v_.tri_ids.size());
                v_.tri_ids.push_back(id | uint32_t(v_.token_lens[id]) << TRI_LEN_SHIFT);
            }
            return index_of[id];
        };
        size_table(v_.tri_token, TRI_ENTRIES);
        uint16_t* tri = v_.tri_token.data();
        for (uint32_t a = 0; a < TRI_SIDE; ++a) {
            for (uint32_t b = 0; b < TRI_SIDE; ++b) {
                const uint16_t two = intern(v_.two_token[(a + 0x20) << 8 | (b + 0x20)]);
                std::fill_n(tri + (a * TRI_SIDE + b) * TRI_SIDE, TRI_SIDE, two);
            }
        }
        for (uint32_t t = 0; t < v_.n; ++t) {
            const uint32_t len = v_.token_lens[t];
            if (len < 3) continue;
            const uint8_t* b = bytes_of(t);
            const uint32_t at = tri_index(b);
            if (at == TRI_ENTRIES) continue;
            if (len > 3) {
                tri[at] |= TRI_LONGER;
                continue;
            }
            const uint64_t e1 = v_.edge1_find(v_.two_node[uint32_t(b[0]) << 8 | b[1]], b[2]);
            if (e1 != 0) tri[at] = uint16_t((tri[at] & TRI_LONGER) | intern(int32_t(e1 & 0x3FFFF)));
        }
        // The marked trigrams get their entry in tri_longer, with the fourth
        // bytes of the longer tokens; past TRI_ASK of them, the rest ask.
        v_.tri_longer.clear();
        std::vector<bool> moved(TRI_ENTRIES, false);
        for (uint32_t t = 0; t < v_.n; ++t) {
            if (v_.token_lens[t] <= 3) continue;
            const uint8_t* b = bytes_of(t);
            const uint32_t at = tri_index(b);
            if (at == TRI_ENTRIES) continue;
            if (!moved[at]) {
                moved[at] = true;
                const uint32_t answer = tri[at] & TRI_ASK;
                if (answer == TRI_ASK || v_.tri_longer.size() == TRI_ASK) {
                    tri[at] = uint16_t(TRI_LONGER | TRI_ASK);
                    continue;
                }
                tri[at] = uint16_t(TRI_LONGER | v_.tri_longer.size());
                v_.tri_longer.push_back(TriLonger{v_.tri_ids[answer], {0, 0, 0}});
            }
            if ((tri[at] & TRI_ASK) == TRI_ASK) continue;
            const uint32_t c = b[3] - 0x20u;
            const uint32_t bit = c < TRI_SIDE ? c : TRI_NEXT_OTHER;
            v_.tri_longer[tri[at] & TRI_ASK].next[bit >> 5] |= 1u << (bit & 31);
        }
    }

    // The token words of the trigram answers, by the index of tri_ids and
    // tri_longer.
    void build_tri_info() {
        v_.tri_info.resize(v_.tri_ids.size());
        for (size_t i = 0; i < v_.tri_ids.size(); ++i)
            v_.tri_info[i] = v_.token_info[v_.tri_ids[i] & TRI_ID_MASK];
        v_.tri_longer_info.resize(v_.tri_longer.size());
        for (size_t i = 0; i < v_.tri_longer.size(); ++i)
            v_.tri_longer_info[i] = v_.token_info[v_.tri_longer[i].packed & TRI_ID_MASK];
    }

    Vocab& v_;
    std::string_view source_;
    // Per provisional node.
    uint32_t count_ = 0;
    std::unique_ptr<uint32_t[]> num_;  // lowest id through the node, then its number
    std::unique_ptr<int32_t[]> tok_;
    std::unique_ptr<uint32_t[]> parent_;
    std::unique_ptr<uint8_t[]> step_;  // 1 when an edge2 step leads into the node
    std::unique_ptr<uint8_t[]> byte_;  // the byte that leads into the node
    std::vector<uint32_t> child3_;     // by code point, provisional numbers
    std::unique_ptr<OddEnd[]> odd_;
    uint32_t odd_count_ = 0;   // distinct byte strings in odd_
    uint32_t odd_tokens_ = 0;  // odd-length tokens, duplicates included
};

}  // namespace

std::string detail::build_index(Vocab& v, const uint8_t* image, const TokenRef* refs, uint32_t n,
                                std::string_view source, const Split* hints) {
    return Builder(v, source).run(image, refs, n, hints);
}

}  // namespace zelkor
