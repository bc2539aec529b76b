// The seven data images compiled into the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zelkor {

struct Image {
    const uint8_t* data;
    size_t size;
};

// By file name: "cl100k.vocab", "o200k.vocab", "cl100k.special",
// "o200k.special", "o200k_harmony.special", "uniclass.bin",
// "uniclass_o200k.bin". Size 0 and null data for an unknown name.
Image builtin_image(std::string_view name);

// The merge hints built for "cl100k.vocab" or "o200k.vocab"; empty for any
// other name.
Image builtin_merge_hints(std::string_view vocab_file);

}  // namespace zelkor
