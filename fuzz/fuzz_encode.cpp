// Ordinary encoding of arbitrary bytes under both pre-tokenizers. The
// pre-tokens tile the input; every pre-token gets the ids of a plain
// lowest-rank-first merge loop; the ids decode to the input; and the cache,
// the appending form and the batch operations all give the same ids.
#include <numeric>
#include <utility>
#include <vector>

#include "fuzz_encode.h"
#include "mb.h"
#include "pretok_cl100k.h"
#include "pretok_o200k.h"

using namespace zelkor;

namespace {

// Byte-level BPE the slow way: merge the adjacent pair that forms the
// lowest-ranked token, leftmost first, until no pair forms a token.
std::vector<TokenId> merge_loop(const Vocab& v, const uint8_t* p, size_t n) {
    std::vector<size_t> cut(n + 1);
    std::iota(cut.begin(), cut.end(), size_t(0));
    for (;;) {
        TokenId best = NONE;
        size_t at = 0;
        for (size_t i = 0; i + 2 < cut.size(); ++i) {
            const TokenId t = v.find_id(p + cut[i], cut[i + 2] - cut[i]);
            if (t < best) best = t, at = i;
        }
        if (best == NONE) break;
        cut.erase(cut.begin() + std::ptrdiff_t(at) + 1);
    }
    std::vector<TokenId> ids;
    for (size_t i = 0; i + 1 < cut.size(); ++i) {
        const TokenId t = v.find_id(p + cut[i], cut[i + 1] - cut[i]);
        FUZZ_CHECK(t != NONE);
        ids.push_back(t);
    }
    return ids;
}

// Longer pre-tokens only get the cheaper checks; the merge loop is quadratic.
constexpr size_t MERGE_LOOP_MAX = 64;

using Pieces = std::vector<std::pair<size_t, size_t>>;

template <class Split>
Pieces tile(const uint8_t* data, size_t size, Split&& split) {
    Pieces pieces;
    size_t end = 0;
    split(data, size, [&](const uint8_t* p, size_t len) {
        FUZZ_CHECK(p == data + end);
        FUZZ_CHECK(len >= 1 && len <= size - end);
        pieces.emplace_back(end, len);
        end += len;
    });
    FUZZ_CHECK(end == size);
    return pieces;
}

void check_tokenizer(const Tokenizer& tok, const uint8_t* data, size_t size, const Pieces& pieces) {
    const Vocab& v = *tok.vocab;
    const IdVec ids = encode(tok, data, size);

    // Piece by piece, without the cache and the pre-tokenizer.
    IdVec piecewise;
    for (const auto& [off, len] : pieces) {
        const uint8_t* p = data + off;
        const size_t start = piecewise.size();
        encode_piece(v, p, len, piecewise);
        if (len <= MERGE_LOOP_MAX) {
            const std::vector<TokenId> want = merge_loop(v, p, len);
            FUZZ_CHECK(piecewise.size() - start == want.size());
            for (size_t i = 0; i < want.size(); ++i) FUZZ_CHECK(piecewise[start + i] == want[i]);
        }
        IdVec mb;
        encode_mb(v, p, len, mb);
        FUZZ_CHECK(mb.size() == piecewise.size() - start);
        for (size_t i = 0; i < mb.size(); ++i) FUZZ_CHECK(mb[i] == piecewise[start + i]);
    }
    FUZZ_CHECK(fuzz::same_ids(ids, piecewise));

    std::string back;
    for (TokenId t : ids) {
        FUZZ_CHECK(t < v.n);
        back += fuzz::token_text(v, t);
    }
    FUZZ_CHECK(back == std::string_view(reinterpret_cast<const char*>(data), size));
    const std::vector<uint8_t> decoded = decode(tok, ids.data(), ids.size());
    FUZZ_CHECK(decoded.size() == size && std::equal(decoded.begin(), decoded.end(), data));

    // Ids already in the vector stay in front; the worker count only sizes
    // the cache.
    IdVec appended;
    appended.push_back(0x12345678);
    encode_into_workers(tok, data, size, appended, 1 + uint32_t(size % 5));
    FUZZ_CHECK(appended.size() == ids.size() + 1 && appended[0] == 0x12345678);
    for (size_t i = 0; i < ids.size(); ++i) FUZZ_CHECK(appended[i + 1] == ids[i]);

    // The whole input and its two halves; on two threads now and then only,
    // as every start of a thread pool moves the caches around and clears
    // some.
    const std::string_view all(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string_view> texts = {all, all.substr(0, size / 2), all.substr(size / 2)};
    std::vector<IdVec> each;
    for (std::string_view t : texts) each.push_back(encode(tok, fuzz::bytes(t), t.size()));
    for (size_t threads = 1; threads <= (size % 64 == 0 ? 2u : 1u); ++threads) {
        const BatchIds b = encode_batch(tok, texts, threads, false);
        const std::vector<uint32_t> counts = count_batch(tok, texts, threads, false);
        FUZZ_CHECK(b.offsets.size() == texts.size() + 1 && b.offsets[0] == 0);
        FUZZ_CHECK(counts.size() == texts.size());
        for (size_t i = 0; i < texts.size(); ++i) {
            const int64_t lo = b.offsets[i], hi = b.offsets[i + 1];
            FUZZ_CHECK(lo <= hi && size_t(hi - lo) == each[i].size() && counts[i] == each[i].size());
            for (size_t k = 0; k < each[i].size(); ++k) FUZZ_CHECK(b.ids[size_t(lo) + k] == each[i][k]);
        }
        FUZZ_CHECK(size_t(b.offsets.back()) == b.ids.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Tokenizer& cl = fuzz::builtin(0);
    const Tokenizer& o = fuzz::builtin(1);
    const Pieces cl_pieces = tile(data, size, [&](const uint8_t* t, size_t n, auto&& sink) {
        split_cl100k(cl.uclass, t, n, sink);
    });
    const Pieces o_pieces = tile(data, size, [&](const uint8_t* t, size_t n, auto&& sink) {
        split_o200k(o.uclass_o, t, n, sink);
    });
    check_tokenizer(cl, data, size, cl_pieces);
    check_tokenizer(o, data, size, o_pieces);
    return 0;
}
