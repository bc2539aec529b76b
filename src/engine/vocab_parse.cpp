// Validation of a vocabulary image, front to back, stopping at the first
// fault; the records then go to the index builder in rank order.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "merge_hints.h"
#include "vocab.h"

namespace zelkor {

namespace {

uint32_t read_u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t read_u16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }

std::string bad_vocab(std::string_view detail, std::string_view source) {
    std::string m = "zelkor: bad vocab file (";
    m += detail;
    m += "): ";
    m += source;
    return m;
}

// Every byte needs a one-byte token, or the encoder would find no token in
// the middle of a piece. Returns the lowest byte without one, or -1.
int missing_single_byte(const uint8_t* image, const std::vector<detail::TokenRef>& refs) {
    bool have[256] = {};
    for (const detail::TokenRef& r : refs)
        if (r.len == 1) have[image[r.offset]] = true;
    for (int b = 0; b < 256; ++b)
        if (!have[b]) return b;
    return -1;
}

}  // namespace

Expected<std::unique_ptr<Vocab>> Vocab::from_bytes(const uint8_t* image, size_t len,
                                                   std::string_view source,
                                                   const MergeHintsBlob& hints) {
    using Result = Expected<std::unique_ptr<Vocab>>;
    auto fail = [&](std::string_view detail) { return Result::failure(bad_vocab(detail, source)); };

    if (len < 4) return fail("truncated header");
    uint32_t n = read_u32(image);
    if (n == 0 || n > MAX_TOKENS) return fail("token count out of range (max 262144 ids)");

    // len 0 marks a rank not seen yet.
    std::vector<detail::TokenRef> refs(n, detail::TokenRef{0, 0});
    size_t off = 4;
    for (uint32_t i = 0; i < n; ++i) {
        if (len - off < 2) return fail("truncated record");
        uint32_t tlen = read_u16(image + off);
        off += 2;
        if (tlen == 0 || tlen > 255) return fail("token length out of range");
        if (len - off < size_t(tlen) + 4) return fail("truncated token bytes");
        uint32_t rank = read_u32(image + off + tlen);
        if (rank >= n) return fail("rank out of range");
        if (refs[rank].len != 0) return fail("duplicate rank");
        // n records of at most 261 bytes: offsets fit 32 bits.
        refs[rank] = detail::TokenRef{uint32_t(off), tlen};
        off += size_t(tlen) + 4;
    }
    if (off != len) return fail("trailing bytes");

    int missing = missing_single_byte(image, refs);
    if (missing >= 0) {
        char detail[48];
        std::snprintf(detail, sizeof detail, "no single-byte token for byte 0x%02X", missing);
        return fail(detail);
    }

    auto v = std::make_unique<Vocab>();
    const Split* splits = hints_for_image(hints, image, len, n);
    std::string err = detail::build_index(*v, image, refs.data(), n, source, splits);
    if (!err.empty()) return Result::failure(std::move(err));
    return Result(std::move(v));
}

}  // namespace zelkor
