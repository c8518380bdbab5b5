#include "splitting/working_set.hpp"

#include <string>

#include "criteria/classes.hpp"
#include "splitting/sort_columns.hpp"
#include "support/error.hpp"
#include "support/parallel.hpp"

namespace lindorf {

WorkingSet working_set_of_rows(MatrixView rows, const ClassIndex& classes, WorkerPool* pool) {
    LINDORF_CHECK(rows.n_rows < no_position,
                  std::to_string(rows.n_rows) + " rows are more than a tree can be grown from");
    WorkingSet set;
    set.n_rows = rows.n_rows;
    set.n_cols = rows.n_cols;
    set.class_labels = classes.labels;
    set.row_class.resize(rows.n_rows);
    set.first.resize(rows.n_rows);
    set.last.resize(rows.n_rows);
    for (std::size_t r = 0; r < rows.n_rows; ++r) {
        bool labelled = r < classes.of.size();
        set.row_class[r] = {labelled ? classes.of[r] : 0u, labelled ? 1u : 0u};
        set.first[r] = set.last[r] = static_cast<std::uint32_t>(r);
    }
    set.entries.resize(rows.n_rows * rows.n_cols);
    WorkerPool* sort_pool = rows.n_rows >= parallel_sort_rows ? pool : nullptr;
    parallel_for(sort_pool, rows.n_cols, [&](std::size_t f) {
        std::span<Entry> column = set.column(f, 0, rows.n_rows);
        for (std::size_t r = 0; r < rows.n_rows; ++r)
            column[r] = {rows.at(r, f), static_cast<std::uint32_t>(r)};
        std::vector<Entry> buffer(rows.n_rows);
        sort_entries(column, buffer);
    });
    return set;
}

}  // namespace lindorf
