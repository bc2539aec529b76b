#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "tokenizer.h"

namespace zelkor {
namespace {

namespace fs = std::filesystem;

const std::string DATA = ZELKOR_SOURCE_DIR "/data";
const std::string UNKNOWN_TAIL = " (built-in: cl100k_base, o200k_base, o200k_harmony)";

// A scratch data directory, removed with everything in it.
class DataDir {
public:
    DataDir() {
        char tmpl[] = "/tmp/zelkor_data_XXXXXX";
        const char* made = mkdtemp(tmpl);
        EXPECT_NE(made, nullptr);
        path_ = made ? made : "/nonexistent";
    }
    ~DataDir() { fs::remove_all(path_); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // Copies a shipped image into the directory.
    void add(const std::string& name) const { fs::copy_file(DATA + "/" + name, file(name)); }
    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(file(name), std::ios::binary) << bytes;
    }

private:
    std::string path_;
};

std::unique_ptr<Tokenizer> must_create(std::string_view name, std::string_view dir = "") {
    auto r = Tokenizer::create(name, dir);
    EXPECT_TRUE(r.ok()) << r.error();
    return r.ok() ? std::move(*r) : nullptr;
}

std::string create_error(std::string_view name, std::string_view dir) {
    auto r = Tokenizer::create(name, dir);
    EXPECT_FALSE(r.ok()) << name << " in " << dir;
    return r.ok() ? std::string() : r.error();
}

// The footprint rule applied to the tables directly.
uint64_t table_sum(const Tokenizer& t) {
    const Vocab& v = *t.vocab;
    uint64_t sum = v.by_bytes.key_bytes() + 24 * uint64_t(v.by_bytes.entries());
    sum += v.token_bytes.size() + v.token_lens.size();
    sum += 2 * uint64_t(v.tri_token.size());
    sum += 4 * uint64_t(v.token_starts.size() + v.byte_pair_merge.size() + v.two_node.size() +
                        v.two_token.size() + v.node_token.size() + v.prefix_token.size() +
                        v.three_node.size() + v.three_token.size() + v.tri_ids.size());
    sum += 16 * uint64_t(v.tri_longer.size());
    sum += 8 * uint64_t(v.pair_memo_len + v.token_info.size() + v.split_table.size() +
                        v.pair_table.size() + v.edge2.size() + v.edge1.size() +
                        v.three_longer.size() + v.two_char_next.size() + v.step_filter.size() +
                        v.tri_info.size() + v.tri_longer_info.size());
    for (const RangeList& l : t.uclass.lists) sum += 4 * uint64_t(l.starts.size() + l.ends.size());
    for (const RangeList& l : t.uclass_o.lists) sum += 4 * uint64_t(l.starts.size() + l.ends.size());
    sum += t.uclass.table.size() + t.uclass_o.table.size();
    for (const Special& s : t.specials) sum += s.text.size() + 32;
    return sum;
}

class Builtin : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (int i = 0; i < 3; ++i) tok[i] = must_create(BUILTIN_NAMES[i]).release();
    }
    static void TearDownTestSuite() {
        for (Tokenizer*& t : tok) {
            delete t;
            t = nullptr;
        }
    }
    static Tokenizer* tok[3];  // in BUILTIN_NAMES order
};
Tokenizer* Builtin::tok[3] = {};

