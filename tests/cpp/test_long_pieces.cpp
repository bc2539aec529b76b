// The store of long pre-tokens: hits, misses, full arenas and crowded slots
// all give the ids of the piece encoder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bpe_reference.h"
#include "encode_loop.h"
#include "long_pieces.h"
#include "tokenizer.h"

using namespace zelkor;
using Ids = std::vector<TokenId>;

namespace {

const Tokenizer& tok(int k) {  // 0 cl100k_base, 1 o200k_base
    static std::unique_ptr<Tokenizer> t[2] = {std::move(*Tokenizer::create(BUILTIN_NAMES[0], "")),
                                              std::move(*Tokenizer::create(BUILTIN_NAMES[1], ""))};
    return *t[k];
}
const uint8_t* u8(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

struct Store {
    LongPieces* s = static_cast<LongPieces*>(std::calloc(1, sizeof(LongPieces)));
    ~Store() { std::free(s); }
    Ids encode(const Vocab& v, const std::string& p) {
        IdVec out;
        long_piece_encode(*s, v, u8(p), p.size(), out);
        return {out.begin(), out.end()};
    }
    Ids encode_repeated(const Vocab& v, const std::string& p) {
        IdVec out;
        repeated_piece_encode(*s, v, u8(p), p.size(), out);
        return {out.begin(), out.end()};
    }
    // The stored ids of p, or null.
    TokenId* stored_ids(const std::string& p) {
        for (const LongPieceSlot& slot : s->slots)
            if (slot.hash != 0 && slot.len == p.size() &&
                std::string(reinterpret_cast<char*>(s->arena + slot.offset), slot.len) == p)
                return reinterpret_cast<TokenId*>(s->arena + slot.offset + ((p.size() + 3) & ~3u));
        return nullptr;
    }
};

Ids direct(const Vocab& v, const std::string& p) {
    IdVec out;
    encode_piece(v, u8(p), p.size(), out);
    return {out.begin(), out.end()};
}

std::string random_piece(std::mt19937& rng, const std::string& alphabet, size_t len) {
    std::string p(len, ' ');
    for (char& c : p) c = alphabet[rng() % alphabet.size()];
    return p;
}

}  // namespace

TEST(LongPieces, RepeatsAreAnsweredFromTheStore) {
    const std::string pieces[] = {
        std::string(16, ' '), std::string(79, ' '), std::string(200, ' '),
        "+-----------------+--------------------------------+\n",  // needs backtracking
        " ======================================================================\n\n\n",
        " d\xC3\xA9veloppements", "\n\n          \xC2\xA0\n          \xC2\xA0\n\n",
        std::string(255, '-'), " ExtendedContext",
    };
    for (int k : {0, 1}) {
        const Vocab& v = *tok(k).vocab;
        Store st;
        for (const auto& p : pieces) {
            const Ids want = zelkor_test::bpe_reference(v, u8(p), p.size());
            EXPECT_EQ(st.encode(v, p), want) << p;  // encoded and kept
            EXPECT_EQ(st.encode(v, p), want) << p;  // answered
            ASSERT_NE(st.stored_ids(p), nullptr) << p;
        }
        // A doctored record shows where the answer comes from.
        st.stored_ids(pieces[0])[0] = 4242;
        EXPECT_EQ(st.encode(v, pieces[0]), Ids{4242});
    }
}

TEST(LongPieces, FullArenaAndCrowdedSlotsKeepIdsExact) {
    // Far more distinct pieces than slots, and more bytes than the arena:
    // slots are overwritten and the store starts over several times.
    std::mt19937 rng(7);
    const Vocab& v = *tok(0).vocab;
    Store st;
    std::vector<std::string> pieces;
    size_t total = 0;
    while (total < 3 * LongPieces::ARENA_BYTES) {
        // Random bytes give one id per byte or close, the most a record holds.
        pieces.push_back(rng() % 4 == 0 ? random_piece(rng, std::string("\x80\xFF\xC3\xE4 x", 6), 255)
                                        : random_piece(rng, " -=+|abc", 16 + rng() % 100));
        total += pieces.back().size();
    }
    uint32_t peak = 0;
    bool started_over = false;
    for (int round = 0; round < 2; ++round) {
        for (const auto& p : pieces) {
            ASSERT_EQ(st.encode(v, p), direct(v, p)) << round;
            started_over |= st.s->used < peak;
            peak = st.s->used;
            ASSERT_LE(st.s->used, LongPieces::ARENA_BYTES);
        }
    }
    EXPECT_TRUE(started_over);
}

// Pieces of more than LONG_PIECE_MAX bytes that repeat a unit: at the
// lengths where they start to be cut (the first stretch of each chunk
// length) and where the piece encoder's own chunking starts, with heads and
// tails, and a rest that does not repeat and is too long to keep. Encoded
// twice: through an empty store, then answered from it.
TEST(LongPieces, RepeatedPiecesAreExactColdAndWarm) {
    std::mt19937 rng(13);
    std::vector<std::string> units = {"-", "=", "*", "#", "/", "~", ".", "_", "!", " ", "\t", "\v", "\xC2\xA0",
                                      "\xE3\x80\x80", "-=", "+-", ". ", "\t ", "+--", "+--+", "<!--", "ab"};
    for (size_t len : {33, 63, 64, 65}) units.push_back(random_piece(rng, "ab-=|", len));
    const std::string heads[] = {"", " ", "x", "|"};
    const std::string tails[] = {"", "\n", "\n\n\n", "x", random_piece(rng, "abcdefghij", STORED_PIECE_MAX + 100)};
    for (int k : {0, 1}) {
        const Vocab& v = *tok(k).vocab;
        Store st;
        int failures = 0;
        for (const std::string& unit : units) {
            for (size_t n : {256, 271, 272, 273, 300, 399, 400, 401, 527, 528, 529, 700, 1023, 1024, 1025, 1039,
                             1040, 1041, 2100}) {
                std::string p = heads[rng() % 4];
                while (p.size() < n) p += unit;
                p.resize(n);
                p += tails[rng() % 5];
                const Ids want = zelkor_test::bpe_reference_long(v, u8(p), p.size());
                for (const char* pass : {"cold", "warm"}) {
                    IdVec out;
                    out.push_back(9);
                    repeated_piece_encode(*st.s, v, u8(p), p.size(), out);
                    if (out[0] == 9 && Ids(out.begin() + 1, out.end()) == want) continue;
                    ADD_FAILURE() << pass << ": " << p.size() << " bytes of '" << unit << "'";
                    ASSERT_LT(++failures, 5);
                }
            }
        }
    }
}

// Pieces of several lines (whitespace-only lines are one pre-token, and
// lines of slashes are with o200k_base): lines of one unit, of units that
// change, short and long, some without repetition, ending in "\n" or
// "\r\n", against the reference, through an empty store and a warm one.
TEST(LongPieces, PiecesOfManyLinesAreExact) {
    std::mt19937 rng(17);
    const std::string units[] = {"/", "-", "\t", " ", "\t ", "=-", "\v"};
    for (int k : {0, 1}) {
        const Vocab& v = *tok(k).vocab;
        Store st;
        int failures = 0;
        for (int i = 0; i < 60; ++i) {
            std::string p;
            const std::string& first = units[rng() % 7];
            for (int lines = 2 + int(rng() % 4); lines > 0; --lines) {
                const std::string& unit = rng() % 4 ? first : units[rng() % 7];
                const size_t n = rng() % 3 ? 256 + rng() % 800 : 1 + rng() % 300;
                if (rng() % 8 == 0) {
                    p += random_piece(rng, "/-= \t", n);
                } else {
                    for (size_t j = 0; j < n; ++j) p += unit[j % unit.size()];
                }
                p += rng() % 5 ? "\n" : rng() % 2 ? "\r\n" : "\n\n";
            }
            if (rng() % 3 == 0) p += first;  // a last line without its newline
            const Ids want = zelkor_test::bpe_reference_long(v, u8(p), p.size());
            for (const char* pass : {"cold", "warm"}) {
                if (st.encode_repeated(v, p) == want) continue;
                ADD_FAILURE() << pass << ": piece " << i << ", " << p.size() << " bytes";
                ASSERT_LT(++failures, 5);
            }
        }
    }
}

// The point of the store for these pieces: lines of one unit share their
// chunks, so a line of a new length adds only its last chunk, and a line
// seen before adds nothing. (A fault here costs no exactness, only the
// speed: every line would go through the search again.)
TEST(LongPieces, LinesOfOneUnitShareTheirChunks) {
    for (int k : {0, 1}) {
        const Vocab& v = *tok(k).vocab;
        for (const std::string unit : {"-", "=", "\t", "+--+"}) {
            Store st;
            auto line = [&](size_t n) {
                std::string p;
                while (p.size() < n) p += unit;
                p.resize(n);
                return p + "\n";
            };
            auto kept = [&] {
                size_t n = 0;
                for (const LongPieceSlot& slot : st.s->slots) n += slot.hash != 0;
                return n;
            };
            st.encode_repeated(v, line(1000));
            // The first stretch, a chunk, the last: a line cut anywhere
            // else, or not cut at all, keeps fewer.
            EXPECT_EQ(kept(), 3u) << unit;
            for (size_t n : {900, 700, 1200}) {
                const size_t before = kept();
                EXPECT_EQ(st.encode_repeated(v, line(n)), direct(v, line(n))) << unit << " " << n;
                EXPECT_LE(kept(), before + 1) << unit << " " << n;
            }
            const uint32_t used = st.s->used;
            for (size_t n : {1000, 900, 700, 1200}) st.encode_repeated(v, line(n));
            EXPECT_EQ(st.s->used, used) << unit;  // all answered
        }
    }
}

TEST(LongPieces, TextsThroughTheCacheLeaseAgreeWithoutIt) {
    std::mt19937 rng(11);
    std::string text;
    const std::string units[] = {"|---", "-=", "+--+"};
    for (int i = 0; i < 3000; ++i) {
        switch (rng() % 7) {
            // (appended, not concatenated: GCC 12 warns falsely on the latter)
            case 0: text.append("\n").append(16 + rng() % 300, ' ').append("x"); break;
            case 1: text.append(" ").append(14 + rng() % 250, '=').append("\n\n"); break;
            case 5: text.append("\n").append(250 + rng() % 1200, "-=\t"[rng() % 3]).append("\n"); break;
            case 6: {
                const std::string unit = units[rng() % 3];
                for (size_t n = 250 + rng() % 1200; n > 0; --n) text += unit[n % unit.size()];
                text += "\n";
                break;
            }
            case 2: text += " word" + std::to_string(rng() % 50); break;
            case 3: text += " \xC3\xA9l\xC3\xA9phantesquement"; break;
            default: text += "\xE4\xBD\xA0\xE5\xA5\xBD\xE4\xB8\x96\xE7\x95\x8C\xE4\xBD\xA0\xE5\xA5\xBD"; break;
        }
    }
    for (int k : {0, 1}) {
        PretokenCache off;
        IdVec want;
        (tok(k).is_o200k ? encode_core_o200k : encode_core_cl100k)(tok(k), u8(text), text.size(), want,
                                                                   off);
        for (int pass = 0; pass < 2; ++pass) {
            IdVec got;
            encode_into_workers(tok(k), u8(text), text.size(), got, 1);
            ASSERT_EQ(Ids(got.begin(), got.end()), Ids(want.begin(), want.end())) << k << " " << pass;
            IdVec scratch;
            EXPECT_EQ(count_workers(tok(k), u8(text), text.size(), scratch, 1), want.size());
        }
    }
}
