// Encoding time of single long pieces as their length doubles, through
// encode_piece: one repeated character, and random letters. A ratio
// near 2 per doubling means linear time.
//
//   bench_long_pieces [min_len]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "vocab.h"

namespace {

double encode_ms(const zelkor::Vocab& v, const std::string& piece, zelkor::IdVec& out) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(piece.data());
    double best = 1e30;
    // Repeat short pieces until a few milliseconds have been measured.
    int reps = int(std::max<size_t>(3, (1u << 22) / piece.size()));
    for (int r = 0; r < reps; ++r) {
        out.clear();
        auto t0 = std::chrono::steady_clock::now();
        zelkor::encode_piece(v, p, piece.size(), out);
        auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    size_t min_len = argc > 1 ? size_t(std::max(16, std::atoi(argv[1]))) : 1024;
    const size_t max_len = size_t(1) << 20;
    for (const char* name : {"cl100k.vocab", "o200k.vocab"}) {
        std::string path = std::string(ZELKOR_SOURCE_DIR) + "/data/" + name;
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), {});
        auto v = zelkor::Vocab::from_bytes(image.data(), image.size(), name);
        if (!v) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), v ? "" : v.error().c_str());
            return 1;
        }
        std::mt19937 rng(42);
        std::string letters(max_len, ' ');
        for (char& c : letters) c = char('a' + rng() % 26);
        struct Family {
            const char* label;
            std::string source;
        } families[] = {{"repeated 'a'", std::string(max_len, 'a')},
                        {"repeated ' '", std::string(max_len, ' ')},
                        {"random letters", letters}};
        zelkor::IdVec out;
        for (const Family& f : families) {
            std::printf("%s, %s\n", name, f.label);
            double prev = 0;
            for (size_t len = min_len; len <= max_len; len *= 2) {
                double ms = encode_ms(**v, f.source.substr(0, len), out);
                if (prev > 0) {
                    std::printf("  %8zu bytes %10.3f ms  %6zu ids  ratio %.2f\n", len, ms, out.size(), ms / prev);
                } else {
                    std::printf("  %8zu bytes %10.3f ms  %6zu ids\n", len, ms, out.size());
                }
                prev = ms;
            }
        }
    }
    return 0;
}
