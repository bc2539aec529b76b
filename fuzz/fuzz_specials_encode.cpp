// Encoding with special tokens on texts spliced from whole and broken
// special-token strings and ordinary bytes. The result must equal a plain
// scan (earliest occurrence, list order on ties), every special id must
// stand for a full occurrence in the text, and the batch forms agree.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_encode.h"

using namespace zelkor;

namespace {

// Material for the texts: every special string of cl100k_base, the named
// o200k_harmony ones and a few reserved ones, and ordinary pieces that
// look like parts of them.
const std::vector<std::string>& fragments() {
    static const std::vector<std::string> f = [] {
        std::vector<std::string> out;
        for (int which : {0, 2}) {
            for (const Special& s : fuzz::builtin(which).specials) {
                const bool common = s.text.find("reserved") == std::string::npos;
                if (common || s.id == 200018 || s.id == 200019 || s.id == 201087) out.push_back(s.text);
            }
        }
        for (const char* s : {"<|", "|>", "<", ">", "|", "endoftext", "reserved_", "2000", " ", "\n",
                              "hello", " world", "'s", "\xc3\xa9", "\xe4\xb8\x80", "\xf0\x9f\x98\x80",
                              "\xe4", "\x80", "123"})
            out.emplace_back(s);
        return out;
    }();
    return f;
}

// Ops of two bytes: a fragment whole, a prefix or a suffix of it, or a
// few raw bytes of the input.
std::string build_text(fuzz::Reader& in) {
    const std::vector<std::string>& frags = fragments();
    std::string text;
    while (!in.done() && text.size() < 512) {
        const uint8_t op = in.byte();
        const uint8_t arg = in.byte();
        const std::string& f = frags[arg % frags.size()];
        switch (op % 4) {
            case 0: text += f; break;
            case 1: text += f.substr(0, op / 4 % f.size()); break;
            case 2: text += f.substr(op / 4 % f.size()); break;
            default: text += in.bytes(op / 4 % 8 + 1); break;
        }
    }
    return text;
}

std::vector<TokenId> reference(const Tokenizer& tok, std::string_view text,
                               const std::vector<const Special*>& cands) {
    std::vector<TokenId> out;
    auto ordinary = [&](std::string_view s) {
        const IdVec ids = encode(tok, fuzz::bytes(s), s.size());
        out.insert(out.end(), ids.begin(), ids.end());
    };
    size_t pos = 0;
    while (pos < text.size()) {
        const Special* win = nullptr;
        size_t at = std::string_view::npos;
        for (const Special* s : cands) {
            const size_t f = text.find(s->text, pos);
            if (f < at) at = f, win = s;
        }
        if (!win) {
            ordinary(text.substr(pos));
            break;
        }
        if (at > pos) ordinary(text.substr(pos, at - pos));
        out.push_back(win->id);
        pos = at + win->text.size();
    }
    return out;
}

// Spells the ids out against the text: ordinary ids by their bytes, special
// ids by one of the strings listed for them, found whole at that point.
void check_spelling(const Tokenizer& tok, std::string_view text, const IdVec& ids) {
    const Vocab& v = *tok.vocab;
    size_t pos = 0;
    for (TokenId id : ids) {
        std::string_view rest = text.substr(pos);
        if (id < v.n) {
            const std::string_view t = fuzz::token_text(v, id);
            FUZZ_CHECK(fuzz::starts_with(rest, t));
            pos += t.size();
            continue;
        }
        size_t len = 0;
        for (const Special& s : tok.specials)
            if (s.id == id && fuzz::starts_with(rest, s.text)) len = s.text.size();
        FUZZ_CHECK(len != 0);
        pos += len;
    }
    FUZZ_CHECK(pos == text.size());
}

bool has_one_string_per_id(const Tokenizer& tok) {
    for (const Special& s : tok.specials)
        if (tok.special_by_id(s.id) != &s) return false;
    return true;
}

void check_tokenizer(const Tokenizer& tok, bool one_string_per_id, std::string_view text,
                     uint32_t mask) {
    const uint8_t* t = fuzz::bytes(text);
    std::vector<const Special*> all, some;
    for (size_t i = 0; i < tok.specials.size(); ++i) {
        all.push_back(&tok.specials[i]);
        if ((mask >> (i % 32)) & 1) some.push_back(&tok.specials[i]);
    }

    const IdVec got = encode_with_special(tok, t, text.size());
    FUZZ_CHECK(fuzz::same_ids(got, reference(tok, text, all)));
    check_spelling(tok, text, got);
    // Where every special id has one string, decoding gives the text back.
    if (one_string_per_id) {
        const std::vector<uint8_t> back = decode(tok, got.data(), got.size());
        FUZZ_CHECK(std::string_view(reinterpret_cast<const char*>(back.data()), back.size()) == text);
    }

    const IdVec part = encode_with_specials_from(tok, t, text.size(), some);
    FUZZ_CHECK(fuzz::same_ids(part, reference(tok, text, some)));
    check_spelling(tok, text, part);

    // Batches fall back to ordinary encoding for text that is not UTF-8.
    const IdVec one = fuzz::valid_utf8(text) ? encode_with_special(tok, t, text.size())
                                             : encode(tok, t, text.size());
    // Two threads now and then only: every start of a thread pool moves the
    // caches around and clears some.
    const std::vector<std::string_view> texts = {text, text};
    const size_t threads = mask % 64 == 0 ? 2 : 1;
    const BatchIds b = encode_batch(tok, texts, threads, true);
    const std::vector<uint32_t> counts = count_batch(tok, texts, threads, true);
    FUZZ_CHECK(b.ids.size() == 2 * one.size() && size_t(b.offsets[1]) == one.size());
    for (size_t i = 0; i < b.ids.size(); ++i) FUZZ_CHECK(b.ids[i] == one[i % one.size()]);
    FUZZ_CHECK(counts[0] == one.size() && counts[1] == one.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Reader in(data, size);
    const uint32_t mask = uint32_t(in.byte()) | uint32_t(in.byte()) << 8 | uint32_t(in.byte()) << 16 |
                          uint32_t(in.byte()) << 24;
    const std::string text = build_text(in);
    // cl100k_base and o200k_harmony: the harmony list holds every string of
    // o200k_base with the same ids, over the same vocabulary. A third
    // tokenizer would push the thread's caches past their budget on every
    // input.
    static const bool one_string[2] = {has_one_string_per_id(fuzz::builtin(0)),
                                       has_one_string_per_id(fuzz::builtin(2))};
    check_tokenizer(fuzz::builtin(0), one_string[0], text, mask);
    check_tokenizer(fuzz::builtin(2), one_string[1], text, mask);
    return 0;
}
