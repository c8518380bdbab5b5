#include "sparse/sparse_set.hpp"

#include <algorithm>
#include <string>

#include "criteria/classes.hpp"
#include "splitting/sort_columns.hpp"
#include "support/error.hpp"
#include "tree/grow_engine.hpp"

namespace lindorf {

namespace {

void check_starts(std::span<const std::uint64_t> starts, std::size_t lines, std::size_t stored,
                  const char* what) {
    LINDORF_CHECK(starts.size() == lines + 1 && starts.front() == 0 && starts.back() == stored,
                  std::string("the ") + what + " starts do not fit the stored values");
    for (std::size_t i = 0; i < lines; ++i)
        LINDORF_CHECK(starts[i] <= starts[i + 1],
                      std::string("the ") + what + " starts are not ascending");
}

}  // namespace

void check_sparse(const SparseColumns& x) {
    LINDORF_CHECK(x.rows.size() == x.values.size(), "a stored value has no row");
    check_starts(x.starts, x.n_cols, x.values.size(), "column");
    std::vector<std::uint32_t> last_column(x.n_rows, 0);
    for (std::size_t f = 0; f < x.n_cols; ++f) {
        for (std::uint64_t k = x.starts[f]; k < x.starts[f + 1]; ++k) {
            const std::uint32_t row = x.rows[k];
            LINDORF_CHECK(row < x.n_rows, "a stored value's row is beyond the rows");
            LINDORF_CHECK(last_column[row] != f + 1, "a column stores a row twice");
            last_column[row] = static_cast<std::uint32_t>(f + 1);
        }
    }
}

void check_sparse(const SparseRows& x) {
    LINDORF_CHECK(x.cols.size() == x.values.size(), "a stored value has no feature");
    check_starts(x.starts, x.n_rows, x.values.size(), "row");
    for (std::size_t r = 0; r < x.n_rows; ++r)
        for (std::uint64_t k = x.starts[r]; k < x.starts[r + 1]; ++k) {
            LINDORF_CHECK(x.cols[k] < x.n_cols, "a stored value's feature is beyond the features");
            LINDORF_CHECK(k == x.starts[r] || x.cols[k - 1] < x.cols[k],
                          "a row's features are not ascending");
        }
}

namespace {

// A stored value of either sign of zero is a zero like every unstored value.
bool kept(float value) { return value != 0.0f; }

// Feature f's stored values that are not zeros, of the rows `wanted` keeps, with their source
// rows, in `out`, sorted by value.
template <class Wanted>
void sorted_column(const SparseColumns& x, std::size_t f, std::span<Entry> out, Wanted wanted) {
    Entry* at = out.data();
    for (std::uint64_t k = x.starts[f]; k < x.starts[f + 1]; ++k)
        if (kept(x.values[k]) && wanted(x.rows[k])) *at++ = {x.values[k], x.rows[k]};
    sort_entries(out);
}

// A sparse set's rows, drawn from `n_rows` rows, without its stored values; local_of gives each
// source row's local row, or no_position when it was not drawn.
struct DrawnRows {
    SparseSet sparse;
    std::vector<std::uint32_t> local_of;
};

DrawnRows drawn_rows(std::size_t n_rows, std::size_t n_cols, std::span<const Label> labels,
                     const RowDraws& draws) {
    LINDORF_CHECK(labels.size() == n_rows && draws.count.size() == n_rows,
                  "cannot grow a tree from " + std::to_string(n_rows) + " rows and " +
                      std::to_string(labels.size()) + " labels");
    DrawnRows out{{}, std::vector<std::uint32_t>(n_rows, no_position)};
    std::vector<Label> drawn_labels;
    WorkingSet& set = out.sparse.rows;
    for (std::size_t r = 0; r < n_rows; ++r) {
        if (draws.count[r] == 0) continue;
        out.local_of[r] = static_cast<std::uint32_t>(drawn_labels.size());
        drawn_labels.push_back(labels[r]);
        set.first.push_back(draws.first[r]);
        set.last.push_back(draws.last[r]);
        set.source_of.push_back(static_cast<std::uint32_t>(r));
    }
    LINDORF_CHECK(!drawn_labels.empty(), "cannot grow a tree from an empty training set");
    set.n_rows = drawn_labels.size();
    set.n_cols = n_cols;
    ClassIndex classes = index_classes(drawn_labels);
    set.class_labels = std::move(classes.labels);
    set.row_class.resize(set.n_rows);
    set.node_rows.resize(set.n_rows);
    for (std::uint32_t local = 0; local < set.n_rows; ++local) {
        set.row_class[local] = {classes.of[local], draws.count[set.source_of[local]]};
        set.node_rows[local] = {0.0f, local};
    }
    // Stored values name their rows directly (no packing): the rows a search makes up for a
    // node's zeros need a class and a weight of their own.
    set.coding = RowCoding{};
    release_table(set);
    std::stable_sort(set.node_rows.begin(), set.node_rows.end(),
                     [&](Entry a, Entry b) { return set.first[a.row] < set.first[b.row]; });
    return out;
}

}  // namespace

SparseOrder sort_sparse(const SparseColumns& x, WorkerPool* pool) {
    check_sparse(x);
    SparseOrder order{x.n_rows, x.n_cols, {}, std::vector<std::uint64_t>(x.n_cols + 1, 0)};
    for (std::size_t f = 0; f < x.n_cols; ++f) {
        std::uint64_t count = 0;
        for (std::uint64_t k = x.starts[f]; k < x.starts[f + 1]; ++k) count += kept(x.values[k]);
        order.starts[f + 1] = order.starts[f] + count;
    }
    order.entries.resize(order.starts.back());
    parallel_for(pool, x.n_cols, [&](std::size_t f) {
        sorted_column(x, f,
                      {order.entries.data() + order.starts[f], order.starts[f + 1] - order.starts[f]},
                      [](std::uint32_t) { return true; });
    });
    return order;
}

SparseSet sparse_set_of_draws(const SparseOrder& order, std::span<const Label> labels,
                              const RowDraws& draws) {
    DrawnRows drawn = drawn_rows(order.n_rows, order.n_cols, labels, draws);
    SparseSet& sparse = drawn.sparse;
    std::size_t stored = 0;
    for (const Entry& entry : order.entries) stored += drawn.local_of[entry.row] != no_position;
    sparse.stored.reserve(stored);
    for (std::size_t f = 0; f < order.n_cols; ++f) {
        const std::size_t before = sparse.stored.size();
        for (std::uint64_t k = order.starts[f]; k < order.starts[f + 1]; ++k) {
            const std::uint32_t local = drawn.local_of[order.entries[k].row];
            if (local != no_position) sparse.stored.push_back({order.entries[k].value, local});
        }
        if (sparse.stored.size() > before)
            sparse.runs.push_back({static_cast<std::uint32_t>(f),
                                   static_cast<std::uint32_t>(sparse.stored.size() - before)});
    }
    return std::move(sparse);
}

SparseSet sparse_set_of_matrix(const SparseColumns& x, std::span<const Label> labels,
                               const RowDraws& draws, WorkerPool* pool) {
    check_sparse(x);
    DrawnRows drawn = drawn_rows(x.n_rows, x.n_cols, labels, draws);
    auto is_drawn = [&](std::uint32_t row) { return drawn.local_of[row] != no_position; };
    std::vector<std::uint64_t> starts(x.n_cols + 1, 0);
    for (std::size_t f = 0; f < x.n_cols; ++f) {
        std::uint64_t count = 0;
        for (std::uint64_t k = x.starts[f]; k < x.starts[f + 1]; ++k)
            count += kept(x.values[k]) && is_drawn(x.rows[k]);
        starts[f + 1] = starts[f] + count;
    }
    SparseSet& sparse = drawn.sparse;
    sparse.stored.resize(starts.back());
    for (std::size_t f = 0; f < x.n_cols; ++f)
        if (starts[f + 1] > starts[f])
            sparse.runs.push_back({static_cast<std::uint32_t>(f),
                                   static_cast<std::uint32_t>(starts[f + 1] - starts[f])});
    // Sorting the drawn rows' values alone leaves them in the order that sorting every row's
    // and dropping the others' would: the sort is stable.
    parallel_for(pool, x.n_cols, [&](std::size_t f) {
        const std::span<Entry> column(sparse.stored.data() + starts[f], starts[f + 1] - starts[f]);
        sorted_column(x, f, column, is_drawn);
        for (Entry& entry : column) entry.row = drawn.local_of[entry.row];
    });
    return std::move(sparse);
}

}  // namespace lindorf
