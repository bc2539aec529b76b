// Chunks from one counting pass over the whole text.
//
// The text's own tokens place every cut; a chunk is then checked by counting
// it as if it were encoded alone, because cutting changes the pre-tokens
// near the cut and the ids of a slice of the text can differ from those of
// the slice's tokens (and be more). Counting a chunk alone must not cost a
// second encode of it, so the count is taken in three parts. An anchor is a
// space that follows a character other than whitespace: no pre-token holds a
// non-space character followed by a space, so every pre-tokenizer run that
// starts before an anchor has a pre-token boundary there, and the pre-tokens
// between two anchors depend on nothing outside them. A chunk's count is
// therefore that of its head up to its first anchor, plus the text's own
// tokens between its first and last anchor, plus that of its tail: two short
// encodes. A chunk without an anchor (text without spaces) is counted whole.
#include "chunk.h"

#include <algorithm>
#include <functional>

#include "batch_skeleton.h"
#include "chunk_scan.h"
#include "encode_loop.h"
#include "pcache.h"
#include "pretok_cl100k.h"
#include "pretok_o200k.h"
#include "route_piece.h"

namespace zelkor {

namespace {

using namespace chunk_scan;

// The cuts are made while the text is counted, as `count` counts it: the
// pass keeps no ids, only where each pre-token ends and how many tokens end
// by then, from the current chunk's start on. When the tokens reach the
// chunk's budget the chunk is cut; the few places where a cut needs the
// text's own tokens inside one pre-token encode that pre-token again.
template <class Off>
class Cutter {
public:
    using End = PretokenEnd<Off>;

    Cutter(const Tokenizer& tok, const uint8_t* text, size_t len, const ChunkOptions& opt,
           ChunkScratch& sc, std::vector<End>& ends, uint32_t workers)
        : tok_(tok), v_(*tok.vocab), t_(text), len_(len), opt_(opt), sc_(sc), ends_(ends),
          workers_(workers) {}

    void run(std::vector<Chunk>& out) {
        out_ = &out;
        CacheLease lease(tok_.id, workers_ == 0 ? 1 : workers_);
        cache_ = &lease.cache();
        if (ends_.size() < 1024) ends_.resize(1024);
        ends_[0] = End{0, 0};
        n_ = 1;
        sc_.pass_ids.clear();
        sc_.pass_ids.reserve_extra(4096);
        start_chunk(0, 0);
        Sink sink{*this, v_, sc_.pass_ids, *cache_, t_};
        sink.resume();
        if (tok_.is_o200k)
            split_o200k(tok_.uclass_o, t_, len_, sink);
        else
            split_cl100k(tok_.uclass, t_, len_, sink);
        sink.pause();
        // The chunks whose budget reaches past the text's end.
        while (!done_) cut_one();
    }

private:
    // Counts as count_core does, and notes every pre-token's end; it holds
    // its own copies of what the pass needs of the cutter.
    struct Sink {
        Cutter& c;
        const Vocab& v;
        IdVec& ids;
        PretokenCache& cache;
        const uint8_t* text;
        size_t total = 0;      // tokens counted before ids
        End* at = nullptr;     // where the next pre-token's end goes
        // The cutter is called when the tokens reach this: at the budget, or
        // earlier when the room for pre-tokens could run out before (every
        // pre-token holds a token at least).
        size_t limit = 0;
        [[gnu::always_inline]] void operator()(const uint8_t* p, size_t n) {
            total += count_piece(p, n, v, ids, cache);
            note(p + n);
        }
        [[gnu::always_inline]] void ascii(const uint8_t* p, size_t n) {
            total += count_ascii_piece(p, n, v, ids, cache);
            note(p + n);
        }
        [[gnu::always_inline]] void note(const uint8_t* end) {
            const size_t tokens = total + ids.size();
            *at++ = End{Off(end - text), Off(tokens)};
            if (tokens >= limit) [[unlikely]]
                c.pretoken_noted(*this);
            if (ids.size() >= CountSink::DRAIN) {
                total += ids.size();
                ids.clear();
            }
        }
        void pause() { c.n_ = size_t(at - c.ends_.data()); }
        void resume() {
            at = c.ends_.data() + c.n_;
            const size_t room = c.ends_.size() - c.n_;
            limit = std::min(c.limit_, c.last_tokens() + room);
        }
    };

