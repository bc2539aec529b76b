// `count` of whole files on one thread, for profiling the hard shapes
// (bench/hard_shapes.py --dump DIR writes them): MB/s and tokens per file.
//
//   bench_shapes ENCODING REPS FILE...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "tokenizer.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ENCODING REPS FILE...\n", argv[0]);
        return 2;
    }
    auto tok = zelkor::Tokenizer::create(argv[1], "");
    if (!tok) {
        std::fprintf(stderr, "%s\n", tok.error().c_str());
        return 1;
    }
    const int reps = std::max(1, std::atoi(argv[2]));
    for (int f = 3; f < argc; ++f) {
        std::ifstream in(argv[f], std::ios::binary);
        std::vector<uint8_t> text((std::istreambuf_iterator<char>(in)), {});
        double best = 1e30;
        size_t n = 0;
        for (int r = 0; r < reps; ++r) {
            auto t0 = std::chrono::steady_clock::now();
            n = zelkor::count(**tok, text.data(), text.size());
            auto t1 = std::chrono::steady_clock::now();
            best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
        }
        std::printf("%8.1f MB/s %9zu tokens  %s\n", double(text.size()) / best / 1e6, n, argv[f]);
    }
    return 0;
}
