// Piece encoding for pieces that begin with a three-byte UTF-8 character.
#pragma once

#include <cstddef>
#include <cstdint>

#include "id_vec.h"
#include "vocab.h"

namespace zelkor {

// The longest token that is a prefix of s[0..n), or NONE. Same answer as
// longest_prefix_token, resolving a leading three-byte character in one read.
TokenId nm_mb(const Vocab& v, const uint8_t* s, size_t n);

// Appends the same ids as encode_piece(v, piece, n, out).
void encode_mb(const Vocab& v, const uint8_t* piece, size_t n, IdVec& out);

}  // namespace zelkor
