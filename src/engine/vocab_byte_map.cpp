// The bytes -> id map: open addressing over 32-bit slots that point back
// into the vocabulary's own byte storage.
#include <cstring>

#include "big_tables.h"
#include "vocab.h"

namespace zelkor {

namespace {

uint64_t load64(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

uint32_t load32(const uint8_t* p) {
    uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// Equal bytes, for n >= 1; short keys without a call to memcmp.
bool same_bytes(const uint8_t* a, const uint8_t* b, size_t n) {
    if (n >= 8) {
        for (size_t i = 0; i + 8 <= n; i += 8)
            if (load64(a + i) != load64(b + i)) return false;
        return load64(a + n - 8) == load64(b + n - 8);
    }
    if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
    return a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1];
}

uint64_t mix(uint64_t h) { return h ^ (h >> 29); }

// Keys of up to eight bytes (most of them) cost one multiply.
uint64_t hash_bytes(const uint8_t* s, size_t n) {
    uint64_t w;
    if (n >= 8) {
        uint64_t h = 0x9E3779B97F4A7C15ull * n;
        for (size_t i = 0; i + 8 <= n; i += 8) h = (h ^ load64(s + i)) * 0xBF58476D1CE4E5B9ull + (h >> 29);
        w = h ^ load64(s + n - 8);
    } else if (n >= 4) {
        w = uint64_t(load32(s)) | uint64_t(load32(s + n - 4)) << 32;
    } else {
        w = uint64_t(s[0]) | uint64_t(s[n / 2]) << 8 | uint64_t(s[n - 1]) << 16;
    }
    return mix((w ^ (uint64_t(n) << 59)) * 0x94D049BB133111EBull);
}

constexpr uint32_t ID_BITS = 19;  // id + 1 <= 2^18
constexpr uint32_t ID_MASK = (1u << ID_BITS) - 1;

uint32_t tag_of(uint64_t h) { return uint32_t(h >> (64 - (32 - ID_BITS))) << ID_BITS; }

}  // namespace

void ByteIdMap::build(const uint8_t* token_bytes, const uint32_t* token_starts, uint32_t n) {
    uint64_t cap = 16;
    while (double(n) / double(cap) > 0.45) cap *= 2;
    fill_table(slots_, cap, uint32_t(0));
    mask_ = cap - 1;
    entries_ = 0;
    key_bytes_ = 0;
    for (uint32_t t = 0; t < n; ++t) {
        const uint8_t* s = token_bytes + token_starts[t];
        uint32_t len = token_starts[t + 1] - token_starts[t];
        uint64_t h = hash_bytes(s, len);
        uint32_t tag = tag_of(h);
        for (uint64_t i = h & mask_;; i = (i + 1) & mask_) {
            uint32_t e = slots_[i];
            if (e == 0) {
                slots_[i] = tag | (t + 1);
                ++entries_;
                key_bytes_ += len;
                break;
            }
            if ((e & ~ID_MASK) != tag) continue;
            uint32_t id = (e & ID_MASK) - 1;
            uint32_t idlen = token_starts[id + 1] - token_starts[id];
            if (idlen == len && same_bytes(token_bytes + token_starts[id], s, len)) {
                slots_[i] = tag | (t + 1);  // the higher id wins
                break;
            }
        }
    }
}

TokenId ByteIdMap::find(const uint8_t* token_bytes, const uint32_t* token_starts, const uint8_t* s,
                        size_t len) const {
    if (len == 0 || len > 255 || slots_.empty()) return NONE;
    uint64_t h = hash_bytes(s, len);
    uint32_t tag = tag_of(h);
    for (uint64_t i = h & mask_;; i = (i + 1) & mask_) {
        uint32_t e = slots_[i];
        if (e == 0) return NONE;
        if ((e & ~ID_MASK) != tag) continue;
        uint32_t id = (e & ID_MASK) - 1;
        if (token_starts[id + 1] - token_starts[id] == len &&
            same_bytes(token_bytes + token_starts[id], s, len))
            return id;
    }
}

}  // namespace zelkor
