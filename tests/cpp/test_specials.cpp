#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "builtin_images.h"
#include "specials.h"

namespace zelkor {
namespace {

const std::string BAD = "zelkor: bad special-tokens file: src";

struct Image {
    std::vector<uint8_t> bytes;

    Image& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    Image& u16(uint16_t v) {
        bytes.push_back(uint8_t(v));
        bytes.push_back(uint8_t(v >> 8));
        return *this;
    }
    Image& raw(std::string_view s) {
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    Image& record(uint32_t id, std::string_view s) { return u32(id).u16(uint16_t(s.size())).raw(s); }
};

Expected<SpecialList> parse(const Image& img) {
    return specials_from_bytes(img.bytes.data(), img.bytes.size(), "src");
}

TEST(SpecialsParser, EveryFailureGivesTheSameMessage) {
    struct Case {
        const char* what;
        Image img;
    };
    std::vector<Case> cases;
    cases.push_back({"empty", Image{}});
    cases.push_back({"short header", Image{}.raw("\0\0\0")});
    cases.push_back({"count 4097", Image{}.u32(4097)});
    cases.push_back({"records missing", Image{}.u32(1)});
    cases.push_back({"id and len cut short", Image{}.u32(1).u32(7).raw("\x01")});
    cases.push_back({"len 0", Image{}.u32(1).u32(7).u16(0).raw("abc")});
    cases.push_back({"len 65", Image{}.u32(1).record(7, std::string(65, 'x'))});
    cases.push_back({"string cut short", Image{}.u32(1).u32(7).u16(5).raw("abcd")});
    cases.push_back({"second record bad", Image{}.u32(2).record(1, "<|a|>").u32(2).u16(0)});
    // Ill-formed UTF-8 of every kind.
    for (const char* s : {"\x80", "a\xBF", "\xC0\xAF", "\xC1\x81", "\xE0\x80\xAF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\xE2\x82", "\xF0\x9F\x98",
                          "\xE2\x28\xA1", "\xC3"})
        cases.push_back({s, Image{}.u32(1).record(7, s)});

    for (const Case& c : cases) {
        auto r = parse(c.img);
        ASSERT_FALSE(r.ok()) << c.what;
        EXPECT_EQ(r.error(), BAD) << c.what;
    }
}

TEST(SpecialsParser, AcceptsTheLimitsAndKeepsFileOrder) {
    auto empty = parse(Image{}.u32(0));
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->empty());

    // Repeated ids and strings are kept, in image order; junk after the
    // last record (even a bogus record) is never read.
    const std::string longest(64, 'z');
    auto r = parse(Image{}
                       .u32(5)
                       .record(9, longest)
                       .record(9, "<|dup|>")
                       .record(3, "<|dup|>")
                       .record(0xFFFFFFFF, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80")
                       .record(4, "\xF4\x8F\xBF\xBF")
                       .u32(1)
                       .u16(0)
                       .raw("\xFF"));
    ASSERT_TRUE(r.ok()) << r.error();
    ASSERT_EQ(r->size(), 5u);
    EXPECT_EQ((*r)[0].text, longest);
    EXPECT_EQ((*r)[1].text, "<|dup|>");
    EXPECT_EQ((*r)[1].id, 9u);
    EXPECT_EQ((*r)[2].id, 3u);
    EXPECT_EQ((*r)[3].id, 0xFFFFFFFFu);
    EXPECT_EQ((*r)[4].text, "\xF4\x8F\xBF\xBF");

    Image full;
    full.u32(4096);
    for (uint32_t i = 0; i < 4096; ++i) full.record(i, "<|t" + std::to_string(i) + "|>");
    auto many = parse(full);
    ASSERT_TRUE(many.ok());
    EXPECT_EQ(many->size(), 4096u);
    EXPECT_EQ(many->back().text, "<|t4095|>");
}

SpecialList builtin(const char* name) {
    const zelkor::Image img = builtin_image(name);
    auto r = specials_from_bytes(img.data, img.size, name);
    EXPECT_TRUE(r.ok()) << r.error();
    return r.ok() ? *r : SpecialList{};
}

TEST(BuiltinSpecials, BaseEncodings) {
    const SpecialList cl = builtin("cl100k.special");
    const std::vector<std::pair<std::string, uint32_t>> want_cl = {
        {"<|endoftext|>", 100257}, {"<|fim_prefix|>", 100258}, {"<|fim_middle|>", 100259},
        {"<|fim_suffix|>", 100260}, {"<|endofprompt|>", 100276}};
    ASSERT_EQ(cl.size(), want_cl.size());
    for (size_t i = 0; i < cl.size(); ++i) {
        EXPECT_EQ(cl[i].text, want_cl[i].first);
        EXPECT_EQ(cl[i].id, want_cl[i].second);
    }

    const SpecialList o = builtin("o200k.special");
    ASSERT_EQ(o.size(), 2u);
    EXPECT_EQ(o[0].text, "<|endoftext|>");
    EXPECT_EQ(o[0].id, 199999u);
    EXPECT_EQ(o[1].text, "<|endofprompt|>");
    EXPECT_EQ(o[1].id, 200018u);
}

TEST(BuiltinSpecials, HarmonyFollowsItsRule) {
    const std::map<uint32_t, std::string> named = {
        {199998, "<|startoftext|>"}, {199999, "<|endoftext|>"}, {200002, "<|return|>"},
        {200003, "<|constrain|>"},   {200005, "<|channel|>"},   {200006, "<|start|>"},
        {200007, "<|end|>"},         {200008, "<|message|>"},   {200012, "<|call|>"},
        {200018, "<|endofprompt|>"}};
    // One record per id, the name if it has one, else the reserved string;
    // 200018 has both, the name first.
    SpecialList want;
    for (uint32_t id = 199998; id <= 201087; ++id) {
        const auto it = named.find(id);
        if (it != named.end()) want.push_back({it->second, id});
        if (it == named.end() || id == 200018)
            want.push_back({"<|reserved_" + std::to_string(id) + "|>", id});
    }
    const SpecialList h = builtin("o200k_harmony.special");
    ASSERT_EQ(h.size(), 1091u);
    size_t longest = 0;
    for (size_t i = 0; i < h.size(); ++i) {
        EXPECT_EQ(h[i].text, want[i].text) << i;
        EXPECT_EQ(h[i].id, want[i].id) << i;
        longest = std::max(longest, h[i].text.size());
    }
    EXPECT_EQ(longest, 19u);
}

}  // namespace
}  // namespace zelkor
