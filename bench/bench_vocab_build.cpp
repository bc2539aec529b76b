// Time to build the vocabulary index from each built-in image, best of
// several runs (the first touches of fresh memory are part of the cost).
//
//   bench_vocab_build [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vocab.h"

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    for (const char* name : {"cl100k.vocab", "o200k.vocab"}) {
        std::string path = std::string(ZELKOR_SOURCE_DIR) + "/data/" + name;
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), {});
        if (image.empty()) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
        std::vector<double> ms;
        for (int i = 0; i < runs; ++i) {
            auto t0 = std::chrono::steady_clock::now();
            auto v = zelkor::Vocab::from_bytes(image.data(), image.size(), name);
            auto t1 = std::chrono::steady_clock::now();
            if (!v) {
                std::fprintf(stderr, "%s\n", v.error().c_str());
                return 1;
            }
            ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        }
        std::sort(ms.begin(), ms.end());
        std::printf("%-14s best %7.2f ms   median %7.2f ms   (%d runs)\n", name, ms.front(),
                    ms[ms.size() / 2], runs);
    }
    return 0;
}
