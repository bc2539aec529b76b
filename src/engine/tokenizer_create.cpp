// Construction of a Tokenizer from the registry of built-in encodings.
#include <algorithm>
#include <atomic>
#include <optional>

#include "builtin_images.h"
#include "file_io.h"
#include "tokenizer.h"

namespace zelkor {
namespace {

struct Registry {
    std::string_view name;
    const char* vocab_file;
    const char* special_file;
    const char* class_file;
    bool is_o200k;  // o200k pre-tokenizer, tables in UClassO
};

constexpr Registry REGISTRY[] = {
    {"cl100k_base", "cl100k.vocab", "cl100k.special", "uniclass.bin", false},
    {"o200k_base", "o200k.vocab", "o200k.special", "uniclass_o200k.bin", true},
    {"o200k_harmony", "o200k.vocab", "o200k_harmony.special", "uniclass_o200k.bin", true},
};

std::atomic<uint64_t> NEXT_TOKENIZER_ID{1};

using Created = Expected<std::unique_ptr<Tokenizer>>;

// Moves a loaded class set into its slot; the error message otherwise.
template <class UC>
std::optional<std::string> store(Expected<UC>&& uc, UC& slot) {
    if (!uc) return uc.error();
    slot = std::move(*uc);
    return std::nullopt;
}

Created create_builtin(const Registry& enc, std::unique_ptr<Tokenizer> tok) {
    const Image cimg = builtin_image(enc.class_file);
    auto err = enc.is_o200k
                   ? store(UClassO::from_bytes(cimg.data, cimg.size, enc.class_file), tok->uclass_o)
                   : store(UClass::from_bytes(cimg.data, cimg.size, enc.class_file), tok->uclass);
    if (err) return Created::failure(std::move(*err));

    const Image vimg = builtin_image(enc.vocab_file);
    const Image hints = builtin_merge_hints(enc.vocab_file);
    auto vocab = Vocab::from_bytes(vimg.data, vimg.size, enc.name, MergeHintsBlob{hints.data, hints.size});
    if (!vocab) return Created::failure(vocab.error());
    tok->vocab = std::move(*vocab);

    tok->id = take_tokenizer_id();
    tok->name = std::string(enc.name);

    const Image simg = builtin_image(enc.special_file);
    auto specials = specials_from_bytes(simg.data, simg.size, enc.name);
    if (!specials) return Created::failure(specials.error());
    tok->specials = std::move(*specials);
    tok->special_trie.build(tok->specials);
    return tok;
}

Created create_from_dir(const Registry& enc, const std::string& dir,
                        std::unique_ptr<Tokenizer> tok) {
    const std::string vocab_path = join_path(dir, enc.vocab_file);
    {
        FileContents file = read_whole_file(vocab_path);
        if (file.stage == ReadStage::Open)
            return Created::failure("zelkor: cannot open vocab file " + vocab_path + ": " +
                                    file.error);
        if (file.stage == ReadStage::Read)
            return Created::failure("zelkor: cannot read " + vocab_path + ": " + file.error);
        auto vocab = Vocab::from_bytes(file.bytes.data(), file.bytes.size(), vocab_path);
        if (!vocab) return Created::failure(vocab.error());
        tok->vocab = std::move(*vocab);
    }  // the raw image is released before the class tables are read

    const std::string class_path = join_path(dir, enc.class_file);
    auto err = enc.is_o200k ? store(UClassO::load(class_path), tok->uclass_o)
                            : store(UClass::load(class_path), tok->uclass);
    if (err) return Created::failure(std::move(*err));

    tok->id = take_tokenizer_id();
    tok->name = std::string(enc.name);

    // The special-tokens file is optional: without it the encoding simply
    // has no special tokens.
    const std::string special_path = join_path(dir, enc.special_file);
    FileContents file = read_whole_file(special_path);
    if (file.stage == ReadStage::Ok) {
        auto specials = specials_from_bytes(file.bytes.data(), file.bytes.size(), special_path);
        if (!specials) return Created::failure(specials.error());
        tok->specials = std::move(*specials);
        tok->special_trie.build(tok->specials);
    }
    return tok;
}

}  // namespace

uint64_t take_tokenizer_id() { return NEXT_TOKENIZER_ID.fetch_add(1, std::memory_order_relaxed); }

Expected<std::unique_ptr<Tokenizer>> Tokenizer::create(std::string_view encoding,
                                                       std::string_view datadir) {
    const Registry* enc = nullptr;
    for (const Registry& r : REGISTRY)
        if (r.name == encoding) enc = &r;
    if (!enc) {
        std::string msg = "zelkor: unknown encoding: ";
        msg.append(encoding);
        msg += " (built-in: cl100k_base, o200k_base, o200k_harmony)";
        return Created::failure(std::move(msg));
    }
    // Every piece lands in `tok` as it is built, so a failure anywhere
    // releases all of them together.
    auto tok = std::make_unique<Tokenizer>();
    tok->is_o200k = enc->is_o200k;
    if (datadir.empty()) return create_builtin(*enc, std::move(tok));
    return create_from_dir(*enc, std::string(datadir), std::move(tok));
}

}  // namespace zelkor
