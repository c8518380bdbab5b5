// Working sets of bootstrap samples, filtered out of the shared per-feature order instead of
// sorted afresh for every tree.
#include <string>
#include <utility>
#include <vector>

#include "criteria/classes.hpp"
#include "splitting/sort_columns.hpp"
#include "support/error.hpp"
#include "tree/grow_engine.hpp"

namespace lindorf {

namespace {

void check_sample(MatrixView rows, std::span<const Label> labels, const FeatureOrder& order,
                  std::span<const std::uint32_t> sample) {
    LINDORF_CHECK(!sample.empty(), "cannot grow a tree from an empty training set");
    LINDORF_CHECK(labels.size() == rows.n_rows, "cannot grow a tree from " +
                                                    std::to_string(rows.n_rows) + " rows and " +
                                                    std::to_string(labels.size()) + " labels");
    LINDORF_CHECK(order.n_rows == rows.n_rows && order.n_cols == rows.n_cols &&
                      order.rows.size() == rows.n_rows * rows.n_cols,
                  "the feature order was computed for other rows");
    LINDORF_CHECK(sample.size() < no_position, "a sample of " + std::to_string(sample.size()) +
                                                   " draws is more than a tree can be grown from");
}

// Local ids are handed out in ascending row order; undrawn rows keep no_position.
std::vector<std::uint32_t> number_drawn_rows(std::size_t n_rows,
                                             std::span<const std::uint32_t> sample,
                                             std::vector<std::uint32_t>& weights) {
    std::vector<std::uint32_t> local_of(n_rows, 0);
    for (std::uint32_t row : sample) {
        LINDORF_CHECK(row < n_rows, "sample row " + std::to_string(row) + " is beyond the " +
                                        std::to_string(n_rows) + " rows");
        ++local_of[row];
    }
    std::uint32_t next = 0;
    for (std::uint32_t& local : local_of) {
        if (local == 0) {
            local = no_position;
            continue;
        }
        weights.push_back(local);
        local = next++;
    }
    return local_of;
}

void fill_column(WorkingSet& set, MatrixView rows, const FeatureOrder& order, std::size_t f,
                 const std::vector<std::uint32_t>& local_of,
                 const std::vector<std::uint32_t>& coded) {
    std::span<Entry> column = set.column(f, 0, set.n_rows);
    std::size_t out = 0;
    std::uint32_t previous_key = 0;
    for (std::uint32_t row : order.feature(f)) {
        std::uint32_t local = local_of[row];
        if (local == no_position) continue;
        float value = rows.at(row, f);
        std::uint32_t key = sort_key(value);
        LINDORF_CHECK(key >= previous_key,
                      "the feature order of feature " + std::to_string(f) + " is not sorted");
        LINDORF_CHECK(out < column.size(),
                      "the feature order of feature " + std::to_string(f) + " repeats rows");
        previous_key = key;
        column[out++] = {value, coded[local]};
    }
    LINDORF_CHECK(out == column.size(),
                  "the feature order of feature " + std::to_string(f) + " misses drawn rows");
}

}  // namespace

WorkingSet working_set_of_sample(MatrixView rows, std::span<const Label> labels,
                                 const FeatureOrder& order, std::span<const std::uint32_t> sample,
                                 WorkerPool* pool) {
    check_sample(rows, labels, order, sample);
    std::vector<std::uint32_t> weights;
    std::vector<std::uint32_t> local_of = number_drawn_rows(rows.n_rows, sample, weights);
    WorkingSet set;
    set.n_rows = weights.size();
    set.n_cols = rows.n_cols;
    std::vector<Label> drawn_labels(set.n_rows);
    for (std::size_t r = 0; r < rows.n_rows; ++r)
        if (local_of[r] != no_position) drawn_labels[local_of[r]] = labels[r];
    ClassIndex classes = index_classes(drawn_labels);
    set.class_labels = std::move(classes.labels);
    set.row_class.resize(set.n_rows);
    for (std::size_t l = 0; l < set.n_rows; ++l) set.row_class[l] = {classes.of[l], weights[l]};
    set.first.assign(set.n_rows, no_position);
    set.last.assign(set.n_rows, 0);
    for (std::size_t k = 0; k < sample.size(); ++k) {
        std::uint32_t local = local_of[sample[k]];
        if (set.first[local] == no_position) set.first[local] = static_cast<std::uint32_t>(k);
        set.last[local] = static_cast<std::uint32_t>(k);
    }
    std::vector<std::uint32_t> coded = code_rows(set);
    set.entries.resize(set.n_rows * set.n_cols);
    parallel_for(pool, set.n_cols,
                 [&](std::size_t f) { fill_column(set, rows, order, f, local_of, coded); });
    release_table(set);
    return set;
}

}  // namespace lindorf