TEST_F(Builtin, EveryNameLoadsItsOwnTables) {
    ASSERT_TRUE(tok[0] && tok[1] && tok[2]);
    const uint32_t n[3] = {100256, 199998, 199998};
    const size_t specials[3] = {5, 2, 1091};
    const uint64_t n_vocab[3] = {100277, 200019, 201088};
    for (int i = 0; i < 3; ++i) {
        const Tokenizer& t = *tok[i];
        SCOPED_TRACE(BUILTIN_NAMES[i]);
        EXPECT_EQ(t.name, BUILTIN_NAMES[i]);
        EXPECT_EQ(t.is_o200k, i != 0);
        EXPECT_EQ(t.uclass.empty(), i != 0);
        EXPECT_EQ(t.uclass_o.empty(), i == 0);
        EXPECT_EQ(t.vocab->n, n[i]);
        EXPECT_EQ(t.specials.size(), specials[i]);
        EXPECT_EQ(t.n_vocab(), n_vocab[i]);
        EXPECT_NE(t.id, 0u);
    }
    EXPECT_EQ(tok[0]->special_by_text("<|endoftext|>")->id, 100257u);
    EXPECT_EQ(tok[1]->special_by_text("<|endoftext|>")->id, 199999u);
    EXPECT_EQ(tok[0]->special_by_id(100276)->text, "<|endofprompt|>");
    EXPECT_EQ(tok[0]->special_by_id(100256), nullptr);
    EXPECT_EQ(tok[0]->special_by_text("<|endoftext|"), nullptr);
    // Two records share id 200018: lookups by id take the first.
    EXPECT_EQ(tok[2]->special_by_id(200018)->text, "<|endofprompt|>");
    EXPECT_EQ(tok[2]->special_by_text("<|reserved_200018|>")->id, 200018u);
    for (uint32_t id = 199998; id <= 201087; ++id) ASSERT_NE(tok[2]->special_by_id(id), nullptr);
    EXPECT_EQ(tok[2]->special_by_id(201088), nullptr);
}

TEST_F(Builtin, FootprintIsTheSumOverTheTables) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(tok[i], nullptr);
        EXPECT_EQ(tok[i]->memory_bytes(), table_sum(*tok[i])) << BUILTIN_NAMES[i];
        EXPECT_EQ(tok[i]->memory_bytes(), tok[i]->memory_bytes());
    }
    // Same vocabulary, different specials.
    uint64_t harmony_specials = 0;
    for (const Special& s : tok[2]->specials) harmony_specials += s.text.size() + 32;
    EXPECT_EQ(tok[2]->memory_bytes() - harmony_specials,
              tok[1]->memory_bytes() - (13 + 32) - (15 + 32));

    auto again = must_create("o200k_base");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->memory_bytes(), tok[1]->memory_bytes());
}

TEST(Construction, UnknownNamesFailBeforeAnythingElse) {
    const uint64_t before = take_tokenizer_id();
    for (std::string_view name : {"gpt2", "CL100K_BASE", "cl100k_base ", " o200k_base", "o200k",
                                  "", "o200k_harmony\n"}) {
        const std::string want = "zelkor: unknown encoding: " + std::string(name) + UNKNOWN_TAIL;
        EXPECT_EQ(create_error(name, ""), want);
        EXPECT_EQ(create_error(name, "/nonexistent/dir"), want);
    }
    EXPECT_EQ(create_error(std::string_view("cl100k_base\0", 12), ""),
              std::string("zelkor: unknown encoding: cl100k_base\0", 38) + UNKNOWN_TAIL);
    EXPECT_EQ(take_tokenizer_id(), before + 1);
}

TEST(Construction, IdsAreConsecutiveAndTakenOnlyByCompleteLoads) {
    DataDir empty;
    DataDir no_classes;
    no_classes.add("cl100k.vocab");

    auto a = must_create("cl100k_base");
    ASSERT_NE(a, nullptr);
    create_error("cl100k_base", empty.path());
    create_error("cl100k_base", no_classes.path());
    auto b = must_create("cl100k_base");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->id, a->id + 1);
    EXPECT_EQ(a->memory_bytes(), b->memory_bytes());
}

TEST(DataDirectory, MissingAndUnreadableVocabulary) {
    DataDir d;
    const std::string path = d.file("cl100k.vocab");
    const std::string missing =
        "zelkor: cannot open vocab file " + path + ": No such file or directory (os error 2)";
    EXPECT_EQ(create_error("cl100k_base", d.path()), missing);
    EXPECT_EQ(create_error("cl100k_base", d.path() + "/"), missing);

    fs::create_directory(path);
    EXPECT_EQ(create_error("cl100k_base", d.path()),
              "zelkor: cannot read " + path + ": Is a directory (os error 21)");
    fs::remove(path);

    d.write("cl100k.vocab", "abc");
    EXPECT_EQ(create_error("cl100k_base", d.path()),
              "zelkor: bad vocab file (truncated header): " + path);

    const std::string nul_dir("da\0ta", 5);
    EXPECT_EQ(create_error("cl100k_base", nul_dir),
              "zelkor: cannot open vocab file " + nul_dir +
                  "/cl100k.vocab: file name contained an unexpected NUL byte");
}

