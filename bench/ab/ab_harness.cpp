// Two engines in one process, timed in turn: `base` (another revision) and
// `new` (the working tree). On a shared machine the speed of either changes
// by a third from one second to the next, so separate runs cannot tell a
// few per cent apart; here every round times both, back to back, in
// alternating order, and the medians and the share of rounds won decide.
//
//   ab_harness ENCODING ROUNDS CORPUS_FILE...   (run by tools/ab-engine.sh)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "../bench_docs.h"

#define ZELKOR_AB_DECLARE(R)                                                  \
    void* R##_make(const char*);                                              \
    size_t R##_count(void*, const uint8_t*, size_t);                          \
    size_t R##_encode(void*, const uint8_t*, size_t);                         \
    size_t R##_count_batch(void*, const std::vector<std::string_view>&, size_t);
ZELKOR_AB_DECLARE(run_base)
ZELKOR_AB_DECLARE(run_new)

namespace {

struct Variant {
    void* tok;
    size_t (*count)(void*, const uint8_t*, size_t);
    size_t (*encode)(void*, const uint8_t*, size_t);
    size_t (*count_batch)(void*, const std::vector<std::string_view>&, size_t);
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: ab_harness ENCODING ROUNDS CORPUS_FILE...\n");
        return 2;
    }
    const int rounds = std::max(1, std::atoi(argv[2]));
    const Variant v[2] = {
        {run_base_make(argv[1]), run_base_count, run_base_encode, run_base_count_batch},
        {run_new_make(argv[1]), run_new_count, run_new_encode, run_new_count_batch},
    };
    if (!v[0].tok || !v[1].tok) {
        std::fprintf(stderr, "no tokenizer %s\n", argv[1]);
        return 2;
    }
    const char* ops[4] = {"count", "encode", "count_batch 1T", "count_batch 2T"};
    for (int fi = 3; fi < argc; ++fi) {
        std::ifstream f(argv[fi], std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(f)), {});
        if (text.empty()) {
            std::fprintf(stderr, "cannot read %s\n", argv[fi]);
            return 2;
        }
        const std::vector<std::string> docs = zelkor_bench::cut_documents(text);
        const std::vector<std::string_view> views(docs.begin(), docs.end());
        const auto* t = reinterpret_cast<const uint8_t*>(text.data());
        const size_t n = text.size();

        auto run = [&](const Variant& x, int op) -> size_t {
            switch (op) {
                case 0: return x.count(x.tok, t, n);
                case 1: return x.encode(x.tok, t, n);
                case 2: return x.count_batch(x.tok, views, 1);
                default: return x.count_batch(x.tok, views, 2);
            }
        };
        std::vector<double> times[4][2];
        for (int op = 0; op < 4; ++op) {
            if (run(v[0], op) != run(v[1], op)) {  // also the warm-up
                std::printf("%s: %s gives different results\n", argv[fi], ops[op]);
                return 1;
            }
        }
        for (int r = 0; r < rounds; ++r) {
            for (int op = 0; op < 4; ++op) {
                for (int k = 0; k < 2; ++k) {
                    const int which = (r & 1) ? 1 - k : k;
                    const double t0 = zelkor_bench::now();
                    run(v[which], op);
                    times[op][which].push_back(zelkor_bench::now() - t0);
                }
            }
        }
        const std::string path = argv[fi];
        const std::string name = path.substr(path.find_last_of('/') + 1);
        std::printf("%s, %s, %d rounds (MB/s; new/base > 1 means new is faster)\n", argv[1], name.c_str(),
                    rounds);
        for (int op = 0; op < 4; ++op) {
            double best[2], median[2];
            for (int k = 0; k < 2; ++k) {
                std::vector<double> s = times[op][k];
                std::sort(s.begin(), s.end());
                best[k] = s.front();
                median[k] = s[s.size() / 2];
            }
            int won = 0;
            for (int r = 0; r < rounds; ++r) won += times[op][1][r] < times[op][0][r];
            std::printf("  %-15s base %6.1f (best %6.1f)  new %6.1f (best %6.1f)  new/base %.3f  new won %3.0f%%\n",
                        ops[op], n / median[0] / 1e6, n / best[0] / 1e6, n / median[1] / 1e6, n / best[1] / 1e6,
                        median[0] / median[1], 100.0 * won / rounds);
        }
    }
    return 0;
}
