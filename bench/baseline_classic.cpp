// The classic tokenizer design, as a yardstick: the published split pattern
// through PCRE2 with its JIT, then the textbook lowest-rank merge loop over a
// hash map of ranks. No cache, no threads. Bench-only; never shipped.
//
//   baseline_classic ENCODING RANKS_FILE TEXT_FILE [--dump IDS_OUT] [--passes N]
//
// Prints "<seconds of the best pass> <ids> <bytes>" and, with --dump, writes
// the ids as little-endian u32 so the caller can check them against zelkor.

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

const char* const CL100K =
    R"('(?:[sS]|[tT]|[mM]|[dD]|[rR][eE]|[vV][eE]|[lL][lL])|[^\r\n\p{L}\p{N}]?\p{L}+|\p{N}{1,3}| ?[^\p{White_Space}\p{L}\p{N}]+[\r\n]*|\p{White_Space}*[\r\n]+|\p{White_Space}+(?!\P{White_Space})|\p{White_Space}+)";
const char* const O200K =
    R"([^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]*[\p{Ll}\p{Lm}\p{Lo}\p{M}]+(?:'(?:[sS]|[tT]|[mM]|[dD]|[rR][eE]|[vV][eE]|[lL][lL]))?|[^\r\n\p{L}\p{N}]?[\p{Lu}\p{Lt}\p{Lm}\p{Lo}\p{M}]+[\p{Ll}\p{Lm}\p{Lo}\p{M}]*(?:'(?:[sS]|[tT]|[mM]|[dD]|[rR][eE]|[vV][eE]|[lL][lL]))?|\p{N}{1,3}| ?[^\p{White_Space}\p{L}\p{N}]+[\r\n/]*|\p{White_Space}*[\r\n]+|\p{White_Space}+(?!\P{White_Space})|\p{White_Space}+)";

