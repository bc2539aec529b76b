// Single-text operations: ordinary encode, encode with special tokens, decode.
#include <cstring>
#include <functional>

#include "encode_loop.h"
#include "interrupt.h"
#include "pcache.h"
#include "tokenizer.h"

namespace zelkor {

void encode_into_workers(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& out,
                         uint32_t workers) {
    out.reserve_extra(len / 3 + 8);
    if (len == 0) return;
    pass_bytes(len);
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

size_t count_workers(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& scratch,
                     uint32_t workers) {
    if (len == 0) return 0;
    // Room for a drain's worth of ids and the pre-token that passes it.
    scratch.reserve_extra(4096);
    pass_bytes(len);
    CacheLease lease(tok.id, workers == 0 ? 1 : workers);
    return count_core(tok, text, len, scratch, lease.cache());
}

size_t count(const Tokenizer& tok, const uint8_t* text, size_t len) {
    IdVec scratch;
    return count_workers(tok, text, len, scratch, 1);
}

namespace {

// Cuts text at every occurrence of an allowed special's string (earliest
// start wins, table order breaks ties): on_text(from, to) gets each
// non-empty stretch in between, on_special(special) each occurrence.
template <class OnText, class OnSpecial>
void walk_specials(const SpecialTrie& trie, const SpecialList& table,
                   const std::vector<uint8_t>& allowed, const uint8_t* text, size_t len,
                   OnText&& on_text, OnSpecial&& on_special) {
    size_t pos = 0;
    while (pos < len) {
        uint32_t index = 0;
        const size_t at = trie.next(text, len, pos, allowed, index);
        if (at > pos) on_text(pos, at);
        if (at == len) break;
        const Special& winner = table[index];
        on_special(winner);
        pos = at + winner.text.size();
    }
}

// Encodes text with every occurrence of a candidate's string turned into its
// id. The tokenizer's trie serves candidates from its own table (the usual
// case: the allowed-special policy and encode_with_special); any other list
// gets a trie of its own for the call.
IdVec specials_from_workers(const Tokenizer& tok, const uint8_t* text, size_t len,
                            const std::vector<const Special*>& candidates, uint32_t workers) {
    IdVec out(len / 3 + 8);
    if (len == 0) return out;
    const Special* base = tok.specials.data();
    const size_t n_specials = tok.specials.size();
    const std::less<const Special*> before;  // a total order, also for foreign pointers
    bool own = true;
    for (const Special* s : candidates)
        if (!s || before(s, base) || !before(s, base + n_specials)) own = false;

    const SpecialList* table = &tok.specials;
    const SpecialTrie* trie = &tok.special_trie;
    SpecialList local_table;
    SpecialTrie local_trie;
    std::vector<uint8_t> allowed;
    if (own) {
        allowed.assign(n_specials, 0);
        for (const Special* s : candidates) allowed[size_t(s - base)] = 1;
    } else {
        for (const Special* s : candidates)
            if (s) local_table.push_back(*s);  // list order is table order here
        local_trie.build(local_table);
        allowed.assign(local_table.size(), 1);
        table = &local_table;
        trie = &local_trie;
    }

    walk_specials(
        *trie, *table, allowed, text, len,
        [&](size_t from, size_t to) { encode_into_workers(tok, text + from, to - from, out, workers); },
        [&](const Special& s) { out.push_back(s.id); });
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

size_t count_with_special_workers(const Tokenizer& tok, const uint8_t* text, size_t len,
                                  IdVec& scratch, uint32_t workers) {
    if (tok.specials.empty()) return count_workers(tok, text, len, scratch, workers);
    const std::vector<uint8_t> all(tok.specials.size(), 1);
    size_t total = 0;
    walk_specials(
        tok.special_trie, tok.specials, all, text, len,
        [&](size_t from, size_t to) { total += count_workers(tok, text + from, to - from, scratch, workers); },
        [&](const Special&) { ++total; });
    return total;
}

IdVec encode_with_special(const Tokenizer& tok, const uint8_t* text, size_t len) {
    return encode_with_special_workers(tok, text, len, 1);
}

size_t decoded_size(const Tokenizer& tok, const uint32_t* ids, size_t n) {
    const Vocab& v = *tok.vocab;
    const uint8_t* lens = v.token_lens.data();
    size_t total = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t id = ids[i];
        if (id < v.n)
            total += lens[id];
        else if (const Special* s = tok.special_by_id(id))
            total += s->text.size();
    }
    return total;
}

void decode_into(const Tokenizer& tok, const uint32_t* ids, size_t n, uint8_t* out, size_t size) {
    const Vocab& v = *tok.vocab;
    const uint8_t* lens = v.token_lens.data();
    const uint32_t* starts = v.token_starts.data();
    const uint8_t* bytes = v.token_bytes.data();
    // Tokens of up to 16 bytes are copied as 16 bytes where both sides have
    // them: one load and one store instead of a call sized by the token.
    const size_t src_end = v.token_bytes.size();
    size_t pos = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t id = ids[i];
        if (id < v.n) {
            const size_t len = lens[id];
            const size_t from = starts[id];
            if (len <= 16 && from + 16 <= src_end && pos + 16 <= size)
                std::memcpy(out + pos, bytes + from, 16);
            else
                std::memcpy(out + pos, bytes + from, len);
            pos += len;
        } else if (const Special* s = tok.special_by_id(id)) {
            std::memcpy(out + pos, s->text.data(), s->text.size());
            pos += s->text.size();
        }
    }
}

std::vector<uint8_t> decode(const Tokenizer& tok, const uint32_t* ids, size_t n) {
    std::vector<uint8_t> out(decoded_size(tok, ids, n));
    if (!out.empty()) decode_into(tok, ids, n, out.data(), out.size());
    return out;
}

}  // namespace zelkor
