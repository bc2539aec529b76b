// The per-worker encode loops: pre-tokenize a stretch of text and route every
// pre-token as soon as it is found.
#pragma once

#include <cstddef>
#include <cstdint>

#include <vector>

#include "id_vec.h"
#include "pcache.h"
#include "specials.h"

namespace zelkor {

struct Tokenizer;

// encode_with_special for a thread that is one of `workers` encoding at
// once, so that its cache is sized like its neighbours'.
IdVec encode_with_special_workers(const Tokenizer& tok, const uint8_t* text, size_t len,
                                  uint32_t workers);

// The number of ids encode_with_special_workers gives, without keeping
// them (`scratch` as for count_workers).
size_t count_with_special_workers(const Tokenizer& tok, const uint8_t* text, size_t len,
                                  IdVec& scratch, uint32_t workers);

void encode_core_cl100k(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& out,
                        PretokenCache& cache);
void encode_core_o200k(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& out,
                       PretokenCache& cache);

// The number of ordinary ids of text. `scratch` only ever holds the ids of
// the last few pre-tokens, so counting a large text needs no memory in
// proportion to it.
size_t count_core(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& scratch,
                  PretokenCache& cache);

}  // namespace zelkor
