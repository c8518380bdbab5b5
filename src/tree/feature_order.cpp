#include <string>
#include <vector>

#include "splitting/scratch.hpp"
#include "splitting/sort_columns.hpp"
#include "support/error.hpp"
#include "tree/grow.hpp"

namespace lindorf {

FeatureOrder sort_features(MatrixView rows, WorkerPool* pool, bool with_values) {
    LINDORF_CHECK(rows.n_rows < no_position,
                  std::to_string(rows.n_rows) + " rows are more than a tree can be grown from");
    FeatureOrder order;
    order.n_rows = rows.n_rows;
    order.n_cols = rows.n_cols;
    order.rows.resize(rows.n_rows * rows.n_cols);
    if (with_values) order.values.resize(rows.n_rows * rows.n_cols);
    WorkerPool* sort_pool = rows.n_rows >= parallel_sort_rows ? pool : nullptr;
    ScratchSlots buffers(sort_pool != nullptr ? sort_pool->threads() : 1);
    parallel_for(sort_pool, rows.n_cols, [&](std::size_t f) {
        std::vector<Entry> column(rows.n_rows);
        for (std::size_t r = 0; r < rows.n_rows; ++r)
            column[r] = {rows.at(r, f), static_cast<std::uint32_t>(r)};
        sort_entries(column, buffers.claim()->entries);
        std::uint32_t* out = order.rows.data() + f * rows.n_rows;
        for (std::size_t r = 0; r < rows.n_rows; ++r) out[r] = column[r].row;
        if (!with_values) return;
        float* values = order.values.data() + f * rows.n_rows;
        for (std::size_t r = 0; r < rows.n_rows; ++r) values[r] = column[r].value;
    });
    return order;
}

}  // namespace lindorf
