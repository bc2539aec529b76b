#include "scratch.h"

namespace zelkor {

BacktrackScratch& backtrack_scratch() {
    thread_local BacktrackScratch scratch;
    return scratch;
}

IdVec& truncation_buffer() {
    thread_local IdVec buffer;
    return buffer;
}

}  // namespace zelkor
