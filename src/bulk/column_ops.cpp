#include "column_ops.h"

#include <utility>
#include <vector>

#include "arrow_export.h"

namespace zelkor::bulk {

std::string run_column(const py::EngineCalls& calls, const Tokenizer& tok, const ArrowArray& input,
                       StringLayout layout, ColumnOp op, size_t threads, bool with_special,
                       ArrowSchema& schema, ArrowArray& array) {
    TextColumn column;
    std::string error = read_texts(input, layout, column);
    if (!error.empty()) return error;

    if (op == ColumnOp::Encode) {
        BatchIds batch = calls.encode_batch(tok, column.texts, threads, with_special);
        export_token_lists(std::move(batch), std::move(column.validity), schema, array);
        return {};
    }
    const std::vector<uint32_t> counts = calls.count_batch(tok, column.texts, threads, with_special);
    std::vector<int64_t> wide(counts.begin(), counts.end());
    export_counts(std::move(wide), std::move(column.validity), schema, array);
    return {};
}

}  // namespace zelkor::bulk
