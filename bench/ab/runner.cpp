// One engine's entry points under plain names, for ab_harness.cpp. Built
// twice by tools/ab-engine.sh: once against the working tree's engine, once
// with -Dzelkor=zelkor_base against another revision's, so that both live
// in one process. RUNNER names the variant.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "tokenizer.h"

#define ZELKOR_AB_CAT2(a, b) a##b
#define ZELKOR_AB_CAT(a, b) ZELKOR_AB_CAT2(a, b)
#define ZELKOR_AB_FN(name) ZELKOR_AB_CAT(RUNNER, name)

void* ZELKOR_AB_FN(_make)(const char* encoding) {
    auto created = zelkor::Tokenizer::create(encoding, "");
    return created.ok() ? created->release() : nullptr;
}

size_t ZELKOR_AB_FN(_count)(void* tok, const uint8_t* text, size_t len) {
    return zelkor::count(*static_cast<zelkor::Tokenizer*>(tok), text, len);
}

size_t ZELKOR_AB_FN(_encode)(void* tok, const uint8_t* text, size_t len) {
    return zelkor::encode(*static_cast<zelkor::Tokenizer*>(tok), text, len).size();
}

size_t ZELKOR_AB_FN(_count_batch)(void* tok, const std::vector<std::string_view>& texts, size_t threads) {
    size_t total = 0;
    for (uint32_t c : zelkor::count_batch(*static_cast<zelkor::Tokenizer*>(tok), texts, threads, false))
        total += c;
    return total;
}
