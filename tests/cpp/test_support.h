// Small helpers shared by the C++ tests: whole files, the corpora, the
// data/ vocabularies as a test parameter, and vocabulary images built by
// hand.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vocab.h"

namespace zelkor_test {

using zelkor::NONE;
using zelkor::Vocab;

inline std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

inline std::string data_path(std::string_view name) {
    return std::string(ZELKOR_SOURCE_DIR) + "/data/" + std::string(name);
}

inline std::string corpus_dir() { return std::string(ZELKOR_SOURCE_DIR) + "/../shared/corpus"; }

// The corpus .txt files in name order; empty when the folder is absent.
inline std::vector<std::string> corpus_files() {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(corpus_dir(), ec))
        if (e.path().extension() == ".txt") files.push_back(e.path().string());
    std::sort(files.begin(), files.end());
    return files;
}

// A vocabulary from data/, built once per test program. Null when the
// image is missing or does not load.
inline const Vocab* data_vocab(std::string_view file) {
    static std::map<std::string, std::unique_ptr<Vocab>> cache;
    auto it = cache.find(std::string(file));
    if (it == cache.end()) {
        std::vector<uint8_t> image = read_file(data_path(file));
        auto v = Vocab::from_bytes(image.data(), image.size(), file);
        it = cache.emplace(std::string(file), v ? std::move(v.value()) : nullptr).first;
    }
    return it->second.get();
}

// A fixture for tests that run with both vocabularies of data/:
//   class Name : public zelkor_test::BothVocabs {};
//   TEST_P(Name, ...) { ... vocab() ... }
//   INSTANTIATE_TEST_SUITE_P(Both, Name, zelkor_test::both_vocabs(), zelkor_test::vocab_name);
class BothVocabs : public ::testing::TestWithParam<const char*> {
protected:
    const Vocab& vocab() { return *data_vocab(GetParam()); }
    void SetUp() override { ASSERT_NE(data_vocab(GetParam()), nullptr); }
};

inline auto both_vocabs() { return ::testing::Values("cl100k.vocab", "o200k.vocab"); }

inline std::string vocab_name(const ::testing::TestParamInfo<const char*>& p) {
    return p.param[0] == 'c' ? "cl100k" : "o200k";
}

// Builds a vocabulary image: count, then (len, bytes, rank) records.
class VocabImage {
public:
    VocabImage& add(std::string_view bytes, uint32_t rank) {
        put16(uint16_t(bytes.size()));
        body_.insert(body_.end(), bytes.begin(), bytes.end());
        put32(rank);
        ++count_;
        return *this;
    }
    // The 256 single bytes, byte b with rank b.
    VocabImage& add_bytes() {
        for (int b = 0; b < 256; ++b) add(std::string(1, char(b)), uint32_t(b));
        return *this;
    }
    std::vector<uint8_t> bytes(uint32_t count) const {
        std::vector<uint8_t> out(4 + body_.size());
        for (int i = 0; i < 4; ++i) out[size_t(i)] = uint8_t(count >> (8 * i));
        std::copy(body_.begin(), body_.end(), out.begin() + 4);
        return out;
    }
    std::vector<uint8_t> bytes() const { return bytes(count_); }
    // Raw bytes appended to the body, for malformed records.
    VocabImage& raw(std::initializer_list<uint8_t> b) {
        body_.insert(body_.end(), b);
        return *this;
    }
    VocabImage& put16(uint16_t v) { return raw({uint8_t(v), uint8_t(v >> 8)}); }
    VocabImage& put32(uint32_t v) {
        return raw({uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    }

private:
    std::vector<uint8_t> body_;
    uint32_t count_ = 0;
};

}  // namespace zelkor_test
