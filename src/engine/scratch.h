// Per-thread buffers reused across calls: created on first use, kept at
// their largest size, freed when the thread exits.
#pragma once

#include <cstdint>
#include <vector>

#include "id_vec.h"

namespace zelkor {

// Backtracking state of the piece encoder: one bit per byte position that
// may still start a valid continuation.
struct BacktrackScratch {
    std::vector<uint64_t> live;
};

// This thread's backtracking scratch. One encoder run holds it at a time.
BacktrackScratch& backtrack_scratch();

// This thread's id buffer for truncation.
IdVec& truncation_buffer();

}  // namespace zelkor
