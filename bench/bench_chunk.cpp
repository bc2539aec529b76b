// chunk_text beside count on one whole file (or, with `docs`, on the file
// cut into ~4 KB documents, as chunk_batch and count_batch see it on one
// thread), in one process, in turn round after round; the best time of
// each and their ratio. Run it under
// `valgrind --tool=callgrind --toggle-collect='count_all(*'` (and then
// 'chunk_all(*') to compare instruction counts, which a busy machine does
// not disturb; a warm-up encode comes first, so both find the pre-token
// cache full.
//
//   bench_chunk FILE [encoding] [max_tokens] [rounds] [overlap] [boundary 0-3] [docs]
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench_docs.h"
#include "chunk.h"
#include "tokenizer.h"

using namespace zelkor;
using zelkor_bench::now;

// Split out so that callgrind can collect each alone.
[[gnu::noinline]] size_t count_all(const Tokenizer& tok, const std::vector<std::string>& docs,
                                   IdVec& scratch) {
    size_t n = 0;
    for (const std::string& d : docs)
        n += count_workers(tok, reinterpret_cast<const uint8_t*>(d.data()), d.size(), scratch, 1);
    return n;
}

[[gnu::noinline]] void chunk_all(const Tokenizer& tok, const std::vector<std::string>& docs,
                                 const ChunkOptions& opt, std::vector<Chunk>& out) {
    for (const std::string& d : docs)
        chunk_text(tok, reinterpret_cast<const uint8_t*>(d.data()), d.size(), opt, chunk_scratch(), out, 1);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_chunk FILE [encoding] [max_tokens] [rounds] [overlap] [boundary] [docs]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
    std::string text(size_t(std::max<std::streamoff>(0, in.tellg())), '\0');
    in.seekg(0);
    in.read(text.data(), std::streamsize(text.size()));
    auto created = Tokenizer::create(argc > 2 ? argv[2] : "o200k_base", "");
    if (!created) {
        std::fprintf(stderr, "%s\n", created.error().c_str());
        return 1;
    }
    const Tokenizer& tok = **created;
    ChunkOptions opt;
    opt.max_tokens = argc > 3 ? std::stoul(argv[3]) : 512;
    const int rounds = argc > 4 ? std::stoi(argv[4]) : 10;
    opt.overlap = argc > 5 ? std::stoul(argv[5]) : 0;
    opt.boundary = ChunkBoundary(argc > 6 ? std::stoi(argv[6]) : 0);
    // As zelkor.chunk does it: code-point offsets only where they differ.
    for (char ch : text) opt.char_offsets |= (uint8_t(ch) & 0x80) != 0;

    std::vector<std::string> docs;
    if (argc > 7 && std::string(argv[7]) == "docs")
        docs = zelkor_bench::cut_documents(text);
    else
        docs.push_back(text);
    { IdVec warm = encode(tok, reinterpret_cast<const uint8_t*>(text.data()), text.size()); }
    double best_count = 1e9, best_chunk = 1e9;
    size_t tokens = 0;
    std::vector<Chunk> out;
    IdVec scratch;
    for (int r = 0; r < rounds; ++r) {
        const double a = now();
        tokens = count_all(tok, docs, scratch);
        const double b = now();
        out.clear();
        chunk_all(tok, docs, opt, out);
        const double c = now();
        best_count = std::min(best_count, b - a);
        best_chunk = std::min(best_chunk, c - b);
    }
    std::printf("count %.2f ms (%zu tokens), chunk_text %.2f ms (%zu chunks), ratio %.2f\n",
                best_count * 1e3, tokens, best_chunk * 1e3, out.size(), best_chunk / best_count);
    return 0;
}
