// Merge hints: the split of every token of a vocabulary image, computed
// once when the library is built and embedded beside the image.
//
// Finding each token's split is the slowest part of building the index (a
// byte-map probe and a pair test per candidate, token after token); with
// the answers at hand the builder only files them. A blob records which
// image it was made from, so hints never apply to any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vocab.h"

namespace zelkor {

// 64-bit fingerprint of an image's bytes.
uint64_t image_fingerprint(const uint8_t* image, size_t len);

// The blob for the index built from `image`: a 32-byte header (magic
// "ZKMH", version, token count, image length and fingerprint) followed by
// the split of every token, two little-endian 32-bit ids each.
std::vector<uint8_t> merge_hints_blob(const Vocab& v, const uint8_t* image, size_t len);

// The splits of `hints` if it was made from exactly this image of n
// tokens, else null.
const Split* hints_for_image(const MergeHintsBlob& hints, const uint8_t* image, size_t len,
                             uint32_t n);

}  // namespace zelkor
