#include "tree/regression_training.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "criteria/classes.hpp"
#include "support/error.hpp"
#include "tree/grow_engine.hpp"
#include "tree/node_columns.hpp"

namespace lindorf {

namespace {

double unit_for(double total) {
    int exponent = 0;
    std::frexp(total, &exponent);
    return std::ldexp(1.0, exponent - 62);
}

std::uint64_t units_of(double weight, double unit) {
    const double units = std::nearbyint(weight / unit);
    return units < 1.0 ? 1 : static_cast<std::uint64_t>(units);
}

// The rows' weights as the working set keeps them, by local row.
void weigh(RegressionRows& rows, std::span<const double> kept_weights) {
    const double first = kept_weights[0];
    const bool equal = std::all_of(kept_weights.begin(), kept_weights.end(),
                                   [&](double w) { return w == first; });
    if (equal) {
        rows.unit = first;
        return;
    }
    double total = 0.0;
    for (double w : kept_weights) total += w;
    rows.unit = unit_for(total);
    rows.units.reserve(kept_weights.size());
    for (double w : kept_weights) rows.units.push_back(units_of(w, rows.unit));
}

}  // namespace

void check_regression_data(const WeightedData& data) {
    const std::size_t n_rows = data.rows.n_rows;
    LINDORF_CHECK(data.targets.size() == n_rows * data.n_targets,
                  "cannot grow from " + std::to_string(n_rows) + " rows and " +
                      std::to_string(data.targets.size()) + " targets");
    for (double y : data.targets) LINDORF_CHECK(std::isfinite(y), "a target is not finite");
    LINDORF_CHECK(data.real_weights.empty() || data.real_weights.size() == n_rows,
                  "cannot weigh " + std::to_string(n_rows) + " rows with " +
                      std::to_string(data.real_weights.size()) + " weights");
    for (double w : data.real_weights)
        LINDORF_CHECK(w >= 0.0 && std::isfinite(w), "a weight is negative or not finite");
    LINDORF_CHECK(data.weights.empty(), "regression weights come as real weights");
    LINDORF_CHECK(n_rows < no_position,
                  std::to_string(n_rows) + " rows are more than a tree can be grown from");
}

std::vector<std::uint32_t> sort_targets(const WeightedData& data, WorkerPool* pool) {
    const std::size_t n_rows = data.rows.n_rows;
    const std::size_t n_out = data.n_targets;
    std::vector<std::uint32_t> order(n_rows * n_out);
    parallel_for(pool, n_out, [&](std::size_t o) {
        std::uint32_t* block = order.data() + o * n_rows;
        for (std::size_t r = 0; r < n_rows; ++r) block[r] = static_cast<std::uint32_t>(r);
        std::stable_sort(block, block + n_rows, [&](std::uint32_t a, std::uint32_t b) {
            return data.targets[a * n_out + o] < data.targets[b * n_out + o];
        });
    });
    return order;
}

namespace {

// The targets, weights and (for absolute error) target order of the set's local rows, local row
// k being the k-th row, in ascending order, that `count` keeps.
void attach_targets(WorkingSet& set, const WeightedData& data,
                    std::span<const std::uint32_t> count, std::span<const double> row_weights,
                    std::span<const std::uint32_t> target_order) {
    const std::size_t n_rows = data.rows.n_rows;
    const std::size_t n_out = data.n_targets;
    RegressionRows& rows = set.regression;
    rows.n_outputs = n_out;
    rows.targets.reserve(set.n_rows * n_out);
    std::vector<double> kept_weights;
    kept_weights.reserve(set.n_rows);
    std::vector<std::uint32_t> local_of(n_rows, no_position);
    for (std::size_t r = 0; r < n_rows; ++r) {
        if (count[r] == 0) continue;
        local_of[r] = static_cast<std::uint32_t>(kept_weights.size());
        kept_weights.push_back(row_weights[r]);
        rows.targets.insert(rows.targets.end(), data.targets.begin() + r * n_out,
                            data.targets.begin() + (r + 1) * n_out);
    }
    LINDORF_CHECK(kept_weights.size() == set.n_rows, "the regression rows do not match the set's");
    weigh(rows, kept_weights);
    rows.pair_targets();
    if (!target_order.empty()) {
        LINDORF_CHECK(target_order.size() == n_rows * n_out, "the target order is of other rows");
        rows.target_order.reserve(set.n_rows * n_out);
        for (std::uint32_t row : target_order)
            if (local_of[row] != no_position) rows.target_order.push_back(local_of[row]);
    }
}

}  // namespace

WorkingSet regression_working_set(const WeightedData& data, const FeatureOrder& order,
                                  std::span<const std::uint32_t> target_order,
                                  const RowDraws& draws, std::span<const double> row_weights,
                                  WorkerPool* pool) {
    const std::size_t n_rows = data.rows.n_rows;
    LINDORF_CHECK(row_weights.size() == n_rows && draws.count.size() == n_rows,
                  "the draws or weights were counted for other rows");
    RowDraws kept = draws;
    for (std::size_t r = 0; r < n_rows; ++r)
        if (!(row_weights[r] > 0.0)) kept.count[r] = 0;
    // Every row in one class: the entries carry no class, and the tie rules read the draws.
    const std::vector<Label> one_class(n_rows, 0);
    WorkingSet set = working_set_of_draws(data.rows, one_class, order, kept, pool);
    // Local rows are numbered in ascending row order (sample_set.cpp).
    attach_targets(set, data, kept.count, row_weights, target_order);
    return set;
}

Tree grow_regression(const WeightedData& data, const GrowRules& rules, WorkerPool* pool) {
    check_regression_data(data);
    const std::size_t n_rows = data.rows.n_rows;
    const std::vector<std::uint32_t> targets =
        rules.loss == Loss::absolute_error ? sort_targets(data, pool) : std::vector<std::uint32_t>{};
    std::vector<double> weights(n_rows, 1.0);
    if (!data.real_weights.empty()) weights.assign(data.real_weights.begin(), data.real_weights.end());
    const std::vector<std::uint32_t> once(n_rows, 1);
    // Nodes that search a few of many features sort those themselves below a size (absolute
    // error's keep the blocks: they divide a target order too).
    GatherSource own;
    if (rules.loss != Loss::absolute_error)
        own = sort_own_source(data.rows, rules.max_features, 1, pool);
    const SourceValues source = own.source;
    if (std::all_of(weights.begin(), weights.end(), [](double w) { return w > 0.0; })) {
        // Every row takes part, as local row r: each feature is sorted straight into the working
        // set, as a classifier's tree of unweighted rows is, instead of into a shared order that
        // a second pass filters through scattered reads. The same stable sort of the same
        // entries, so the same set (positions read as local rows where no draws are kept).
        LINDORF_CHECK(n_rows > 0, "cannot grow a tree from an empty training set");
        WorkingSet set = working_set_of_rows(
            data.rows, ClassIndex{{0}, std::vector<std::uint32_t>(n_rows, 0)}, pool);
        attach_targets(set, data, once, weights, targets);
        set.source = source;
        return grow_working_set(set, rules, 0, pool);
    }
    const FeatureOrder order = sort_features(data.rows, pool, true);
    WorkingSet set = regression_working_set(data, order, targets, draws_of_weights(once), weights,
                                            pool);
    set.source = source;
    return grow_working_set(set, rules, 0, pool);
}

}  // namespace lindorf
