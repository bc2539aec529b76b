// Loading vocabulary images: every rejection with its message, in the order
// the checks run, and the limits of the format.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "test_support.h"
#include "vocab.h"

using zelkor::Vocab;
using zelkor_test::VocabImage;

namespace {

std::string load_error(const std::vector<uint8_t>& image, std::string_view source = "img") {
    auto v = Vocab::from_bytes(image.data(), image.size(), source);
    return v ? std::string("loaded") : v.error();
}

std::string bad(const std::string& detail) { return "zelkor: bad vocab file (" + detail + "): img"; }

TEST(VocabParse, HeaderFaults) {
    EXPECT_EQ(load_error({}), bad("truncated header"));
    EXPECT_EQ(load_error({1, 0, 0}), bad("truncated header"));
    const std::string range = bad("token count out of range (max 262144 ids)");
    EXPECT_EQ(load_error(VocabImage().bytes(0)), range);
    EXPECT_EQ(load_error(VocabImage().bytes(262145)), range);
    EXPECT_EQ(load_error(VocabImage().bytes(0xFFFFFFFF)), range);
    // The largest count passes the header check and fails on the records.
    EXPECT_EQ(load_error(VocabImage().bytes(262144)), bad("truncated record"));
}

TEST(VocabParse, RecordFaults) {
    EXPECT_EQ(load_error(VocabImage().raw({5}).bytes(1)), bad("truncated record"));
    // The length is checked before the bytes behind it.
    EXPECT_EQ(load_error(VocabImage().put16(0).raw({'a', 0, 0, 0, 0}).bytes(1)),
              bad("token length out of range"));
    std::vector<uint8_t> long_record = VocabImage().put16(256).bytes(1);
    long_record.resize(long_record.size() + 300, 0);
    EXPECT_EQ(load_error(long_record), bad("token length out of range"));
    // Complete token bytes, rank cut short.
    EXPECT_EQ(load_error(VocabImage().put16(2).raw({'a', 'b', 0, 0, 0}).bytes(1)),
              bad("truncated token bytes"));
    EXPECT_EQ(load_error(VocabImage().add("a", 0).add("b", 2).bytes()), bad("rank out of range"));
    EXPECT_EQ(load_error(VocabImage().add("a", 0).add("b", 0).bytes()), bad("duplicate rank"));
    // The first failing record decides, even when a later one fails earlier
    // in the list of checks.
    EXPECT_EQ(load_error(VocabImage().add("a", 1).add("b", 1).put16(0).bytes(3)),
              bad("duplicate rank"));
}

TEST(VocabParse, TrailingBytesComeBeforeMissingBytes) {
    std::vector<uint8_t> image = VocabImage().add("a", 0).bytes();
    image.push_back(0);
    EXPECT_EQ(load_error(image), bad("trailing bytes"));
}

TEST(VocabParse, MessagesEndWithTheSource) {
    EXPECT_EQ(load_error({}, "/data/x/cl100k.vocab"),
              "zelkor: bad vocab file (truncated header): /data/x/cl100k.vocab");
}

// Without a one-byte token for some byte a piece could match nothing in
// its middle; such an image is refused when it is loaded.
TEST(VocabParse, EveryByteNeedsItsOwnToken) {
    VocabImage img;
    for (int b = 0; b < 256; ++b) img.add(b == 0x41 ? std::string("AA") : std::string(1, char(b)), b);
    EXPECT_EQ(load_error(img.bytes()), bad("no single-byte token for byte 0x41"));

    // The lowest missing byte is named.
    VocabImage two;
    for (int b = 0; b < 256; ++b)
        two.add(b == 0xE4 || b == 0x9 ? std::string(2, char(b)) : std::string(1, char(b)), b);
    EXPECT_EQ(load_error(two.bytes()), bad("no single-byte token for byte 0x09"));

    EXPECT_EQ(load_error(VocabImage().add("a", 0).bytes()), bad("no single-byte token for byte 0x00"));
}

TEST(VocabParse, RecordOrderDoesNotMatter) {
    const char* extra[] = {"bc", "ab", "abc", "xyz", "xy", "xyzw"};
    VocabImage up, down;
    up.add_bytes();
    for (int i = 0; i < 6; ++i) up.add(extra[i], 256 + i);
    for (int i = 5; i >= 0; --i) down.add(extra[i], 256 + i);
    for (int b = 255; b >= 0; --b) down.add(std::string(1, char(b)), b);
    auto a = Vocab::from_bytes(up.bytes().data(), up.bytes().size(), "up");
    auto d = Vocab::from_bytes(down.bytes().data(), down.bytes().size(), "down");
    ASSERT_TRUE(a && d);
    EXPECT_EQ(a->get()->token_bytes, d->get()->token_bytes);
    EXPECT_EQ(a->get()->node_token, d->get()->node_token);
    EXPECT_EQ(a->get()->prefix_token, d->get()->prefix_token);
    EXPECT_EQ(a->get()->edge1, d->get()->edge1);
    EXPECT_EQ(a->get()->edge2, d->get()->edge2);
    EXPECT_EQ(a->get()->pair_table, d->get()->pair_table);
}

TEST(VocabParse, DuplicateByteStringsLoad) {
    VocabImage img;
    img.add_bytes().add("ab", 256).add("ab", 257).add("abc", 258).add("abc", 259);
    auto v = Vocab::from_bytes(img.bytes().data(), img.bytes().size(), "dup");
    ASSERT_TRUE(v) << v.error();
    const Vocab& voc = **v;
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(voc.find_id(abc, 2), 257u);  // the highest id wins the lookup
    EXPECT_EQ(voc.find_id(abc, 3), 259u);
    EXPECT_EQ(voc.by_bytes.entries(), 258u);
    // edge1 keeps the lowest id of the pair.
    uint64_t e1 = voc.edge1_find(voc.two_node['a' * 256 + 'b'], 'c');
    EXPECT_EQ(e1 & 0x3FFFF, 258u);
}

// A trie of exactly `nodes` nodes, root included: the 256 bytes, then
// tokens that open a fresh path after a distinct two-byte start.
std::vector<uint8_t> trie_of(uint32_t nodes) {
    VocabImage img;
    img.add_bytes();
    uint32_t left = nodes - 257;
    uint32_t rank = 256;
    for (uint32_t k = 0; left > 0; ++k) {
        uint32_t len = std::min<uint32_t>(255, left + 1);  // adds len - 1 nodes
        std::string tok(len, char(k & 0xFF));
        tok[1] = char(k >> 8);
        img.add(tok, rank++);
        left -= len - 1;
    }
    return img.bytes();
}

TEST(VocabParse, NodeLimit) {
    std::vector<uint8_t> fits = trie_of(1048575);
    auto v = Vocab::from_bytes(fits.data(), fits.size(), "fits");
    ASSERT_TRUE(v) << v.error();
    EXPECT_EQ(v->get()->node_token.size(), 1048575u);
    // Deep node numbers survive packing into edge2.
    const Vocab& voc = **v;
    uint32_t last = voc.n - 1;
    EXPECT_EQ(zelkor::longest_prefix_token(voc, voc.token_data(last), voc.token_lens[last]), last);

    std::vector<uint8_t> over = trie_of(1048576);
    EXPECT_EQ(load_error(over, "over"), "zelkor: trie too large for packed e2 (max 2^20 nodes): over");
}

}  // namespace
