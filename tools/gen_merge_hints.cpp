// Writes the merge hints of a vocabulary image (see src/engine/merge_hints.h).
// Run by the build for every built-in vocabulary.
//
//   gen_merge_hints IMAGE OUT
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "merge_hints.h"
#include "vocab.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: gen_merge_hints IMAGE OUT\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "gen_merge_hints: cannot read %s\n", argv[1]);
        return 1;
    }
    const std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), {});
    auto v = zelkor::Vocab::from_bytes(image.data(), image.size(), argv[1]);
    if (!v) {
        std::fprintf(stderr, "%s\n", v.error().c_str());
        return 1;
    }
    const std::vector<uint8_t> blob = zelkor::merge_hints_blob(**v, image.data(), image.size());
    const std::string tmp = std::string(argv[2]) + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(blob.data()), std::streamsize(blob.size()));
        if (!out) {
            std::fprintf(stderr, "gen_merge_hints: cannot write %s\n", tmp.c_str());
            return 1;
        }
    }
    if (std::rename(tmp.c_str(), argv[2]) != 0) {
        std::perror("gen_merge_hints: rename");
        return 1;
    }
    return 0;
}
