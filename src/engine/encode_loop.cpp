#include "encode_loop.h"

#include "pretok_cl100k.h"
#include "pretok_o200k.h"
#include "route_piece.h"
#include "tokenizer.h"

namespace zelkor {

void encode_core_cl100k(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& out,
                        PretokenCache& cache) {
    if (len == 0) return;
    split_cl100k(tok.uclass, text, len, EncodeSink{*tok.vocab, out, cache});
}

void encode_core_o200k(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& out,
                       PretokenCache& cache) {
    if (len == 0) return;
    split_o200k(tok.uclass_o, text, len, EncodeSink{*tok.vocab, out, cache});
}

size_t count_core(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& scratch,
                  PretokenCache& cache) {
    scratch.clear();
    if (len == 0) return 0;
    CountSink sink{*tok.vocab, scratch, cache};
    if (tok.is_o200k)
        split_o200k(tok.uclass_o, text, len, sink);
    else
        split_cl100k(tok.uclass, text, len, sink);
    return sink.result();
}

}  // namespace zelkor
