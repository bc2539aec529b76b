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

}  // namespace zelkor
