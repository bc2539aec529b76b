// The batch operations of the engine that _zelkor links, by address. The
// other extension modules of the package link engine code of their own, and
// with it their own pre-token caches, pool and cache budget; working on a
// Tokenizer through these pointers instead keeps one set of caches and one
// budget per process, and lets them warm up for every caller alike. They are
// plain function addresses, the same in every interpreter of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "chunk.h"
#include "interrupt.h"
#include "tokenizer.h"

namespace zelkor::py {

struct EngineCalls {
    BatchIds (*encode_batch)(const Tokenizer& tok, const std::vector<std::string_view>& texts,
                             size_t threads, bool with_special);
    std::vector<uint32_t> (*count_batch)(const Tokenizer& tok,
                                         const std::vector<std::string_view>& texts,
                                         size_t threads, bool with_special);
    std::vector<std::vector<Chunk>> (*chunk_batch)(const Tokenizer& tok,
                                                   const std::vector<std::string_view>& texts,
                                                   const ChunkOptions& opt, size_t threads);
    // Where these operations look for a stop (interrupt.h).
    StopThread& (*stop_thread)();
};

}  // namespace zelkor::py