    // The pass has reached the budget, or the end of the room for pre-tokens.
    [[gnu::noinline]] void pretoken_noted(Sink& sink) {
        sink.pause();
        while (!done_ && last_tokens() >= limit_) cut_one();
        if (ends_.size() - n_ < ends_.size() / 4) ends_.resize(2 * ends_.size());
        sink.resume();
    }

    // Pre-token r (r >= 1) spans [ends_[r - 1].end, ends_[r].end); ends_[0]
    // is where the pre-token before the window ends.
    size_t last_tokens() const { return ends_[n_ - 1].tokens; }

    // The pre-token that holds byte p; n_ when p lies at or past
    // the end of the last one seen.
    size_t pretoken_at(size_t p) const {
        const auto it = std::upper_bound(ends_.begin() + 1, ends_.begin() + std::ptrdiff_t(n_), p,
                                         [](size_t q, const End& e) { return q < e.end; });
        return size_t(it - ends_.begin());
    }

    // The pre-token that holds token i.
    size_t pretoken_of_token(size_t i) const {
        const auto it = std::upper_bound(ends_.begin() + 1, ends_.begin() + std::ptrdiff_t(n_), i,
                                         [](size_t k, const End& e) { return k < e.tokens; });
        return size_t(it - ends_.begin());
    }

    // Where the tokens of pre-token r end, from its ids encoded again.
    const std::vector<size_t>& token_ends(size_t r) {
        if (r != token_ends_of_) {
            const size_t a = ends_[r - 1].end, b = ends_[r].end;
            IdVec& ids = sc_.piece_ids;
            ids.clear();
            route_piece(t_ + a, b - a, v_, ids, *cache_);
            token_ends_.clear();
            for (size_t k = 0, p = a; k < ids.size(); ++k) token_ends_.push_back(p += v_.token_lens[ids[k]]);
            token_ends_of_ = r;
        }
        return token_ends_;
    }

    size_t token_end(size_t i) {
        const size_t r = pretoken_of_token(i);
        return token_ends(r)[i - ends_[r - 1].tokens];
    }

    // The start of token i, for a token of the window.
    size_t token_start(size_t i) {
        const size_t r = pretoken_of_token(i);
        const size_t k = i - ends_[r - 1].tokens;
        return k == 0 ? size_t(ends_[r - 1].end) : token_ends(r)[k - 1];
    }

    // The tokens that end at or before p.
    size_t tokens_through(size_t p) {
        const size_t r = pretoken_at(p);
        if (r == n_) return last_tokens();
        const size_t n = ends_[r - 1].tokens;
        if (p == ends_[r - 1].end) return n;
        const std::vector<size_t>& ends = token_ends(r);
        return n + size_t(std::upper_bound(ends.begin(), ends.end(), p) - ends.begin());
    }

    // Whether a pre-token boundary lies at q for every run of a pre-tokenizer
    // that starts before q: a space after a character that is surely not
    // whitespace.
    bool anchor(size_t q) const {
        return q > 0 && q < len_ && t_[q] == ' ' && surely_not_space_before(t_, len_, q);
    }

    size_t count_alone(size_t a, size_t b) {
        return a < b ? count_core(tok_, t_ + a, b - a, sc_.alone_ids, *cache_) : 0;
    }

    // The number of ids of text[s, e) encoded alone. Anchors are pre-token
    // ends, so the pre-tokens seen hold them all.
    size_t exact(size_t s, size_t e) {
        size_t r = pretoken_at(s), first_at = 0, first_tokens = 0;
        for (; r < n_ && ends_[r].end <= e; ++r) {
            if (anchor(ends_[r].end)) {
                first_at = ends_[r].end;
                first_tokens = ends_[r].tokens;
                break;
            }
        }
        if (first_at == 0) return count_alone(s, e);
        size_t last = pretoken_at(e) - 1;  // the last pre-token that ends at or before e
        while (ends_[last].end > first_at && !anchor(ends_[last].end)) --last;
        return count_alone(s, first_at) + (ends_[last].tokens - first_tokens) +
               count_alone(ends_[last].end, e);
    }

