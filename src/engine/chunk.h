// Cutting a text into chunks of at most N tokens each, from one encode of the
// whole text. Every chunk, encoded alone, has at most `max_tokens` ordinary
// ids (a single character that needs more is a chunk by itself).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "id_vec.h"
#include "tokenizer.h"

namespace zelkor {

// Where a chunk prefers to end. Every kind but Token cuts at the last such
// place inside the budget when at least half of the candidate chunk's
// characters lie before it (and it lies past the end of the chunk before),
// and where the budget ends otherwise.
//   Whitespace: before a non-whitespace character that follows whitespace.
//   Line:       after "\n", or after a "\r" that no "\n" follows.
//   Sentence:   before a non-whitespace character that follows a run of
//               whitespace holding two line breaks (a paragraph), or that
//               follows . ! ? … and optional closing quotes or brackets and
//               whitespace; after 。！？ (and closers) no whitespace is needed.
// With an overlap, the next chunk also starts at such a place when one lies
// in the overlap.
enum class ChunkBoundary : uint8_t { Token, Whitespace, Line, Sentence };

struct ChunkOptions {
    size_t max_tokens = 1;  // >= 1
    size_t overlap = 0;     // < max_tokens
    ChunkBoundary boundary = ChunkBoundary::Token;
    bool char_offsets = false;  // report code-point offsets instead of byte offsets
};

struct Chunk {
    size_t start = 0;   // offsets into the text, character boundaries
    size_t end = 0;
    size_t tokens = 0;  // ordinary ids of text[start, end) encoded alone
};

// Where a pre-token of the text ends and how many of the text's tokens end
// at or before that place.
template <class Off>
struct PretokenEnd {
    Off end;
    Off tokens;
};

// Working space one thread keeps across its texts.
struct ChunkScratch {
    IdVec pass_ids;   // ids of the counting pass, counted in batches
    IdVec piece_ids;  // one pre-token's ids
    IdVec alone_ids;  // counting a stretch as if it stood alone
    // The pre-tokens from the current chunk's start on: 32-bit offsets for
    // texts below 4 GiB, 64-bit ones otherwise.
    std::vector<PretokenEnd<uint32_t>> ends32;
    std::vector<PretokenEnd<uint64_t>> ends64;
};

// This thread's scratch: kept at its largest size, freed when the thread ends.
ChunkScratch& chunk_scratch();

// Appends the chunks of text to `out` (none for an empty text). `workers`
// sizes the thread's pre-token cache, as for encode_into_workers. The text
// is counted once, as `count` does, and the chunks are cut while it is:
// memory is in proportion to a chunk, not to the text.
void chunk_text(const Tokenizer& tok, const uint8_t* text, size_t len, const ChunkOptions& opt,
                ChunkScratch& scratch, std::vector<Chunk>& out, uint32_t workers);

namespace chunk_testing {
// chunk_text with the 64-bit offsets of texts of 4 GiB and more.
void chunk_text_wide(const Tokenizer& tok, const uint8_t* text, size_t len, const ChunkOptions& opt,
                     ChunkScratch& scratch, std::vector<Chunk>& out);
}  // namespace chunk_testing

// One list of chunks per text, on the batch engine (threads as for count_batch).
std::vector<std::vector<Chunk>> chunk_batch(const Tokenizer& tok,
                                            const std::vector<std::string_view>& texts,
                                            const ChunkOptions& opt, size_t threads);

// Turns the byte offsets of `chunks` into code-point offsets of text.
void to_char_offsets(const uint8_t* text, size_t len, Chunk* chunks, size_t n_chunks);

}  // namespace zelkor
