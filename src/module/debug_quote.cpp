// Debug quoting of a string for error messages: printable characters as they
// are, the rest escaped, between double quotes.
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "pyref.h"
#include "special_policy.h"

namespace zelkor::py {

namespace {

// Reads one code point of valid UTF-8 at s[i], advancing i.
uint32_t next_code_point(std::string_view s, size_t& i) {
    auto b = [&](size_t k) { return static_cast<uint32_t>(static_cast<unsigned char>(s[k])); };
    uint32_t c = b(i);
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (i + len > s.size()) len = 1;  // not expected: the strings come from str objects
    if (len == 2) c = ((c & 0x1F) << 6) | (b(i + 1) & 0x3F);
    else if (len == 3) c = ((c & 0x0F) << 12) | ((b(i + 1) & 0x3F) << 6) | (b(i + 2) & 0x3F);
    else if (len == 4)
        c = ((c & 0x07) << 18) | ((b(i + 1) & 0x3F) << 12) | ((b(i + 2) & 0x3F) << 6) | (b(i + 3) & 0x3F);
    i += len;
    return c;
}

// Combining marks (general categories Mn and Me) extend the preceding
// grapheme and would render onto the quote, so they are escaped. The
// interpreter's own Unicode database answers; without it nothing is escaped.
bool is_combining_mark(uint32_t cp) {
    Ref ud = Ref::steal(PyImport_ImportModule("unicodedata"));
    if (!ud) {
        PyErr_Clear();
        return false;
    }
    Ref ch = Ref::steal(PyUnicode_FromOrdinal(static_cast<int>(cp)));
    Ref cat = ch ? Ref::steal(PyObject_CallMethod(ud.get(), "category", "O", ch.get())) : Ref();
    if (!cat) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_CompareWithASCIIString(cat.get(), "Mn") == 0 ||
           PyUnicode_CompareWithASCIIString(cat.get(), "Me") == 0;
}

}  // namespace

std::string debug_quote(std::string_view s) {
    std::string q = "\"";
    for (size_t i = 0; i < s.size();) {
        const size_t start = i;
        const uint32_t cp = next_code_point(s, i);
        switch (cp) {
            case '"': q += "\\\""; continue;
            case '\\': q += "\\\\"; continue;
            case '\n': q += "\\n"; continue;
            case '\r': q += "\\r"; continue;
            case '\t': q += "\\t"; continue;
            case 0: q += "\\0"; continue;
            default: break;
        }
        // The interpreter's printable test is the one wanted here: controls,
        // format characters, separators, spaces other than ' ', private-use,
        // surrogates and unassigned code points are not printable.
        bool printable = cp < 0x80 ? (cp >= 0x20 && cp < 0x7F)
                                   : (Py_UNICODE_ISPRINTABLE(cp) && !is_combining_mark(cp));
        if (printable) {
            q.append(s.substr(start, i - start));
        } else {
            char buf[16];
            std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
            q += buf;
        }
    }
    q += '"';
    return q;
}

}  // namespace zelkor::py
