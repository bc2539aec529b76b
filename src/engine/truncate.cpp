// Cutting a text to a token budget at a character boundary.
#include "batch_skeleton.h"
#include "scratch.h"
#include "tokenizer.h"

namespace zelkor {

namespace {

// `workers` only sizes this thread's cache, like its batch neighbours'.
Truncation truncate_with(const Tokenizer& tok, const uint8_t* text, size_t len, size_t max_tokens,
                         uint32_t workers) {
    IdVec& ids = truncation_buffer();
    ids.clear();
    encode_into_workers(tok, text, len, ids, workers);

    Truncation r;
    r.total_tokens = ids.size();
    if (max_tokens >= r.total_tokens) {
        r.cut_bytes = len;
    } else if (max_tokens > 0) {
        // The kept tokens end where their byte lengths add up to; no decode
        // and no second encode.
        const Vocab& v = *tok.vocab;
        size_t end = 0;
        for (size_t i = 0; i < max_tokens; ++i) end += v.token_lens[ids[i]];
        if (end > len) end = len;
        size_t cut = end;
        while (cut > 0 && cut < len && (text[cut] & 0xC0) == 0x80) --cut;
        r.cut_bytes = cut;
    }
    ids.clear();
    return r;
}

}  // namespace

Truncation truncate(const Tokenizer& tok, const uint8_t* text, size_t len, size_t max_tokens) {
    return truncate_with(tok, text, len, max_tokens, 1);
}

std::vector<Truncation> truncate_batch(const Tokenizer& tok,
                                       const std::vector<std::string_view>& texts,
                                       size_t max_tokens, size_t threads) {
    struct NoState {};
    std::vector<Truncation> slots(texts.size());
    run_batch(
        tok, texts.size(), batch_threads(texts, threads), [] { return NoState{}; },
        [&](NoState&, size_t i, uint32_t workers) {
            slots[i] = truncate_with(tok, reinterpret_cast<const uint8_t*>(texts[i].data()),
                                     texts[i].size(), max_tokens, workers);
        });
    return slots;
}

}  // namespace zelkor
