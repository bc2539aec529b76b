// Pre-tokenization alone, per corpus file and matcher: MB/s (10^6 bytes)
// and pre-tokens per second, best of several passes. Timed on the thread's
// CPU clock, so that other processes on a shared machine distort the
// figures less.
//
//   bench_pretok [corpus_dir] [passes]

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "builtin_images.h"
#include "pretok_cl100k.h"
#include "pretok_o200k.h"
#include "uclass.h"

namespace {

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

struct Result {
    double seconds;
    size_t pieces;
    uint64_t checksum;
};

template <class Split>
Result best_of(int passes, const std::vector<uint8_t>& text, Split split) {
    Result best{1e30, 0, 0};
    for (int i = 0; i < passes; ++i) {
        size_t pieces = 0;
        uint64_t sum = 0;
        const double t0 = cpu_seconds();
        split(text.data(), text.size(), [&](const uint8_t* p, size_t n) {
            // Cheap enough not to hide the splitter; depends on every piece.
            ++pieces;
            sum = ((sum << 7) | (sum >> 57)) ^ (n + uint64_t(p - text.data()));
        });
        const double s = cpu_seconds() - t0;
        if (s < best.seconds) best = {s, pieces, sum};
    }
    return best;
}

template <class T>
T load_classes(const char* name) {
    const zelkor::Image img = zelkor::builtin_image(name);
    zelkor::Expected<T> uc = T::from_bytes(img.data, img.size, name);
    if (!uc) {
        std::fprintf(stderr, "%s\n", uc.error().c_str());
        std::exit(1);
    }
    return std::move(uc.value());
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path dir = argc > 1 ? argv[1] : ZELKOR_SOURCE_DIR "/../shared/corpus";
    const int passes = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const auto cl = load_classes<zelkor::UClass>("uniclass.bin");
    const auto o = load_classes<zelkor::UClassO>("uniclass_o200k.bin");

    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(dir))
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.path().extension() == ".txt") files.push_back(e.path());
    if (files.empty()) {
        std::fprintf(stderr, "no corpus files in %s\n", dir.c_str());
        return 1;
    }
    std::sort(files.begin(), files.end());

    std::printf("%-24s %-8s %10s %12s %14s\n", "file", "matcher", "MB/s", "pieces", "Mpieces/s");
    for (const auto& path : files) {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> text(std::filesystem::file_size(path));
        in.read(reinterpret_cast<char*>(text.data()), std::streamsize(text.size()));
        const Result rc = best_of(passes, text, [&](const uint8_t* t, size_t n, auto&& sink) {
            zelkor::split_cl100k(cl, t, n, sink);
        });
        const Result ro = best_of(passes, text, [&](const uint8_t* t, size_t n, auto&& sink) {
            zelkor::split_o200k(o, t, n, sink);
        });
        for (const auto& [name, r] : {std::pair{"cl100k", rc}, std::pair{"o200k", ro}}) {
            std::printf("%-24s %-8s %10.1f %12zu %14.1f   (%016llx)\n",
                        path.filename().c_str(), name, double(text.size()) / r.seconds / 1e6,
                        r.pieces, double(r.pieces) / r.seconds / 1e6,
                        static_cast<unsigned long long>(r.checksum));
        }
    }
    return 0;
}
