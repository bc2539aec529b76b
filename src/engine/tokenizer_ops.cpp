// Single-text operations: ordinary encode, encode with special tokens, decode.
#include <bitset>
#include <cstring>
#include <functional>

#include "encode_loop.h"
#include "pcache.h"
#include "tokenizer.h"

namespace zelkor {

void encode_into_workers(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& out,
                         uint32_t workers) {
    out.reserve_extra(len / 3 + 8);
    if (len == 0) return;
    CacheLease lease(tok.id, workers == 0 ? 1 : workers);
    if (tok.is_o200k)
        encode_core_o200k(tok, text, len, out, lease.cache());
    else
        encode_core_cl100k(tok, text, len, out, lease.cache());
}

IdVec encode(const Tokenizer& tok, const uint8_t* text, size_t len) {
    IdVec out(len / 3 + 8);
    encode_into_workers(tok, text, len, out, 1);
    return out;
}

namespace {

// Finds the next special-token string in a text. Scanning position by
// position and taking the first candidate in list order that matches there
// gives the earliest start, ties broken by list order; the length of a match
// never matters.
class SpecialScanner {
public:
    explicit SpecialScanner(const std::vector<const Special*>& candidates) {
        cands_.reserve(candidates.size());
        int distinct = 0;
        for (const Special* s : candidates) {
            if (!s || s->text.empty()) continue;
            cands_.push_back(s);
            const unsigned b0 = uint8_t(s->text[0]);
            if (!first_[b0]) {
                first_[b0] = true;
                ++distinct;
                single_first_ = int(b0);
            }
            // Two-byte prefixes rule out most first-byte hits (every
            // special of some encodings starts with the same byte).
            if (s->text.size() == 1) {
                for (unsigned b1 = 0; b1 < 256; ++b1) pair_.set(b0 << 8 | b1);
            } else {
                pair_.set(b0 << 8 | uint8_t(s->text[1]));
            }
        }
        if (distinct != 1) single_first_ = -1;
    }

    bool empty() const { return cands_.empty(); }

    // Start of the next occurrence at or after pos and its special; len and
    // null when there is none.
    size_t next(const uint8_t* text, size_t len, size_t pos, const Special*& winner) const {
        winner = nullptr;
        for (; pos < len; ++pos) {
            if (single_first_ >= 0) {
                const void* hit = std::memchr(text + pos, single_first_, len - pos);
                if (!hit) return len;
                pos = size_t(static_cast<const uint8_t*>(hit) - text);
            } else if (!first_[text[pos]]) {
                continue;
            }
            const size_t left = len - pos;
            if (left >= 2 && !pair_.test(unsigned(text[pos]) << 8 | text[pos + 1])) continue;
            for (const Special* s : cands_) {
                const std::string& str = s->text;
                if (str.size() <= left && std::memcmp(str.data(), text + pos, str.size()) == 0) {
                    winner = s;
                    return pos;
                }
            }
        }
        return len;
    }

private:
    std::vector<const Special*> cands_;
    bool first_[256] = {};
    std::bitset<65536> pair_;
    int single_first_ = -1;
};

IdVec specials_from_workers(const Tokenizer& tok, const uint8_t* text, size_t len,
                            const std::vector<const Special*>& candidates, uint32_t workers) {
    IdVec out(len / 3 + 8);
    if (len == 0) return out;
    // Candidates from the tokenizer's own table go through its trie; others
    // (callers may pass any Special) through the plain scanner.
    const Special* base = tok.specials.data();
    const size_t n_specials = tok.specials.size();
    std::vector<uint8_t> allowed(n_specials, 0);
    bool own = !tok.special_trie.empty();
    for (const Special* s : candidates) {
        if (!own) break;
        const std::less<const Special*> before;  // a total order, also for foreign pointers
        if (before(s, base) || !before(s, base + n_specials)) own = false;
        else allowed[size_t(s - base)] = 1;
    }
    if (own) {
        size_t pos = 0;
        while (pos < len) {
            uint32_t index = 0;
            const size_t at = tok.special_trie.next(text, len, pos, allowed, index);
            if (at == len) {
                encode_into_workers(tok, text + pos, len - pos, out, workers);
                break;
            }
            const Special& winner = tok.specials[index];
            if (at > pos) encode_into_workers(tok, text + pos, at - pos, out, workers);
            out.push_back(winner.id);
            pos = at + winner.text.size();
        }
        return out;
    }
    const SpecialScanner scan(candidates);
    size_t pos = 0;
    while (pos < len) {
        const Special* winner = nullptr;
        const size_t at = scan.empty() ? len : scan.next(text, len, pos, winner);
        if (!winner) {
            encode_into_workers(tok, text + pos, len - pos, out, workers);
            break;
        }
        if (at > pos) encode_into_workers(tok, text + pos, at - pos, out, workers);
        out.push_back(winner->id);
        pos = at + winner->text.size();
    }
    return out;
}

}  // namespace

IdVec encode_with_specials_from(const Tokenizer& tok, const uint8_t* text, size_t len,
                                const std::vector<const Special*>& candidates) {
    return specials_from_workers(tok, text, len, candidates, 1);
}

IdVec encode_with_special_workers(const Tokenizer& tok, const uint8_t* text, size_t len,
                                  uint32_t workers) {
    if (tok.specials.empty()) {
        IdVec out(len / 3 + 8);
        encode_into_workers(tok, text, len, out, workers);
        return out;
    }
    std::vector<const Special*> all;
    all.reserve(tok.specials.size());
    for (const Special& s : tok.specials) all.push_back(&s);
    return specials_from_workers(tok, text, len, all, workers);
}

IdVec encode_with_special(const Tokenizer& tok, const uint8_t* text, size_t len) {
    return encode_with_special_workers(tok, text, len, 1);
}

std::vector<uint8_t> decode(const Tokenizer& tok, const uint32_t* ids, size_t n) {
    std::vector<uint8_t> out;
    if (n == 0) return out;
    out.reserve(n * 4);
    const Vocab& v = *tok.vocab;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t id = ids[i];
        if (id < v.n) {
            const uint8_t* b = v.token_data(id);
            out.insert(out.end(), b, b + v.token_lens[id]);
        } else if (const Special* s = tok.special_by_id(id)) {
            out.insert(out.end(), s->text.begin(), s->text.end());
        }
    }
    return out;
}

}  // namespace zelkor