    size_t back_to_char(size_t p) const {
        while (p > 0 && p < len_ && is_continuation(t_[p])) --p;
        return p;
    }
    size_t forward_to_char(size_t p) const {
        while (p < len_ && is_continuation(t_[p])) ++p;
        return p;
    }

    bool fits(size_t s, size_t e, Chunk& c) {
        const size_t n = exact(s, e);
        if (n > opt_.max_tokens) return false;
        c = Chunk{s, e, n};
        return true;
    }

    // A chunk starts at s: the window drops the pre-tokens before the one
    // that holds s, and the budget is `max_tokens` tokens from the one
    // that holds s.
    void start_chunk(size_t s, size_t prev_end) {
        s_ = s;
        prev_end_ = prev_end;
        const size_t r = pretoken_at(s);
        std::copy(ends_.begin() + std::ptrdiff_t(r - 1), ends_.begin() + std::ptrdiff_t(n_), ends_.begin());
        n_ -= r - 1;
        // A long pre-token can hold many chunks: its token ends are kept.
        token_ends_of_ = token_ends_of_ >= r ? token_ends_of_ - (r - 1) : 0;
        first_ = tokens_through(s);
        limit_ = first_ + std::min(opt_.max_tokens, SIZE_MAX - first_);
    }

    void cut_one() {
        const Chunk c = cut();
        out_->push_back(c);
        if (c.end >= len_) {
            done_ = true;
            limit_ = SIZE_MAX;
            return;
        }
        start_chunk(next_start(s_, c.end), c.end);
    }

    // The chunk from s_; a boundary only counts past prev_end_, the end of
    // the chunk before, so that each chunk brings text of its own.
    Chunk cut() {
        const size_t s = s_;
        // limit_ tokens end at the budget's end; past the text, it ends there.
        const size_t top = std::min(limit_, last_tokens());
        const size_t budget_raw = limit_ <= last_tokens() ? token_end(limit_ - 1) : len_;
        const size_t budget_end = back_to_char(budget_raw);

        Chunk c;
        size_t tried = len_ + 1;
        if (budget_end == len_) {
            if (fits(s, len_, c)) return c;
            tried = len_;
        }
        if (opt_.boundary != ChunkBoundary::Token && budget_end > s &&
            boundary_cut(s, std::max(s, prev_end_), budget_end, c))
            return c;
        // Back from the budget's end, one token end at a time, pre-token
        // by pre-token.
        for (size_t hi = top; hi > first_;) {
            const size_t r = pretoken_of_token(hi - 1);
            const size_t base = ends_[r - 1].tokens;
            const std::vector<size_t>& ends = token_ends(r);
            for (; hi > std::max(base, first_); --hi) {
                const size_t e = back_to_char(ends[hi - 1 - base]);
                if (e <= s) return one_character(s);
                if (e >= tried) continue;
                tried = e;
                if (fits(s, e, c)) return c;
            }
        }
        return one_character(s);
    }

    // One character that alone needs more than the budget (or that only
    // fits alone): a chunk by itself.
    Chunk one_character(size_t s) {
        const size_t e = forward_to_char(s + 1);
        return Chunk{s, e, exact(s, e)};
    }

    // The last boundary after `after` in the second half of [s, budget_end)
    // whose chunk fits.
    bool boundary_cut(size_t s, size_t after, size_t budget_end, Chunk& c) {
        // The characters of [s, budget_end) are counted only when the walk
        // has gone far enough back for the half to be in question: there
        // are at least a quarter as many as bytes.
        size_t total = 0, surely_within = (budget_end - s) / 8;
        size_t behind = 0;  // characters from p to budget_end
        for (size_t p = budget_end; p > after;) {
            // After ASCII that is neither whitespace nor a closer nothing
            // ends: such runs are passed over a byte at a time.
            while (p > after && plain_ascii(t_[p - 1])) {
                --p;
                ++behind;
            }
            if (p <= after) break;
            if (behind > surely_within) {
                if (total == 0) total = count_chars(t_, s, budget_end);
                if (2 * (total - behind) < total) break;
            }
            if (p < len_ && is_boundary(opt_.boundary, t_, len_, p) && fits(s, p, c)) return true;
            p = char_start_before(t_, p);
            ++behind;
        }
        return false;
    }

