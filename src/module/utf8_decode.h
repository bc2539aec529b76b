// UTF-8 validation and repair for decoded token bytes. Pure C++: no Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zelkor::py {

struct Utf8Error {
    size_t valid_up_to = 0;  // length of the valid prefix
    size_t error_len = 0;    // bytes of the ill-formed subpart; 0 = input ends inside a character
};

// True when s[0..n) is valid UTF-8; otherwise describes the first error.
bool utf8_validate(const uint8_t* s, size_t n, Utf8Error& err);

enum class Repair {
    Replace,  // each maximal ill-formed subpart becomes one U+FFFD
    Ignore,   // the same, then every U+FFFD (also a genuine one) is dropped
};

// Valid UTF-8 made from s[0..n) under the given policy.
std::string utf8_repair(const uint8_t* s, size_t n, Repair policy);

}  // namespace zelkor::py
