#include "specials.h"

#include "utf8_valid.h"


namespace zelkor {
namespace {

constexpr uint32_t MAX_SPECIALS = 4096;
constexpr uint16_t MAX_SPECIAL_LEN = 64;

uint32_t read_u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t read_u16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

}  // namespace

Expected<SpecialList> specials_from_bytes(const uint8_t* image, size_t len, std::string_view source) {
    auto fail = [&] {
        std::string msg = "zelkor: bad special-tokens file: ";
        msg.append(source);
        return Expected<SpecialList>::failure(std::move(msg));
    };
    if (len < 4) return fail();
    const uint32_t count = read_u32(image);
    if (count > MAX_SPECIALS) return fail();

    SpecialList list;
    list.reserve(count);
    size_t off = 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (len - off < 6) return fail();
        const uint32_t id = read_u32(image + off);
        const uint16_t n = read_u16(image + off + 4);
        off += 6;
        if (n == 0 || n > MAX_SPECIAL_LEN) return fail();
        if (len - off < n) return fail();
        const uint8_t* s = image + off;
        if (!is_valid_utf8(s, n)) return fail();
        list.push_back(Special{std::string(reinterpret_cast<const char*>(s), n), id});
        off += n;
    }
    // Anything after the last record is deliberately not looked at.
    return list;
}

}  // namespace zelkor
