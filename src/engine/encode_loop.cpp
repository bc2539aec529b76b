#include "encode_loop.h"

#include "pretok_cl100k.h"
#include "pretok_o200k.h"
#include "route_piece.h"
#include "tokenizer.h"

namespace zelkor {

void encode_core_cl100k(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& out,
                        PretokenCache& cache) {
    if (len == 0) return;
    const Vocab& v = *tok.vocab;
    split_cl100k(tok.uclass, text, len,
                 [&](const uint8_t* piece, size_t n) { route_piece(piece, n, v, out, cache); });
}

void encode_core_o200k(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& out,
                       PretokenCache& cache) {
    if (len == 0) return;
    const Vocab& v = *tok.vocab;
    split_o200k(tok.uclass_o, text, len,
                [&](const uint8_t* piece, size_t n) { route_piece(piece, n, v, out, cache); });
}

namespace {

// Cache hits are counted from their entries; every other id goes to
// scratch, which is counted and emptied in batches: clearing after every
// pre-token would cost a branch and a store for nothing.
constexpr size_t COUNT_DRAIN = 2048;

// Counts the ids of the pre-tokens that split(sink) hands to sink.
template <class Split>
size_t count_pretokens(const Vocab& v, IdVec& scratch, PretokenCache& cache, Split&& split) {
    size_t total = 0;
    split([&](const uint8_t* piece, size_t n) {
        total += count_piece(piece, n, v, scratch, cache);
        if (scratch.size() >= COUNT_DRAIN) {
            total += scratch.size();
            scratch.clear();
        }
    });
    return total + scratch.size();
}

}  // namespace

size_t count_core_cl100k(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& scratch,
                         PretokenCache& cache) {
    scratch.clear();
    if (len == 0) return 0;
    return count_pretokens(*tok.vocab, scratch, cache,
                           [&](auto&& sink) { split_cl100k(tok.uclass, text, len, sink); });
}

size_t count_core_o200k(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& scratch,
                        PretokenCache& cache) {
    scratch.clear();
    if (len == 0) return 0;
    return count_pretokens(*tok.vocab, scratch, cache,
                           [&](auto&& sink) { split_o200k(tok.uclass_o, text, len, sink); });
}

}  // namespace zelkor
