// Special-token images of any shape: one fixed message on failure, or the
// records of the image in image order.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "specials.h"

using namespace zelkor;

namespace {

constexpr std::string_view SOURCE = "fuzz.special";

// The records as the format reads them, or false when it refuses the image.
bool well_formed(const uint8_t* data, size_t size, SpecialList& out) {
    if (size < 4) return false;
    const uint32_t count = fuzz::le32(data);
    if (count > 4096) return false;
    size_t off = 4;
    for (uint32_t i = 0; i < count; ++i) {
        if (size - off < 6) return false;
        const uint32_t id = fuzz::le32(data + off);
        const uint32_t len = fuzz::le16(data + off + 4);
        off += 6;
        if (len == 0 || len > 64 || size - off < len) return false;
        std::string text(reinterpret_cast<const char*>(data + off), len);
        if (!fuzz::valid_utf8(text)) return false;
        out.push_back(Special{std::move(text), id});
        off += len;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SpecialList want;
    const bool formed = well_formed(data, size, want);
    auto r = specials_from_bytes(data, size, SOURCE);
    FUZZ_CHECK(r.ok() == formed);
    if (!r) {
        FUZZ_CHECK(r.error() == "zelkor: bad special-tokens file: " + std::string(SOURCE));
        return 0;
    }
    const SpecialList& got = *r;
    FUZZ_CHECK(got.size() == want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        FUZZ_CHECK(got[i].id == want[i].id);
        FUZZ_CHECK(got[i].text == want[i].text);
    }
    return 0;
}
