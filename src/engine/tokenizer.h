// The engine object of one encoding, its construction, and every operation
// the Python layer calls. Nothing here touches Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "expected.h"
#include "id_vec.h"
#include "special_trie.h"
#include "specials.h"
#include "uclass.h"
#include "vocab.h"

namespace zelkor {

struct Tokenizer {
    std::unique_ptr<Vocab> vocab;
    std::string name;
    UClass uclass;      // empty for the o200k encodings
    UClassO uclass_o;   // empty for cl100k_base
    SpecialList specials;
    uint64_t id = 0;
    bool is_o200k = false;
    SpecialTrie special_trie;  // over `specials`, for the special scans

    // Built-in images when `datadir` is empty, files under `datadir`
    // otherwise. The error is the complete "zelkor: ..." message.
    static Expected<std::unique_ptr<Tokenizer>> create(std::string_view encoding,
                                                       std::string_view datadir);

    uint64_t memory_bytes() const;

    // Values derived from the special-token list.
    uint64_t n_vocab() const;                     // max(n, largest special id + 1)
    const Special* special_by_id(uint32_t id) const;     // first entry with this id
    const Special* special_by_text(std::string_view s) const;  // first entry with this string
};

// The three built-in names, in the order BUILTIN_ENCODINGS lists them.
inline constexpr const char* BUILTIN_NAMES[3] = {"cl100k_base", "o200k_base", "o200k_harmony"};

// Process-wide id counter; the first tokenizer gets 1.
uint64_t take_tokenizer_id();

// ---- Core operations -------------------------------------------------------

// Appends the ordinary ids of text to `out`. `workers` (>= 1) is the number of
// threads encoding at once in the current operation; it sizes this thread's
// pre-token cache.
void encode_into_workers(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& out,
                         uint32_t workers);

IdVec encode(const Tokenizer& tok, const uint8_t* text, size_t len);

// The number of ordinary ids of text, without keeping them. `scratch` is
// working space of the caller's (its contents are lost).
size_t count_workers(const Tokenizer& tok, const uint8_t* text, size_t len, IdVec& scratch,
                     uint32_t workers);
size_t count(const Tokenizer& tok, const uint8_t* text, size_t len);

// Every occurrence of a string of `candidates` becomes that special's id
// (earliest start wins, list order breaks ties); the stretches in between
// are encoded as ordinary text.
IdVec encode_with_specials_from(const Tokenizer& tok, const uint8_t* text, size_t len,
                                const std::vector<const Special*>& candidates);
// The same over the whole special-token table.
IdVec encode_with_special(const Tokenizer& tok, const uint8_t* text, size_t len);

// Bytes of ordinary ids, strings of special ids; unknown ids add nothing.
std::vector<uint8_t> decode(const Tokenizer& tok, const uint32_t* ids, size_t n);
// The same in two steps, for callers that own the memory: `size` :=
// decoded_size, then the bytes written to `out`, which has room for exactly
// `size` bytes.
size_t decoded_size(const Tokenizer& tok, const uint32_t* ids, size_t n);
void decode_into(const Tokenizer& tok, const uint32_t* ids, size_t n, uint8_t* out, size_t size);

// ---- Batches -----------------------------------------------------------------

// Raised by the batch operations when a worker fails with anything but
// std::bad_alloc: "a scoped thread panicked". Everything started has been
// joined by then.
struct BatchError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct BatchIds {
    IdVec ids;                     // all ids, text after text
    std::vector<int64_t> offsets;  // n + 1 entries
};

BatchIds encode_batch(const Tokenizer& tok, const std::vector<std::string_view>& texts,
                      size_t threads, bool with_special);
std::vector<uint32_t> count_batch(const Tokenizer& tok, const std::vector<std::string_view>& texts,
                                  size_t threads, bool with_special);

// The platform's available parallelism (affinity, online CPUs, cgroup
// quota), 4 when it cannot be determined.
size_t available_parallelism();

// ---- Truncation -------------------------------------------------------------

struct Truncation {
    size_t cut_bytes = 0;     // kept prefix, always a character boundary
    size_t total_tokens = 0;  // ordinary ids of the whole text
};

Truncation truncate(const Tokenizer& tok, const uint8_t* text, size_t len, size_t max_tokens);
std::vector<Truncation> truncate_batch(const Tokenizer& tok,
                                       const std::vector<std::string_view>& texts,
                                       size_t max_tokens, size_t threads);

}  // namespace zelkor
