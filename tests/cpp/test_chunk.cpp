// Chunking: on long mixed texts every chunk, counted alone, keeps to the
// budget, its recorded count is that count, and the batch form agrees.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "chunk.h"
#include "tokenizer.h"

using namespace zelkor;

namespace {

const Tokenizer& tokenizer(const char* name) {
    static std::unique_ptr<Tokenizer> cl = std::move(*Tokenizer::create("cl100k_base", ""));
    static std::unique_ptr<Tokenizer> o = std::move(*Tokenizer::create("o200k_base", ""));
    return std::string_view(name) == "cl100k_base" ? *cl : *o;
}

const uint8_t* u8(std::string_view s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// Words, digit runs, contractions, whitespace runs and characters of several
// tokens, drawn at random: the places where cutting changes the tokens.
std::string mixed_text(size_t pieces, uint32_t seed) {
    static const char* const FRAGMENTS[] = {
        "the", " quick", " brown", "Fox", "DON'T", "'s", " it's", "1234567", "3.14", " 42", "  ",
        "   ", "\t", "\n", "\r\n", "\n\n", ". ", "! ", "? ", "\xE2\x80\xA6", "\"", ")",
        "\xE3\x81\x93\xE3\x82\x93\xE3\x81\xAB\xE3\x81\xA1\xE3\x81\xAF",  // konnichiwa
        "\xE3\x80\x82",                                                  // ideographic full stop
        "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82",              // Privet
        "\xF0\x9F\x8E\x89", "\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA",          // party popper, flag
        "e\xCC\x81", "\xC2\xA0", "https://x.io/a",
    };
    std::mt19937 rng(seed);
    std::uniform_int_distribution<size_t> pick(0, std::size(FRAGMENTS) - 1);
    std::string s;
    for (size_t i = 0; i < pieces; ++i) s += FRAGMENTS[pick(rng)];
    return s;
}

std::vector<Chunk> chunks_of(const Tokenizer& tok, std::string_view text, ChunkOptions opt) {
    ChunkScratch scratch;
    std::vector<Chunk> out;
    chunk_text(tok, u8(text), text.size(), opt, scratch, out, 1);
    return out;
}

bool char_start(std::string_view s, size_t p) {
    return p == s.size() || (uint8_t(s[p]) & 0xC0) != 0x80;
}

}  // namespace

TEST(Chunk, EveryChunkKeepsToTheBudget) {
    for (const char* name : {"cl100k_base", "o200k_base"}) {
        const Tokenizer& tok = tokenizer(name);
        const std::string text = mixed_text(3000, 7);
        for (size_t max_tokens : {1, 3, 16, 100}) {
            for (ChunkBoundary kind : {ChunkBoundary::Token, ChunkBoundary::Whitespace,
                                       ChunkBoundary::Line, ChunkBoundary::Sentence}) {
                const size_t overlap = max_tokens / 2;
                const auto chunks = chunks_of(tok, text, {max_tokens, overlap, kind, false});
                ASSERT_FALSE(chunks.empty());
                EXPECT_EQ(chunks.front().start, 0u);
                EXPECT_EQ(chunks.back().end, text.size());
                for (size_t i = 0; i < chunks.size(); ++i) {
                    const Chunk& c = chunks[i];
                    ASSERT_LT(c.start, c.end);
                    ASSERT_TRUE(char_start(text, c.start) && char_start(text, c.end));
                    const size_t alone = count(tok, u8(text) + c.start, c.end - c.start);
                    ASSERT_EQ(c.tokens, alone) << name << " chunk " << i;
                    const bool one_char = char_start(text, c.start) && c.end - c.start <= 4 &&
                                          [&] {
                                              for (size_t p = c.start + 1; p < c.end; ++p)
                                                  if (char_start(text, p)) return false;
                                              return true;
                                          }();
                    ASSERT_TRUE(alone <= max_tokens || one_char) << name << " chunk " << i;
                    if (i > 0) {
                        const Chunk& prev = chunks[i - 1];
                        ASSERT_LT(prev.start, c.start);
                        ASSERT_LE(c.start, prev.end);
                        ASSERT_LE(count(tok, u8(text) + c.start, prev.end - c.start), overlap);
                    }
                }
            }
        }
    }
}

TEST(Chunk, BatchGivesEachTextsChunksOnAnyThreads) {
    const Tokenizer& tok = tokenizer("o200k_base");
    std::vector<std::string> owned;
    for (uint32_t seed = 0; seed < 12; ++seed) owned.push_back(mixed_text(40 * seed, seed));
    std::vector<std::string_view> texts(owned.begin(), owned.end());
    const ChunkOptions opt{20, 5, ChunkBoundary::Sentence, true};
    const auto one = chunk_batch(tok, texts, opt, 1);
    ASSERT_EQ(one.size(), texts.size());
    EXPECT_TRUE(one[0].empty());  // the empty text
    for (size_t threads : {2, 5, 0}) {
        const auto many = chunk_batch(tok, texts, opt, threads);
        ASSERT_EQ(many.size(), one.size());
        for (size_t i = 0; i < one.size(); ++i) {
            ASSERT_EQ(many[i].size(), one[i].size());
            for (size_t k = 0; k < one[i].size(); ++k) {
                EXPECT_EQ(many[i][k].start, one[i][k].start);
                EXPECT_EQ(many[i][k].end, one[i][k].end);
                EXPECT_EQ(many[i][k].tokens, one[i][k].tokens);
            }
        }
    }
}

static bool same_chunks(const std::vector<Chunk>& a, const std::vector<Chunk>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].start != b[i].start || a[i].end != b[i].end || a[i].tokens != b[i].tokens) return false;
    return true;
}

