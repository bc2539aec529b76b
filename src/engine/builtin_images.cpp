#include "builtin_images.h"

// Start and end symbols come from builtin_images.S (one .incbin per image).
extern "C" {
extern const uint8_t zelkor_img_cl100k_vocab[], zelkor_img_cl100k_vocab_end[];
extern const uint8_t zelkor_img_o200k_vocab[], zelkor_img_o200k_vocab_end[];
extern const uint8_t zelkor_img_cl100k_special[], zelkor_img_cl100k_special_end[];
extern const uint8_t zelkor_img_o200k_special[], zelkor_img_o200k_special_end[];
extern const uint8_t zelkor_img_o200k_harmony_special[], zelkor_img_o200k_harmony_special_end[];
extern const uint8_t zelkor_img_uniclass[], zelkor_img_uniclass_end[];
extern const uint8_t zelkor_img_uniclass_o200k[], zelkor_img_uniclass_o200k_end[];
extern const uint8_t zelkor_hints_cl100k[], zelkor_hints_cl100k_end[];
extern const uint8_t zelkor_hints_o200k[], zelkor_hints_o200k_end[];
}

namespace zelkor {
namespace {

struct Entry {
    std::string_view name;
    const uint8_t* begin;
    const uint8_t* end;
};

const Entry IMAGES[] = {
    {"cl100k.vocab", zelkor_img_cl100k_vocab, zelkor_img_cl100k_vocab_end},
    {"o200k.vocab", zelkor_img_o200k_vocab, zelkor_img_o200k_vocab_end},
    {"cl100k.special", zelkor_img_cl100k_special, zelkor_img_cl100k_special_end},
    {"o200k.special", zelkor_img_o200k_special, zelkor_img_o200k_special_end},
    {"o200k_harmony.special", zelkor_img_o200k_harmony_special,
     zelkor_img_o200k_harmony_special_end},
    {"uniclass.bin", zelkor_img_uniclass, zelkor_img_uniclass_end},
    {"uniclass_o200k.bin", zelkor_img_uniclass_o200k, zelkor_img_uniclass_o200k_end},
};

const Entry HINTS[] = {
    {"cl100k.vocab", zelkor_hints_cl100k, zelkor_hints_cl100k_end},
    {"o200k.vocab", zelkor_hints_o200k, zelkor_hints_o200k_end},
};

template <size_t N>
Image find(const Entry (&table)[N], std::string_view name) {
    for (const Entry& e : table)
        if (e.name == name) return Image{e.begin, static_cast<size_t>(e.end - e.begin)};
    return Image{nullptr, 0};
}

}  // namespace

Image builtin_image(std::string_view name) { return find(IMAGES, name); }

Image builtin_merge_hints(std::string_view vocab_file) { return find(HINTS, vocab_file); }

}  // namespace zelkor
