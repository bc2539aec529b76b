#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "builtin_images.h"
#include "uclass.h"

namespace zelkor {
namespace {

struct Ranges {
    std::vector<uint8_t> bytes;

    Ranges& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    // One list: count, then the (lo, hi) pairs.
    Ranges& list(std::initializer_list<std::pair<uint32_t, uint32_t>> rs) {
        u32(uint32_t(rs.size()));
        for (auto [lo, hi] : rs) u32(lo).u32(hi);
        return *this;
    }
    Ranges& empty_lists(int n) {
        for (int i = 0; i < n; ++i) u32(0);
        return *this;
    }
};

template <class UC>
Expected<UC> parse(const Ranges& r) {
    return UC::from_bytes(r.bytes.data(), r.bytes.size(), "src");
}

TEST(UClassParser, MalformedImagesFail) {
    const std::string bad = "zelkor: bad uniclass file: src";
    Ranges too_many;
    too_many.u32(100001);
    for (int i = 0; i < 100001; ++i) too_many.u32(0x41).u32(0x41);
    too_many.empty_lists(2);

    const std::vector<std::pair<const char*, Ranges>> cases = {
        {"empty", Ranges{}},
        {"two lists of three", Ranges{}.empty_lists(2)},
        {"count 100001 with its bytes", too_many},
        {"ranges cut short", Ranges{}.u32(2).u32(1).u32(2).u32(3)},
        {"count cut short", [] {
             Ranges r;
             r.empty_lists(2).bytes.resize(10);
             return r;
         }()},
        {"lo > hi", Ranges{}.list({{0x42, 0x41}}).empty_lists(2)},
        {"hi = 0x110000", Ranges{}.empty_lists(2).list({{0x10000, 0x110000}})},
    };
    for (const auto& [what, img] : cases) {
        auto r = parse<UClass>(img);
        ASSERT_FALSE(r.ok()) << what;
        EXPECT_EQ(r.error(), bad) << what;
    }
    // Three lists are not enough for the o200k tables.
    auto o = parse<UClassO>(Ranges{}.empty_lists(3));
    ASSERT_FALSE(o.ok());
    EXPECT_EQ(o.error(), bad);
}

TEST(UClassParser, ListsMapToTheirBitsAcrossThePlaneBoundary) {
    auto r = parse<UClassO>(Ranges{}
                                .list({{0x41, 0x5A}, {0xFFF0, 0x10010}})
                                .list({})
                                .list({{0x20, 0x20}, {0x10FFFF, 0x10FFFF}})
                                .list({{0x41, 0x41}})
                                .list({{0x10000, 0x10000}})
                                .u32(0xDEADBEEF));  // junk after the last list
    ASSERT_TRUE(r.ok()) << r.error();
    const UClassO& uc = *r;
    ASSERT_EQ(uc.table.size(), 65536u);
    EXPECT_EQ(uc.classes(0x41), CLASS_LETTER | CLASS_UPPER);
    EXPECT_EQ(uc.classes(0x5A), CLASS_LETTER);
    EXPECT_EQ(uc.classes(0x5B), 0);
    EXPECT_EQ(uc.classes(0x20), CLASS_SPACE);
    // A range crossing U+FFFF: table bits below, range search above.
    EXPECT_EQ(uc.classes(0xFFEF), 0);
    EXPECT_EQ(uc.classes(0xFFF0), CLASS_LETTER);
    EXPECT_EQ(uc.classes(0xFFFF), CLASS_LETTER);
    EXPECT_EQ(uc.classes(0x10000), CLASS_LETTER | CLASS_LOWER);
    EXPECT_TRUE(uc.is(0x10010, 0));
    EXPECT_FALSE(uc.is(0x10011, 0));
    EXPECT_EQ(uc.classes(0x10FFFF), CLASS_SPACE);
    EXPECT_FALSE(uc.is(0x10FFFE, 2));
    // 8 bytes per range plus the table.
    EXPECT_EQ(uc.footprint(), 6 * 8 + 65536u);
}

// The range search must agree with the table even for an image whose
// ranges are out of order or overlap.
TEST(UClassParser, UnorderedRangesAreStillFound) {
    auto r = parse<UClass>(Ranges{}
                               .list({{0x20000, 0x20010}, {0x10003, 0x10008}, {0x10000, 0x10005},
                                      {0x100, 0x100}})
                               .empty_lists(2));
    ASSERT_TRUE(r.ok()) << r.error();
    const RangeList& l = r->lists[0];
    for (uint32_t cp : {0x100u, 0x10000u, 0x10004u, 0x10008u, 0x20000u, 0x20010u})
        EXPECT_TRUE(l.contains(cp)) << std::hex << cp;
    for (uint32_t cp : {0xFFu, 0x101u, 0xFFFFu, 0x10009u, 0x1FFFFu, 0x20011u})
        EXPECT_FALSE(l.contains(cp)) << std::hex << cp;
    EXPECT_TRUE(r->is(0x100, 0));
    EXPECT_FALSE(RangeList{}.contains(0));
}

TEST(UClassLoad, MessagesNameThePath) {
    char tmpl[] = "/tmp/zelkor_uclass_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, path = dir + "/uniclass.bin";

    auto missing = UClass::load(path);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error(), "zelkor: cannot open uniclass file " + path +
                                   ": No such file or directory (os error 2)");

