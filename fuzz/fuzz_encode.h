// What the encoding targets share: the built-in tokenizers, loaded once,
// and plain helpers to spell out ids.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "tokenizer.h"

namespace fuzz {

// 0 cl100k_base, 1 o200k_base, 2 o200k_harmony; each built on first use.
// The targets run on one thread.
inline const zelkor::Tokenizer& builtin(int which) {
    static std::unique_ptr<zelkor::Tokenizer> toks[3];
    if (!toks[which]) {
        auto t = zelkor::Tokenizer::create(zelkor::BUILTIN_NAMES[which], "");
        if (!t) std::fprintf(stderr, "%s\n", t.error().c_str());
        FUZZ_CHECK(t.ok());
        toks[which] = std::move(*t);
    }
    return *toks[which];
}

inline const uint8_t* bytes(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

inline std::string_view token_text(const zelkor::Vocab& v, zelkor::TokenId t) {
    return {reinterpret_cast<const char*>(v.token_data(t)), v.token_lens[t]};
}

template <class A, class B>
bool same_ids(const A& a, const B& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i]) return false;
    return true;
}

}  // namespace fuzz
