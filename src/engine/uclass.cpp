#include "uclass.h"

#include <algorithm>
#include <numeric>

#include "file_io.h"

namespace zelkor {
namespace {

constexpr uint32_t MAX_RANGES = 100000;
constexpr uint32_t MAX_CODE_POINT = 0x10FFFF;
constexpr size_t BMP_SIZE = 0x10000;

uint32_t read_u32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The binary search in contains() needs ascending, disjoint ranges. The
// shipped images are already in that form; any other list is sorted and
// its overlapping ranges merged, so a hand-made image cannot make the
// above-BMP lookup disagree with the class table.
void normalise(RangeList& list) {
    const size_t n = list.starts.size();
    bool ordered = true;
    for (size_t i = 1; i < n && ordered; ++i) ordered = list.starts[i] > list.ends[i - 1];
    if (ordered) return;

    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return list.starts[a] < list.starts[b]; });
    RangeList out;
    for (uint32_t i : order) {
        const uint32_t lo = list.starts[i], hi = list.ends[i];
        if (!out.ends.empty() && lo <= out.ends.back()) {
            out.ends.back() = std::max(out.ends.back(), hi);
        } else {
            out.starts.push_back(lo);
            out.ends.push_back(hi);
        }
    }
    list = std::move(out);
}

}  // namespace

bool RangeList::contains(uint32_t cp) const {
    // The last range starting at or below cp is the only candidate.
    auto it = std::upper_bound(starts.begin(), starts.end(), cp);
    if (it == starts.begin()) return false;
    return cp <= ends[size_t(it - starts.begin()) - 1];
}

bool read_ranges(const uint8_t* image, size_t len, size_t& offset, RangeList& out) {
    if (offset > len || len - offset < 4) return false;
    const uint32_t count = read_u32(image + offset);
    if (count > MAX_RANGES || (len - offset - 4) / 8 < count) return false;
    const uint8_t* p = image + offset + 4;
    out.starts.clear();
    out.ends.clear();
    out.starts.reserve(count);
    out.ends.reserve(count);
    for (uint32_t i = 0; i < count; ++i, p += 8) {
        const uint32_t lo = read_u32(p), hi = read_u32(p + 4);
        if (lo > hi || hi > MAX_CODE_POINT) return false;
        out.starts.push_back(lo);
        out.ends.push_back(hi);
    }
    offset += 4 + size_t(count) * 8;
    return true;
}

template <int K>
Expected<UClassT<K>> UClassT<K>::from_bytes(const uint8_t* image, size_t len,
                                            std::string_view source) {
    UClassT<K> uc;
    size_t offset = 0;
    for (int k = 0; k < K; ++k) {
        if (!read_ranges(image, len, offset, uc.lists[k])) {
            std::string msg = "zelkor: bad uniclass file: ";
            msg.append(source);
            return Expected<UClassT<K>>::failure(std::move(msg));
        }
    }
    // Whatever follows the K-th list is ignored.

    uc.table.assign(BMP_SIZE, 0);
    for (int k = 0; k < K; ++k) {
        const RangeList& list = uc.lists[k];
        const uint8_t bit = uint8_t(1u << k);
        for (size_t i = 0; i < list.starts.size(); ++i) {
            if (list.starts[i] >= BMP_SIZE) continue;
            const uint32_t last = std::min<uint32_t>(list.ends[i], BMP_SIZE - 1);
            for (uint32_t cp = list.starts[i]; cp <= last; ++cp) uc.table[cp] |= bit;
        }
        normalise(uc.lists[k]);
    }
    return uc;
}

template <int K>
Expected<UClassT<K>> UClassT<K>::load(const std::string& path) {
    FileContents file = read_whole_file(path);
    if (file.stage != ReadStage::Ok)
        return Expected<UClassT<K>>::failure("zelkor: cannot open uniclass file " + path + ": " +
                                             file.error);
    return from_bytes(file.bytes.data(), file.bytes.size(), path);
}

template <int K>
uint64_t UClassT<K>::footprint() const {
    uint64_t total = table.size();
    for (const RangeList& list : lists) total += 4 * uint64_t(list.starts.size() + list.ends.size());
    return total;
}

template struct UClassT<3>;
template struct UClassT<5>;

}  // namespace zelkor
