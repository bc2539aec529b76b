// Arrow string columns read in place: one byte slice per slot, pointing into
// the producer's buffers, plus the slots' validity.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "arrow_abi.h"
#include "validity.h"

namespace zelkor::bulk {

enum class StringLayout {
    Utf8,       // "u": int32 offsets
    LargeUtf8,  // "U": int64 offsets
    Utf8View,   // "vu": 16-byte views into variadic data buffers
};

// The layout of a string field, or false for any other type.
bool string_layout(const ArrowSchema& schema, StringLayout& out);

struct TextColumn {
    std::vector<std::string_view> texts;  // one per slot; a null slot is empty
    Validity validity;
};

// Fills `out` from `array` (honouring its offset and validity bitmap). The
// slices stay valid while the array is alive. Returns an empty string on
// success, else what is wrong with the array: its layout, or sizes that no
// real buffers could have. Touches no Python object.
std::string read_texts(const ArrowArray& array, StringLayout layout, TextColumn& out);

}  // namespace zelkor::bulk