    std::ofstream(path, std::ios::binary) << std::string(8, '\0');  // two lists of three
    auto bad = UClass::load(path);
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error(), "zelkor: bad uniclass file: " + path);
    std::filesystem::remove_all(dir);
}

template <class UC>
UC builtin(const char* name) {
    const Image img = builtin_image(name);
    auto r = UC::from_bytes(img.data, img.size, name);
    EXPECT_TRUE(r.ok()) << r.error();
    return r.ok() ? std::move(*r) : UC{};
}

TEST(BuiltinClasses, TellingMembers) {
    const UClass cl = builtin<UClass>("uniclass.bin");
    const UClassO o = builtin<UClassO>("uniclass_o200k.bin");
    ASSERT_FALSE(cl.empty());
    ASSERT_FALSE(o.empty());

    const size_t counts[5] = {684, 146, 10, 1300, 1282};
    for (int k = 0; k < 5; ++k) EXPECT_EQ(o.lists[k].starts.size(), counts[k]) << k;
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(cl.lists[k].starts, o.lists[k].starts) << k;
        EXPECT_EQ(cl.lists[k].ends, o.lists[k].ends) << k;
    }

    const uint8_t L = CLASS_LETTER, N = CLASS_NUMBER, S = CLASS_SPACE, U = CLASS_UPPER,
                  W = CLASS_LOWER;
    const std::vector<std::pair<uint32_t, uint8_t>> members = {
        {0x0041, L | U},  {0x0061, L | W},      {0x0030, N},         {0x00A0, S},
        {0x0085, S},      {0x0009, S},          {0x3000, S},         {0x200B, 0},
        {0x0300, U | W},  {0x0295, L | U | W},  {0x4E00, L | U | W}, {0x323B0, L | U | W},
        {0x33479, L | U | W}, {0x3347A, 0},     {0x11DE0, N},        {0x11DE9, N},
        {0x16FF4, N},     {0x16FF6, N},         {0x1F600, 0},        {0x10FFFF, 0},
    };
    for (auto [cp, bits] : members) {
        EXPECT_EQ(o.classes(cp), bits) << std::hex << cp;
        EXPECT_EQ(cl.classes(cp), bits & (L | N | S)) << std::hex << cp;
    }
    EXPECT_EQ(cl.footprint(), (684 + 146 + 10) * 8 + 65536u);
    EXPECT_EQ(o.footprint(), (684 + 146 + 10 + 1300 + 1282) * 8 + 65536u);
}

}  // namespace
}  // namespace zelkor