std::string read_file(const char* path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "cannot open %s\n", path);
        std::exit(2);
    }
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string b64decode(std::string_view in) {
    static int8_t table[256];
    static bool init = false;
    if (!init) {
        std::memset(table, -1, sizeof table);
        const char* a = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i) table[static_cast<uint8_t>(a[i])] = static_cast<int8_t>(i);
        init = true;
    }
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : in) {
        int v = table[static_cast<uint8_t>(c)];
        if (v < 0) continue;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

struct Ranks {
    std::vector<std::string> storage;
    std::unordered_map<std::string_view, uint32_t> map;

    explicit Ranks(const std::string& file) {
        std::istringstream in(file);
        std::string line;
        while (std::getline(in, line)) {
            auto sp = line.find(' ');
            if (sp == std::string::npos) continue;
            storage.push_back(b64decode(std::string_view(line).substr(0, sp)));
        }
        map.reserve(storage.size() * 2);
        for (size_t i = 0; i < storage.size(); ++i) map.emplace(storage[i], static_cast<uint32_t>(i));
    }
    uint32_t find(std::string_view s) const {
        auto it = map.find(s);
        return it == map.end() ? UINT32_MAX : it->second;
    }
};

// The textbook merge loop: boundaries of the current parts; repeatedly merge
// the adjacent pair whose concatenation has the lowest rank.
void bpe(const Ranks& ranks, std::string_view piece, std::vector<uint32_t>& out,
         std::vector<size_t>& bounds, std::vector<uint32_t>& pair_rank) {
    uint32_t whole = ranks.find(piece);
    if (whole != UINT32_MAX) {
        out.push_back(whole);
        return;
    }
    const size_t n = piece.size();
    bounds.clear();
    for (size_t i = 0; i <= n; ++i) bounds.push_back(i);
    auto rank_at = [&](size_t i) -> uint32_t {  // rank of parts i and i+1 merged
        if (i + 2 >= bounds.size()) return UINT32_MAX;
        return ranks.find(piece.substr(bounds[i], bounds[i + 2] - bounds[i]));
    };
    pair_rank.clear();
    for (size_t i = 0; i + 1 < n; ++i) pair_rank.push_back(rank_at(i));
    while (!pair_rank.empty()) {
        size_t best = 0;
        for (size_t i = 1; i < pair_rank.size(); ++i)
            if (pair_rank[i] < pair_rank[best]) best = i;
        if (pair_rank[best] == UINT32_MAX) break;
        bounds.erase(bounds.begin() + static_cast<std::ptrdiff_t>(best) + 1);
        pair_rank.erase(pair_rank.begin() + static_cast<std::ptrdiff_t>(best));
        if (best < pair_rank.size()) pair_rank[best] = rank_at(best);
        if (best > 0) pair_rank[best - 1] = rank_at(best - 1);
    }
    for (size_t i = 0; i + 1 < bounds.size(); ++i)
        out.push_back(ranks.find(piece.substr(bounds[i], bounds[i + 1] - bounds[i])));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ENCODING RANKS_FILE TEXT_FILE [--dump FILE] [--passes N]\n", argv[0]);
        return 2;
    }
    std::string encoding = argv[1];
    const char* dump = nullptr;
    int passes = 3;
    for (int i = 4; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--dump")) dump = argv[i + 1];
        if (!std::strcmp(argv[i], "--passes")) passes = std::atoi(argv[i + 1]);
    }
    Ranks ranks(read_file(argv[2]));
    std::string text = read_file(argv[3]);

    int err = 0;
    PCRE2_SIZE erroff = 0;
    const char* pattern = encoding == "cl100k_base" ? CL100K : O200K;
    pcre2_code* re = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                                   PCRE2_UTF | PCRE2_UCP | PCRE2_NO_UTF_CHECK, &err, &erroff, nullptr);
    if (!re) {
        PCRE2_UCHAR msg[256];
        pcre2_get_error_message(err, msg, sizeof msg);
        std::fprintf(stderr, "pattern error at %zu: %s\n", static_cast<size_t>(erroff), msg);
        return 2;
    }
    if (pcre2_jit_compile(re, PCRE2_JIT_COMPLETE) != 0) {
        std::fprintf(stderr, "PCRE2 JIT unavailable\n");
        return 2;
    }
    pcre2_match_data* md = pcre2_match_data_create_from_pattern(re, nullptr);
    pcre2_match_context* mctx = pcre2_match_context_create(nullptr);
    pcre2_jit_stack* jit_stack = pcre2_jit_stack_create(32 * 1024, 1024 * 1024, nullptr);
    pcre2_jit_stack_assign(mctx, nullptr, jit_stack);

    std::vector<uint32_t> ids;
    std::vector<size_t> bounds;
    std::vector<uint32_t> pair_rank;
    double best = 1e30;
    for (int pass = 0; pass < passes; ++pass) {
        ids.clear();
        auto t0 = std::chrono::steady_clock::now();
        const auto* subject = reinterpret_cast<PCRE2_SPTR>(text.data());
        size_t pos = 0;
        while (pos < text.size()) {
            int rc = pcre2_jit_match(re, subject, text.size(), pos, PCRE2_NO_UTF_CHECK, md, mctx);
            if (rc < 0) break;
            PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
            if (ov[1] == ov[0]) {  // cannot happen with these patterns; never loop
                ++pos;
                continue;
            }
            bpe(ranks, std::string_view(text).substr(ov[0], ov[1] - ov[0]), ids, bounds, pair_rank);
            pos = ov[1];
        }
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        best = std::min(best, s);
    }
    std::printf("%.6f %zu %zu\n", best, ids.size(), text.size());
    if (dump) {
        std::ofstream f(dump, std::ios::binary);
        for (uint32_t id : ids) {
            uint8_t b[4] = {uint8_t(id), uint8_t(id >> 8), uint8_t(id >> 16), uint8_t(id >> 24)};
            f.write(reinterpret_cast<const char*>(b), 4);
        }
    }
    pcre2_jit_stack_free(jit_stack);
    pcre2_match_context_free(mctx);
    pcre2_match_data_free(md);
    pcre2_code_free(re);
    return 0;
}
