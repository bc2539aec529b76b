// chunk_text beside count on one whole file, in one process, in turn round
// after round; the best time of each and their ratio. Run it under
// `valgrind --tool=callgrind --toggle-collect='zelkor::count(*'` (and then
// 'zelkor::chunk_text(*') to compare instruction counts, which a busy
// machine does not disturb; a warm-up encode comes first, so both find the
// pre-token cache full.
//
//   bench_chunk FILE [encoding] [max_tokens] [rounds] [overlap] [boundary 0-3]
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

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_chunk FILE [encoding] [max_tokens] [rounds] [overlap] [boundary]\n");
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

    const auto* t = reinterpret_cast<const uint8_t*>(text.data());
    { IdVec warm = encode(tok, t, text.size()); }
    double best_count = 1e9, best_chunk = 1e9;
    size_t tokens = 0;
    std::vector<Chunk> out;
    for (int r = 0; r < rounds; ++r) {
        const double a = now();
        tokens = count(tok, t, text.size());
        const double b = now();
        out.clear();
        chunk_text(tok, t, text.size(), opt, chunk_scratch(), out, 1);
        const double c = now();
        best_count = std::min(best_count, b - a);
        best_chunk = std::min(best_chunk, c - b);
    }
    std::printf("count %.2f ms (%zu tokens), chunk_text %.2f ms (%zu chunks), ratio %.2f\n",
                best_count * 1e3, tokens, best_chunk * 1e3, out.size(), best_chunk / best_count);
    return 0;
}