    // The next chunk starts at most `overlap` tokens before `end`, after s:
    // at the earliest boundary at or after the start of the `overlap`-th
    // token before `end` whose stretch to `end`, encoded alone, keeps to
    // `overlap`; failing that (or for Token) at the start of the earliest of
    // those tokens that does. Tokens before the one that holds s start at
    // or before s and are passed over.
    size_t next_start(size_t s, size_t end) {
        const size_t k = opt_.overlap;
        if (k == 0) return end;
        const size_t whole = tokens_through(end);
        const size_t lo = std::max(whole - std::min(k, whole), first_);
        if (opt_.boundary != ChunkBoundary::Token) {
            const size_t from = token_start(lo);
            for (size_t p = forward_to_char(std::max(from, s + 1)); p < end; p = forward_to_char(p + 1))
                if (is_boundary(opt_.boundary, t_, len_, p) && exact(p, end) <= k) return p;
        }
        for (size_t i = lo; i < whole; ++i) {
            const size_t q = forward_to_char(token_start(i));
            if (q <= s || q >= end) continue;
            if (exact(q, end) <= k) return q;
        }
        return end;
    }

    const Tokenizer& tok_;
    const Vocab& v_;
    const uint8_t* t_;
    size_t len_;
    const ChunkOptions& opt_;
    ChunkScratch& sc_;
    std::vector<End>& ends_;  // ends_[0, n_) hold the window's pre-tokens
    size_t n_ = 0;
    uint32_t workers_;
    PretokenCache* cache_ = nullptr;
    std::vector<Chunk>* out_ = nullptr;
    size_t s_ = 0, prev_end_ = 0;  // the current chunk's start, the end of the one before
    size_t first_ = 0;             // the tokens that end at or before s_
    size_t limit_ = 0;             // the tokens that end at the budget's end
    bool done_ = false;
    std::vector<size_t> token_ends_;  // of pre-token token_ends_of_ (0: none)
    size_t token_ends_of_ = 0;
};

}  // namespace

void chunk_text(const Tokenizer& tok, const uint8_t* text, size_t len, const ChunkOptions& opt,
                ChunkScratch& scratch, std::vector<Chunk>& out, uint32_t workers) {
    if (len == 0) return;
    const size_t first = out.size();
    if (len <= UINT32_MAX)
        Cutter<uint32_t>(tok, text, len, opt, scratch, scratch.ends32, workers).run(out);
    else
        Cutter<uint64_t>(tok, text, len, opt, scratch, scratch.ends64, workers).run(out);
    if (opt.char_offsets) to_char_offsets(text, len, out.data() + first, out.size() - first);
}

void chunk_testing::chunk_text_wide(const Tokenizer& tok, const uint8_t* text, size_t len,
                                    const ChunkOptions& opt, ChunkScratch& scratch,
                                    std::vector<Chunk>& out) {
    if (len == 0) return;
    const size_t first = out.size();
    Cutter<uint64_t>(tok, text, len, opt, scratch, scratch.ends64, 1).run(out);
    if (opt.char_offsets) to_char_offsets(text, len, out.data() + first, out.size() - first);
}

ChunkScratch& chunk_scratch() {
    thread_local ChunkScratch scratch;
    return scratch;
}

std::vector<std::vector<Chunk>> chunk_batch(const Tokenizer& tok,
                                            const std::vector<std::string_view>& texts,
                                            const ChunkOptions& opt, size_t threads) {
    std::vector<std::vector<Chunk>> slots(texts.size());
    run_batch(
        tok, texts.size(), batch_threads(texts, threads), [] { return std::ref(chunk_scratch()); },
        [&](std::reference_wrapper<ChunkScratch> sc, size_t i, uint32_t workers) {
            chunk_text(tok, reinterpret_cast<const uint8_t*>(texts[i].data()), texts[i].size(), opt,
                       sc.get(), slots[i], workers);
        });
    return slots;
}

}  // namespace zelkor