// Budgets of thousands of tokens keep thousands of pre-tokens in the
// window at once, past the room it starts with; one pre-token of thousands
// of tokens holds many chunks; the 64-bit offsets of huge texts give the
// same chunks as the 32-bit ones.
TEST(Chunk, LongWindowsLongPretokensAndWideOffsets) {
    for (const char* name : {"cl100k_base", "o200k_base"}) {
        const Tokenizer& tok = tokenizer(name);
        std::string text = mixed_text(6000, 11);
        text += " " + std::string(30000, 'q') + "\xC3\xA9" + std::string(20000, '7') + " end";
        const size_t total = count(tok, u8(text), text.size());
        for (const ChunkOptions& opt :
             {ChunkOptions{3000, 0, ChunkBoundary::Token, false}, ChunkOptions{2500, 2000, ChunkBoundary::Line, false},
              ChunkOptions{total, 0, ChunkBoundary::Token, false}, ChunkOptions{16, 5, ChunkBoundary::Sentence, false},
              ChunkOptions{7, 3, ChunkBoundary::Token, false}}) {
            const auto chunks = chunks_of(tok, text, opt);
            ChunkScratch scratch;
            std::vector<Chunk> wide;
            chunk_testing::chunk_text_wide(tok, u8(text), text.size(), opt, scratch, wide);
            EXPECT_TRUE(same_chunks(chunks, wide)) << name << " " << opt.max_tokens;
            ASSERT_FALSE(chunks.empty());
            EXPECT_EQ(chunks.back().end, text.size());
            for (size_t i = 0; i < chunks.size(); ++i) {
                const Chunk& c = chunks[i];
                ASSERT_EQ(c.tokens, count(tok, u8(text) + c.start, c.end - c.start)) << name << " " << i;
                ASSERT_LE(c.tokens, opt.max_tokens);
                if (i > 0) {
                    ASSERT_LT(chunks[i - 1].start, c.start);
                    ASSERT_LE(count(tok, u8(text) + c.start, chunks[i - 1].end - c.start), opt.overlap);
                }
            }
            if (opt.max_tokens == total) {
                EXPECT_EQ(chunks.size(), 1u);
            }
        }
    }
}

TEST(Chunk, CharacterOffsets) {
    // "héllo wörld": é and ö take two bytes each.
    const std::string text = "h\xC3\xA9llo w\xC3\xB6rld";
    std::vector<Chunk> chunks{{0, 3, 0}, {3, 7, 0}, {1, 13, 0}};
    to_char_offsets(u8(text), text.size(), chunks.data(), chunks.size());
    EXPECT_EQ(chunks[0].start, 0u);
    EXPECT_EQ(chunks[0].end, 2u);
    EXPECT_EQ(chunks[1].start, 2u);
    EXPECT_EQ(chunks[1].end, 6u);
    EXPECT_EQ(chunks[2].start, 1u);
    EXPECT_EQ(chunks[2].end, 11u);
}
