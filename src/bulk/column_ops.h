// One string column through the batch engine, from the producer's buffers
// to exported result buffers. Touches no Python object, so it runs with the
// interpreter released.
#pragma once

#include <cstddef>
#include <string>

#include "arrow_abi.h"
#include "arrow_strings.h"
#include "engine_calls.h"
#include "tokenizer.h"

namespace zelkor::bulk {

enum class ColumnOp { Encode, Count };

// Fills the zeroed `schema` and `array` with the result: large_list<uint32>
// of ids (Encode) or int64 counts (Count), null where the input is null.
// Returns an empty string, or what is wrong with the input's layout (then
// nothing is filled). Engine failures are thrown as by encode_batch. The
// engine work goes through `calls`, the tokenizer's own module's engine.
std::string run_column(const py::EngineCalls& calls, const Tokenizer& tok, const ArrowArray& input,
                       StringLayout layout, ColumnOp op, size_t threads, bool with_special,
                       ArrowSchema& schema, ArrowArray& array);

}  // namespace zelkor::bulk