TEST(DataDirectory, PermissionDenied) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
    DataDir d;
    d.add("cl100k.vocab");
    chmod(d.file("cl100k.vocab").c_str(), 0);
    EXPECT_EQ(create_error("cl100k_base", d.path()),
              "zelkor: cannot open vocab file " + d.file("cl100k.vocab") +
                  ": Permission denied (os error 13)");
}

TEST(DataDirectory, ClassFileIsRequiredAndParsedAfterTheVocabulary) {
    DataDir d;
    d.add("cl100k.vocab");
    d.add("uniclass_o200k.bin");  // the o200k tables do not serve cl100k
    EXPECT_EQ(create_error("cl100k_base", d.path() + "/"),
              "zelkor: cannot open uniclass file " + d.file("uniclass.bin") +
                  ": No such file or directory (os error 2)");
    d.write("uniclass.bin", std::string(8, '\0'));
    EXPECT_EQ(create_error("cl100k_base", d.path()),
              "zelkor: bad uniclass file: " + d.file("uniclass.bin"));
}

TEST(DataDirectory, SpecialTokensFileIsOptional) {
    DataDir d;
    d.add("cl100k.vocab");
    d.add("uniclass.bin");
    auto plain = must_create("cl100k_base", d.path());
    ASSERT_NE(plain, nullptr);
    EXPECT_TRUE(plain->specials.empty());
    EXPECT_EQ(plain->n_vocab(), 100256u);
    EXPECT_EQ(plain->special_by_text("<|endoftext|>"), nullptr);
    EXPECT_EQ(plain->memory_bytes(), table_sum(*plain));

    // Present but unreadable counts as absent.
    fs::create_directory(d.file("cl100k.special"));
    auto unreadable = must_create("cl100k_base", d.path());
    ASSERT_NE(unreadable, nullptr);
    EXPECT_TRUE(unreadable->specials.empty());
    fs::remove(d.file("cl100k.special"));

    // Present and malformed is an error.
    d.write("cl100k.special", std::string("\x01\x10\0\0", 4));
    EXPECT_EQ(create_error("cl100k_base", d.path()),
              "zelkor: bad special-tokens file: " + d.file("cl100k.special"));

    // A custom list, with ids beyond the vocabulary.
    d.write("cl100k.special", std::string("\x01\0\0\0\xA0\x86\x01\0\x03\0<a>", 13));
    auto custom = must_create("cl100k_base", d.path());
    ASSERT_NE(custom, nullptr);
    ASSERT_EQ(custom->specials.size(), 1u);
    EXPECT_EQ(custom->special_by_text("<a>")->id, 100000u);
    EXPECT_EQ(custom->n_vocab(), 100256u);
}

TEST(DataDirectory, FullDirectoryMatchesTheBuiltinData) {
    DataDir d;
    for (const char* f : {"o200k.vocab", "uniclass_o200k.bin", "o200k_harmony.special"}) d.add(f);
    auto from_dir = must_create("o200k_harmony", "./" + fs::relative(d.path()).string());
    auto builtin = must_create("o200k_harmony");
    ASSERT_TRUE(from_dir && builtin);
    EXPECT_TRUE(from_dir->is_o200k);
    EXPECT_TRUE(from_dir->uclass.empty());
    ASSERT_EQ(from_dir->specials.size(), builtin->specials.size());
    for (size_t i = 0; i < builtin->specials.size(); ++i) {
        EXPECT_EQ(from_dir->specials[i].text, builtin->specials[i].text);
        EXPECT_EQ(from_dir->specials[i].id, builtin->specials[i].id);
    }
    EXPECT_EQ(from_dir->uclass_o.table, builtin->uclass_o.table);
    EXPECT_EQ(from_dir->memory_bytes(), builtin->memory_bytes());
    EXPECT_EQ(builtin->id, from_dir->id + 1);
}

}  // namespace
}  // namespace zelkor
