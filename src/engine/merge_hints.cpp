#include "merge_hints.h"

#include <bit>
#include <cstring>

namespace zelkor {

namespace {

constexpr uint8_t MAGIC[4] = {'Z', 'K', 'M', 'H'};
constexpr uint32_t VERSION = 1;
constexpr size_t HEADER = 32;

void put32(std::vector<uint8_t>& out, uint32_t x) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(x >> (8 * i)));
}

void put64(std::vector<uint8_t>& out, uint64_t x) {
    for (int i = 0; i < 8; ++i) out.push_back(uint8_t(x >> (8 * i)));
}

uint64_t get(const uint8_t* p, int bytes) {
    uint64_t x = 0;
    for (int i = 0; i < bytes; ++i) x |= uint64_t(p[i]) << (8 * i);
    return x;
}

}  // namespace

uint64_t image_fingerprint(const uint8_t* image, size_t len) {
    // Eight bytes per step; the length goes in so that trailing zeros count.
    uint64_t h = 0x9E3779B97F4A7C15ull ^ len;
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t w;
        std::memcpy(&w, image + i, 8);
        h = (h ^ w) * 0xBF58476D1CE4E5B9ull;
        h ^= h >> 31;
    }
    for (; i < len; ++i) h = (h ^ image[i]) * 0x94D049BB133111EBull;
    return h ^ (h >> 29);
}

std::vector<uint8_t> merge_hints_blob(const Vocab& v, const uint8_t* image, size_t len) {
    std::vector<uint8_t> out;
    out.reserve(HEADER + size_t(v.n) * 8);
    out.insert(out.end(), MAGIC, MAGIC + 4);
    put32(out, VERSION);
    put32(out, v.n);
    put32(out, 0);
    put64(out, len);
    put64(out, image_fingerprint(image, len));
    for (const Split& s : v.split_table) {
        put32(out, s.left);
        put32(out, s.right);
    }
    return out;
}

const Split* hints_for_image(const MergeHintsBlob& hints, const uint8_t* image, size_t len,
                             uint32_t n) {
    static_assert(sizeof(Split) == 8 && alignof(Split) == 4);
    if (!hints.data || hints.size != HEADER + size_t(n) * 8) return nullptr;
    const uint8_t* h = hints.data;
    if (std::memcmp(h, MAGIC, 4) != 0 || get(h + 4, 4) != VERSION || get(h + 8, 4) != n ||
        get(h + 16, 8) != len || get(h + 24, 8) != image_fingerprint(image, len))
        return nullptr;
    // Read in place: the splits are little-endian pairs of 32-bit ids, and
    // the blob is embedded 64-byte aligned.
    if (reinterpret_cast<uintptr_t>(h + HEADER) % alignof(Split) != 0) return nullptr;
    if constexpr (std::endian::native != std::endian::little) return nullptr;
    return reinterpret_cast<const Split*>(h + HEADER);
}

}  // namespace zelkor
