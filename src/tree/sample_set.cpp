// Working sets of training lists drawn from a data set (bootstrap samples, weighted rows),
// filtered out of the shared per-feature order instead of sorted afresh for every tree.
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "criteria/classes.hpp"
#include "splitting/sort_columns.hpp"
#include "support/error.hpp"
#include "tree/grow_engine.hpp"

namespace lindorf {

namespace {

void check_draws(MatrixView rows, std::span<const Label> labels, const FeatureOrder& order,
                 const RowDraws& draws) {
    LINDORF_CHECK(labels.size() == rows.n_rows, "cannot grow a tree from " +
                                                    std::to_string(rows.n_rows) + " rows and " +
                                                    std::to_string(labels.size()) + " labels");
    LINDORF_CHECK(order.n_rows == rows.n_rows && order.n_cols == rows.n_cols &&
                      order.rows.size() == rows.n_rows * rows.n_cols,
                  "the feature order was computed for other rows");
    LINDORF_CHECK(order.values.empty() || order.values.size() == order.rows.size(),
                  "the feature order's values do not match its rows");
    LINDORF_CHECK(draws.count.size() == rows.n_rows && draws.first.size() == rows.n_rows &&
                      draws.last.size() == rows.n_rows,
                  "the draws were counted for other rows");
}

// Local ids are handed out in ascending row order; rows not in the list keep no_position.
std::vector<std::uint32_t> number_drawn_rows(const RowDraws& draws) {
    std::vector<std::uint32_t> local_of(draws.count.size(), no_position);
    std::uint32_t next = 0;
    for (std::size_t r = 0; r < draws.count.size(); ++r)
        if (draws.count[r] != 0) local_of[r] = next++;
    LINDORF_CHECK(next > 0, "cannot grow a tree from an empty training set");
    return local_of;
}

// Filters feature f's shared order down to the drawn rows. `coded_of` holds each row's coded
// local row, or no_position when it was not drawn: one look-up per row. About a third of the
// rows are left out at random, so whether one is kept is no branch: every entry is written, and
// the cursor moves past it only when it is kept (a slot past the block's end takes the last
// write of a row left out). The order's checks (sorted, no row twice) are answered once, after
// the loop: asked entry by entry, they were branches on whether the row is kept, which the
// processor guesses wrong a third of the time.
void fill_column(WorkingSet& set, MatrixView rows, const FeatureOrder& order, std::size_t f,
                 const std::vector<std::uint32_t>& coded_of) {
    std::span<Entry> column = set.column(f, 0, set.n_rows);
    std::span<const std::uint32_t> sorted = order.feature(f);
    const float* values = order.values.empty() ? nullptr : order.values.data() + f * order.n_rows;
    const std::uint32_t* coded = coded_of.data();
    Entry* const out = column.data();
    const std::size_t size = column.size();
    Entry spare;
    std::size_t kept = 0;
    std::uint32_t previous_key = 0;
    bool descends = false;
    // The rows come in value order, so their look-ups land all over the table: asking for them
    // ahead keeps several under way at once.
    constexpr std::size_t ahead = 32;
    for (std::size_t k = 0; k < sorted.size(); ++k) {
        if (k + ahead < sorted.size()) __builtin_prefetch(coded + sorted[k + ahead]);
        const std::uint32_t row = sorted[k];
        const std::uint32_t code = coded[row];
        const float value = values != nullptr ? values[k] : rows.at(row, f);
        const std::uint32_t keep = code != no_position;
        const std::uint32_t key = sort_key(value);
        const std::uint32_t kept_mask = 0u - keep;
        descends |= (key < previous_key) & (keep != 0);
        previous_key = (key & kept_mask) | (previous_key & ~kept_mask);
        *(kept < size ? out + kept : &spare) = {value, code};
        kept += keep;
    }
    LINDORF_CHECK(!descends,
                  "the feature order of feature " + std::to_string(f) + " is not sorted");
    LINDORF_CHECK(kept <= size,
                  "the feature order of feature " + std::to_string(f) + " repeats rows");
    LINDORF_CHECK(kept == size,
                  "the feature order of feature " + std::to_string(f) + " misses drawn rows");
}

}  // namespace

RowDraws draws_of_sample(std::size_t n_rows, std::span<const std::uint32_t> sample) {
    LINDORF_CHECK(sample.size() < no_position, "a sample of " + std::to_string(sample.size()) +
                                                   " draws is more than a tree can be grown from");
    RowDraws draws{std::vector<std::uint32_t>(n_rows, 0),
                   std::vector<std::uint32_t>(n_rows, no_position),
                   std::vector<std::uint32_t>(n_rows, 0)};
    for (std::size_t k = 0; k < sample.size(); ++k) {
        std::uint32_t row = sample[k];
        LINDORF_CHECK(row < n_rows, "sample row " + std::to_string(row) + " is beyond the " +
                                        std::to_string(n_rows) + " rows");
        if (draws.count[row]++ == 0) draws.first[row] = static_cast<std::uint32_t>(k);
        draws.last[row] = static_cast<std::uint32_t>(k);
    }
    return draws;
}

RowDraws draws_of_weights(std::span<const std::uint32_t> weights) {
    RowDraws draws{std::vector<std::uint32_t>(weights.begin(), weights.end()),
                   std::vector<std::uint32_t>(weights.size(), no_position),
                   std::vector<std::uint32_t>(weights.size(), 0)};
    std::uint64_t position = 0;
    for (std::size_t r = 0; r < weights.size(); ++r) {
        if (weights[r] == 0) continue;
        draws.first[r] = static_cast<std::uint32_t>(position);
        position += weights[r];
        draws.last[r] = static_cast<std::uint32_t>(position - 1);
        // Positions must stay below no_position, which marks rows that are not in the list.
        LINDORF_CHECK(position < no_position,
                      "a total weight of " + std::to_string(position) + " or more is too large");
    }
    return draws;
}

namespace {

// The working set's rows, classes and coding, without any feature's entries; the coded row of
// each local row.
std::vector<std::uint32_t> number_rows(WorkingSet& set, MatrixView rows,
                                       std::span<const Label> labels, const RowDraws& draws,
                                       const std::vector<std::uint32_t>& local_of) {
    set.n_cols = rows.n_cols;
    std::vector<Label> drawn_labels;
    for (std::size_t r = 0; r < rows.n_rows; ++r) {
        if (local_of[r] == no_position) continue;
        drawn_labels.push_back(labels[r]);
        set.first.push_back(draws.first[r]);
        set.last.push_back(draws.last[r]);
        set.source_of.push_back(static_cast<std::uint32_t>(r));
    }
    set.n_rows = drawn_labels.size();
    ClassIndex classes = index_classes(drawn_labels);
    set.class_labels = std::move(classes.labels);
    set.row_class.resize(set.n_rows);
    for (std::size_t r = 0; r < rows.n_rows; ++r) {
        std::uint32_t local = local_of[r];
        if (local != no_position) set.row_class[local] = {classes.of[local], draws.count[r]};
    }
    return code_rows(set);
}

}  // namespace

WorkingSet working_set_of_draws(MatrixView rows, std::span<const Label> labels,
                                const FeatureOrder& order, const RowDraws& draws,
                                WorkerPool* pool, bool count_table) {
    check_draws(rows, labels, order, draws);
    std::vector<std::uint32_t> local_of = number_drawn_rows(draws);
    WorkingSet set;
    const std::vector<std::uint32_t> coded = number_rows(set, rows, labels, draws, local_of);
    std::vector<std::uint32_t>& coded_of = local_of;
    for (std::uint32_t& local : coded_of)
        if (local != no_position) local = coded[local];
    set.entries.resize(set.n_rows * set.n_cols);
    parallel_for(pool, set.n_cols,
                 [&](std::size_t f) { fill_column(set, rows, order, f, coded_of); });
    release_table(set, count_table);
    return set;
}

WorkingSet working_set_of_draws(MatrixView rows, std::span<const Label> labels,
                                const RowDraws& draws, SourceValues source, bool count_table) {
    LINDORF_CHECK(labels.size() == rows.n_rows,
                  "cannot grow a tree from " + std::to_string(rows.n_rows) + " rows and " +
                      std::to_string(labels.size()) + " labels");
    LINDORF_CHECK(draws.count.size() == rows.n_rows && draws.first.size() == rows.n_rows &&
                      draws.last.size() == rows.n_rows,
                  "the draws were counted for other rows");
    std::vector<std::uint32_t> local_of = number_drawn_rows(draws);
    WorkingSet set;
    std::vector<std::uint32_t> coded = number_rows(set, rows, labels, draws, local_of);
    set.node_rows.resize(set.n_rows);
    for (std::size_t r = 0; r < set.n_rows; ++r) set.node_rows[r] = {0.0f, coded[r]};
    set.source = source;
    release_table(set, count_table);
    return set;
}

WorkingSet working_set_of_sample(MatrixView rows, std::span<const Label> labels,
                                 const FeatureOrder& order, std::span<const std::uint32_t> sample,
                                 WorkerPool* pool) {
    LINDORF_CHECK(!sample.empty(), "cannot grow a tree from an empty training set");
    return working_set_of_draws(rows, labels, order, draws_of_sample(rows.n_rows, sample), pool);
}

}  // namespace lindorf
