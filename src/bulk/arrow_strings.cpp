#include "arrow_strings.h"

#include <cstddef>
#include <cstring>

namespace zelkor::bulk {

namespace {

bool bit(const uint8_t* bitmap, int64_t i) { return (bitmap[i >> 3] >> (i & 7)) & 1; }

// Element i of a buffer of T. Producers should align their buffers, but
// not all do (a column rebuilt from serialised bytes may start anywhere), so
// nothing is read through a T pointer.
template <class T>
T element(const void* buffer, int64_t i) {
    T v;
    std::memcpy(&v, static_cast<const char*>(buffer) + i * int64_t(sizeof(T)), sizeof(T));
    return v;
}

std::string slot_error(const char* what, int64_t slot) {
    return std::string("malformed Arrow string array: ") + what + " at slot " + std::to_string(slot);
}

// Whether `count` elements of `width` bytes can be one object in this
// process. The C interface carries no buffer sizes, but a producer that
// claims more than memory can hold describes buffers that cannot exist, and
// indexing them as claimed would overflow.
bool addressable(int64_t count, int64_t width) {
    int64_t bytes;
    return count >= 0 && !__builtin_mul_overflow(count, width, &bytes) &&
           uint64_t(bytes) <= uint64_t(PTRDIFF_MAX);
}

// Validity of the array's slots, re-based to slot 0. Producers may report an
// unknown null count (-1); a missing bitmap means every slot is valid.
void read_validity(const ArrowArray& a, TextColumn& out) {
    const auto* bitmap = static_cast<const uint8_t*>(a.buffers[0]);
    out.validity = Validity();
    if (!bitmap || a.null_count == 0) return;
    const int64_t n = a.length;
    std::vector<uint8_t> bits(size_t((n + 7) / 8), 0);
    int64_t nulls = 0;
    for (int64_t i = 0; i < n; ++i) {
        if (bit(bitmap, a.offset + i)) {
            bits[size_t(i >> 3)] |= uint8_t(1u << (i & 7));
        } else {
            ++nulls;
        }
    }
    out.validity.null_count = nulls;
    if (nulls) out.validity.bits = std::move(bits);
}

// Offsets are only trusted as far as the format itself guarantees them:
// non-negative and non-decreasing. Past that the C interface carries no
// buffer sizes to check against.
template <class Offset>
std::string read_offset_texts(const ArrowArray& a, TextColumn& out) {
    if (a.n_buffers != 3) return "malformed Arrow string array: expected 3 buffers";
    const int64_t n = a.length;
    out.texts.assign(size_t(n), std::string_view());
    if (n == 0) return {};
    const void* offsets = a.buffers[1];
    const auto* data = static_cast<const char*>(a.buffers[2]);
    if (!offsets) return "malformed Arrow string array: no offsets buffer";
    auto o = [&](int64_t i) { return element<Offset>(offsets, a.offset + i); };
    Offset prev = o(0);
    if (prev < 0) return slot_error("negative offset", 0);
    for (int64_t i = 0; i < n; ++i) {
        const Offset next = o(i + 1);
        if (next < prev) return slot_error("decreasing offsets", i);
        prev = next;
    }
    if (o(n) > o(0) && !data) return "malformed Arrow string array: no data buffer";
    for (int64_t i = 0; i < n; ++i) {
        if (!out.validity.valid(i)) continue;
        const Offset start = o(i), end = o(i + 1);
        // Empty texts may come without a data buffer.
        if (end > start) out.texts[size_t(i)] = std::string_view(data + start, size_t(end - start));
    }
    return {};
}

// A view is 16 bytes: int32 length, then either the bytes themselves (at
// most 12) or a 4-byte prefix, the data buffer's index and the offset in it.
// The last buffer holds the sizes of the data buffers, so every view can be
// bounds-checked.
std::string read_view_texts(const ArrowArray& a, TextColumn& out) {
    if (a.n_buffers < 3) return "malformed Arrow string-view array: expected at least 3 buffers";
    const int64_t n = a.length;
    const int64_t n_data = a.n_buffers - 3;
    out.texts.assign(size_t(n), std::string_view());
    if (n == 0) return {};
    const auto* views = static_cast<const uint8_t*>(a.buffers[1]);
    const void* sizes = a.buffers[a.n_buffers - 1];
    if (!views) return "malformed Arrow string-view array: no views buffer";
    if (n_data > 0 && !sizes) return "malformed Arrow string-view array: no buffer sizes";
    for (int64_t i = 0; i < n; ++i) {
        if (!out.validity.valid(i)) continue;
        const uint8_t* v = views + (a.offset + i) * 16;
        int32_t len, index, start;
        std::memcpy(&len, v, 4);
        if (len < 0) return slot_error("negative length", i);
        if (len <= 12) {
            out.texts[size_t(i)] = std::string_view(reinterpret_cast<const char*>(v + 4), size_t(len));
            continue;
        }
        std::memcpy(&index, v + 8, 4);
        std::memcpy(&start, v + 12, 4);
        if (index < 0 || index >= n_data) return slot_error("view into a missing buffer", i);
        const auto* buf = static_cast<const char*>(a.buffers[2 + index]);
        if (!buf || start < 0 || int64_t(start) + len > element<int64_t>(sizes, index)) {
            return slot_error("view out of its buffer", i);
        }
        out.texts[size_t(i)] = std::string_view(buf + start, size_t(len));
    }
    return {};
}

}  // namespace

bool string_layout(const ArrowSchema& schema, StringLayout& out) {
    if (!schema.format || schema.dictionary) return false;
    if (std::strcmp(schema.format, "u") == 0) {
        out = StringLayout::Utf8;
    } else if (std::strcmp(schema.format, "U") == 0) {
        out = StringLayout::LargeUtf8;
    } else if (std::strcmp(schema.format, "vu") == 0) {
        out = StringLayout::Utf8View;
    } else {
        return false;
    }
    return true;
}

std::string read_texts(const ArrowArray& a, StringLayout layout, TextColumn& out) {
    if (a.length < 0 || a.offset < 0) return "malformed Arrow string array: negative length or offset";
    if (a.n_buffers < 1 || !a.buffers) return "malformed Arrow string array: no buffers";
    if (!addressable(a.n_buffers, sizeof(void*))) return "malformed Arrow string array: too many buffers";
    if (a.null_count < -1 || a.null_count > a.length) {
        return "malformed Arrow string array: null count " + std::to_string(a.null_count) +
               " for length " + std::to_string(a.length);
    }
    // The views buffer holds one entry per slot up to offset + length, the
    // offsets buffer one more; the column needs one slice per slot.
    const bool views = layout == StringLayout::Utf8View;
    int64_t entries;
    if (__builtin_add_overflow(a.offset, a.length, &entries) ||
        __builtin_add_overflow(entries, views ? 0 : 1, &entries) ||
        !addressable(entries, views ? 16 : layout == StringLayout::Utf8 ? 4 : 8) ||
        uint64_t(a.length) > out.texts.max_size()) {
        return "malformed Arrow string array: length " + std::to_string(a.length) + " at offset " +
               std::to_string(a.offset) + " is more than memory can hold";
    }
    read_validity(a, out);
    switch (layout) {
        case StringLayout::Utf8: return read_offset_texts<int32_t>(a, out);
        case StringLayout::LargeUtf8: return read_offset_texts<int64_t>(a, out);
        case StringLayout::Utf8View: return read_view_texts(a, out);
    }
    return "unknown string layout";
}

}  // namespace zelkor::bulk
