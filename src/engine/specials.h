// Special tokens: strings with ids of their own, recognised in text only
// when the caller allows them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "expected.h"

namespace zelkor {

struct Special {
    std::string text;  // valid UTF-8, 1..64 bytes
    uint32_t id;
};

using SpecialList = std::vector<Special>;

// Parses a special-tokens image; `source` names it in the error message.
Expected<SpecialList> specials_from_bytes(const uint8_t* image, size_t len, std::string_view source);

}  // namespace zelkor
