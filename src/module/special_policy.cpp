#include "special_policy.h"

#include <algorithm>
#include <cstring>

#include "convert.h"
#include "pyref.h"

namespace zelkor::py {

SpecialIndex::SpecialIndex(const SpecialList& specials) {
    table_.reserve(specials.size());
    for (const Special& s : specials) {
        table_.push_back(&s);
        if (s.text.empty()) continue;
        sorted_.emplace_back(s.text);
        first_byte_[static_cast<unsigned char>(s.text[0])] = true;
    }
    // std::string_view compares through char_traits<char>, i.e. as unsigned
    // bytes, with a prefix before its extensions.
    std::sort(sorted_.begin(), sorted_.end());
    sorted_.erase(std::unique(sorted_.begin(), sorted_.end()), sorted_.end());
}

bool SpecialIndex::is_special(std::string_view s) const {
    return std::binary_search(sorted_.begin(), sorted_.end(), s);
}

bool to_set(PyObject* value, bool default_all, SpecialSet& out) {
    if (!value) {
        out.all = default_all;
        return true;
    }
    if (PyUnicode_Check(value)) {
        std::string_view s;
        if (!text_view(value, s)) return false;
        if (s == "all") {
            out.all = true;
            return true;
        }
        PyErr_SetString(PyExc_ValueError,
                        "allowed_special/disallowed_special must be 'all' or a collection of strings");
        return false;
    }
    Ref it = Ref::steal(PyObject_GetIter(value));
    if (!it) return false;
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) {
        std::string_view s;
        if (!text_view(item.get(), s)) return false;
        out.items.emplace(s);
    }
    return !PyErr_Occurred();
}

const std::vector<const Special*>& allowed_list(const SpecialIndex& index, const SpecialSet& allowed,
                                                std::vector<const Special*>& storage) {
    if (allowed.all) return index.table();
    if (allowed.items.empty()) return storage;
    for (const Special* s : index.table())
        if (allowed.items.find(s->text) != allowed.items.end()) storage.push_back(s);
    return storage;
}

bool check_disallowed(const SpecialIndex& index, const SpecialSet& allowed,
                      const SpecialSet& disallowed, std::string_view text) {
    std::string_view hit;
    if (disallowed.all) {
        if (allowed.all) return true;  // everything disallowed is also allowed
        if (allowed.items.empty()) {
            hit = index.smallest_occurring(text, [](std::string_view) { return false; });
        } else {
            hit = index.smallest_occurring(
                text, [&](std::string_view s) { return allowed.items.find(s) != allowed.items.end(); });
        }
    } else {
        for (const std::string& s : disallowed.items) {
            if (s.empty() || allowed.contains(index, s)) continue;
            if (text.find(s) != std::string_view::npos) {
                hit = s;
                break;
            }
        }
    }
    if (hit.empty()) return true;
    const std::string q = debug_quote(hit);
    const std::string msg = "Encountered text corresponding to disallowed special token " + q +
                            ".\nIf you want this text to be encoded as a special token, pass it to "
                            "`allowed_special`, e.g. `allowed_special={" +
                            q +
                            ", ...}`.\nIf you want this text to be encoded as normal text, disable "
                            "the check for this token by passing `disallowed_special=()`, or use "
                            "`encode_ordinary`.";
    Ref text_obj = Ref::steal(PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace"));
    if (text_obj) PyErr_SetObject(PyExc_ValueError, text_obj.get());
    return false;
}

}  // namespace zelkor::py
