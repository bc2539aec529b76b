// Results handed to Arrow consumers without a copy: the exported structs own
// the engine's buffers and free them from their release callbacks, which may
// run on any thread and touch no Python object.
#pragma once

#include <cstdint>
#include <vector>

#include "arrow_abi.h"
#include "tokenizer.h"
#include "validity.h"

namespace zelkor::bulk {

// large_list<uint32>: the batch's offsets and ids become the list offsets
// and the values buffer as they are. Fills both (zeroed) structs.
void export_token_lists(BatchIds&& batch, Validity&& validity, ArrowSchema& schema, ArrowArray& array);

// int64 values.
void export_counts(std::vector<int64_t>&& counts, Validity&& validity, ArrowSchema& schema,
                   ArrowArray& array);

// list<large_string>: list i holds strings list_offsets[i] .. list_offsets[i + 1],
// string j the bytes string_offsets[j] .. string_offsets[j + 1] of string_data.
void export_string_lists(std::vector<int32_t>&& list_offsets, std::vector<int64_t>&& string_offsets,
                         std::vector<uint8_t>&& string_data, Validity&& validity,
                         ArrowSchema& schema, ArrowArray& array);

// Exported results whose buffers have not been released yet.
int64_t live_exports();

}  // namespace zelkor::bulk
