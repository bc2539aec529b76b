// What the C++ benchmarks share: the corpora cut into documents the way
// bench/run.py cuts them, and a clock.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace zelkor_bench {

// Cuts at the first line break after every 4 KB so words stay whole.
inline std::vector<std::string> cut_documents(const std::string& text) {
    std::vector<std::string> docs;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = std::min(text.size(), pos + 4096);
        const size_t nl = text.find('\n', end);
        end = nl == std::string::npos ? text.size() : nl + 1;
        docs.push_back(text.substr(pos, end - pos));
        pos = end;
    }
    return docs;
}

// Seconds on a steady clock.
inline double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace zelkor_bench
