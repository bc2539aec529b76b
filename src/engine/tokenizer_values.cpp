// Values a Tokenizer derives from its tables.
#include <algorithm>

#include "tokenizer.h"

namespace zelkor {

uint64_t Tokenizer::memory_bytes() const {
    uint64_t total = vocab ? vocab->footprint() : 0;
    total += uclass.footprint() + uclass_o.footprint();
    for (const Special& s : specials) total += s.text.size() + 32;
    return total;
}

uint64_t Tokenizer::n_vocab() const {
    uint64_t size = vocab ? vocab->n : 0;
    for (const Special& s : specials) size = std::max(size, uint64_t(s.id) + 1);
    return size;
}

const Special* Tokenizer::special_by_id(uint32_t special_id) const {
    for (const Special& s : specials)
        if (s.id == special_id) return &s;
    return nullptr;
}

const Special* Tokenizer::special_by_text(std::string_view s) const {
    for (const Special& sp : specials)
        if (sp.text == s) return &sp;
    return nullptr;
}

}  // namespace zelkor
