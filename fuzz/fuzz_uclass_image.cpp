// Class images of any shape, read as both class sets: a failure carries
// the fixed message; a success classifies every code point as the ranges
// of the image say, in the table and in the range search alike.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "uclass.h"

using namespace zelkor;

namespace {

constexpr std::string_view SOURCE = "fuzz.uniclass";

struct Range {
    uint32_t lo, hi;
};

// The first k lists of the image by the format alone.
bool well_formed(const uint8_t* data, size_t size, int k, std::vector<std::vector<Range>>& lists) {
    size_t off = 0;
    lists.assign(size_t(k), {});
    for (int i = 0; i < k; ++i) {
        if (size - off < 4) return false;
        const uint32_t count = fuzz::le32(data + off);
        off += 4;
        if (count > 100000 || (size - off) / 8 < count) return false;
        for (uint32_t j = 0; j < count; ++j, off += 8) {
            const Range r{fuzz::le32(data + off), fuzz::le32(data + off + 4)};
            if (r.lo > r.hi || r.hi > 0x10FFFF) return false;
            lists[size_t(i)].push_back(r);
        }
    }
    return true;
}

bool member(const std::vector<Range>& list, uint32_t cp) {
    for (const Range& r : list)
        if (r.lo <= cp && cp <= r.hi) return true;
    return false;
}

template <int K>
void check_point(const UClassT<K>& uc, const std::vector<std::vector<Range>>& lists, uint32_t cp) {
    if (cp > 0x10FFFF) return;
    uint8_t want = 0;
    for (int k = 0; k < K; ++k) {
        const bool in = member(lists[size_t(k)], cp);
        if (in) want |= uint8_t(1u << k);
        FUZZ_CHECK(uc.is(cp, k) == in);
        FUZZ_CHECK(uc.lists[k].contains(cp) == in);
    }
    FUZZ_CHECK(uc.classes(cp) == want);
}

template <int K>
void run(const uint8_t* data, size_t size) {
    std::vector<std::vector<Range>> lists;
    const bool formed = well_formed(data, size, K, lists);
    auto r = UClassT<K>::from_bytes(data, size, SOURCE);
    FUZZ_CHECK(r.ok() == formed);
    if (!r) {
        FUZZ_CHECK(r.error() == "zelkor: bad uniclass file: " + std::string(SOURCE));
        return;
    }
    const UClassT<K>& uc = *r;
    FUZZ_CHECK(uc.table.size() == 0x10000 && !uc.empty());
    for (int k = 0; k < K; ++k) {
        const RangeList& l = uc.lists[k];
        FUZZ_CHECK(l.starts.size() == l.ends.size());
        for (size_t i = 0; i < l.starts.size(); ++i) {
            FUZZ_CHECK(l.starts[i] <= l.ends[i]);
            if (i) FUZZ_CHECK(l.starts[i] > l.ends[i - 1]);
        }
    }
    // Every range bound and its neighbours, plus the edges of the planes.
    for (const auto& list : lists) {
        for (const Range& g : list) {
            for (uint32_t cp : {g.lo - 1, g.lo, g.lo + 1, g.hi - 1, g.hi, g.hi + 1})
                check_point(uc, lists, cp);
        }
    }
    for (uint32_t cp : {0u, 0x7Fu, 0x80u, 0xFFFFu, 0x10000u, 0x10FFFFu}) check_point(uc, lists, cp);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    run<3>(data, size);
    run<5>(data, size);
    return 0;
}
