// The merge hints embedded for the built-in vocabularies must give exactly
// the tables the merge search gives, and hints that do not belong to an
// image must change nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "builtin_images.h"
#include "merge_hints.h"
#include "test_support.h"

namespace zelkor {
namespace {

using zelkor_test::data_path;
using zelkor_test::read_file;

std::unique_ptr<Vocab> build(const std::vector<uint8_t>& image, const MergeHintsBlob& hints) {
    auto v = Vocab::from_bytes(image.data(), image.size(), "image", hints);
    EXPECT_TRUE(v.ok());
    return v ? std::move(v.value()) : nullptr;
}

void expect_same_merges(const Vocab& a, const Vocab& b) {
    ASSERT_EQ(a.n, b.n);
    for (uint32_t t = 0; t < a.n; ++t) {
        ASSERT_EQ(a.split_table[t].left, b.split_table[t].left) << t;
        ASSERT_EQ(a.split_table[t].right, b.split_table[t].right) << t;
    }
    EXPECT_EQ(a.pair_table, b.pair_table);
    EXPECT_EQ(a.pair_filter, b.pair_filter);
    EXPECT_EQ(a.footprint(), b.footprint());
}

uint32_t read_u32_le(const std::vector<uint8_t>& b) {
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

MergeHintsBlob blob_of(const std::vector<uint8_t>& b) { return MergeHintsBlob{b.data(), b.size()}; }

TEST(MergeHints, EmbeddedHintsGiveTheSearchedTables) {
    for (const char* file : {"cl100k.vocab", "o200k.vocab"}) {
        SCOPED_TRACE(file);
        const std::vector<uint8_t> image = read_file(data_path(file));
        const Image embedded = builtin_merge_hints(file);
        ASSERT_NE(embedded.data, nullptr);
        const MergeHintsBlob hints{embedded.data, embedded.size};
        ASSERT_NE(hints_for_image(hints, image.data(), image.size(), read_u32_le(image)), nullptr);
        auto searched = build(image, {});
        auto hinted = build(image, hints);
        ASSERT_TRUE(searched && hinted);
        expect_same_merges(*searched, *hinted);
        // The blob is what the generator writes for this image.
        const std::vector<uint8_t> fresh = merge_hints_blob(*searched, image.data(), image.size());
        ASSERT_EQ(fresh.size(), embedded.size);
        EXPECT_EQ(std::memcmp(fresh.data(), embedded.data, fresh.size()), 0);
    }
}

TEST(MergeHints, HintsOfAnotherImageAreIgnored) {
    const std::vector<uint8_t> cl = read_file(data_path("cl100k.vocab"));
    const Image o200k_hints = builtin_merge_hints("o200k.vocab");
    auto searched = build(cl, {});
    auto given = build(cl, MergeHintsBlob{o200k_hints.data, o200k_hints.size});
    ASSERT_TRUE(searched && given);
    expect_same_merges(*searched, *given);

    // Same token count and length, one byte of the image changed: the
    // fingerprint no longer matches.
    std::vector<uint8_t> blob = merge_hints_blob(*searched, cl.data(), cl.size());
    std::vector<uint8_t> other = cl;
    other[other.size() - 5] ^= 1;  // inside the last record's rank
    EXPECT_EQ(hints_for_image(blob_of(blob), other.data(), other.size(), searched->n), nullptr);
    EXPECT_NE(hints_for_image(blob_of(blob), cl.data(), cl.size(), searched->n), nullptr);
}

TEST(MergeHints, DamagedBlobsAreIgnoredOrFallBackToTheSearch) {
    const std::vector<uint8_t> cl = read_file(data_path("cl100k.vocab"));
    auto searched = build(cl, {});
    ASSERT_TRUE(searched);
    const std::vector<uint8_t> good = merge_hints_blob(*searched, cl.data(), cl.size());

    std::vector<std::vector<uint8_t>> damaged;
    damaged.push_back({});                                       // empty
    damaged.push_back(std::vector<uint8_t>(good.begin(), good.end() - 8));  // truncated
    damaged.push_back(good);
    damaged.back()[0] = 'X';  // magic
    damaged.push_back(good);
    damaged.back()[4] = 2;  // version
    // Right header, a split that cannot be: one token's left part is itself.
    uint32_t t = 0;
    while (searched->split_table[t].left == t) ++t;
    damaged.push_back(good);
    std::memcpy(damaged.back().data() + 32 + size_t(t) * 8, &t, 4);
    // A split into parts whose lengths do not add up.
    damaged.push_back(good);
    const uint32_t one_byte = 0;
    std::memcpy(damaged.back().data() + 32 + size_t(searched->n - 1) * 8, &one_byte, 4);

    for (size_t k = 0; k < damaged.size(); ++k) {
        SCOPED_TRACE(k);
        auto v = build(cl, blob_of(damaged[k]));
        ASSERT_TRUE(v);
        expect_same_merges(*searched, *v);
    }
}

}  // namespace
}  // namespace zelkor
