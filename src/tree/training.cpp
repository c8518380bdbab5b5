#include "tree/training.hpp"

#include <cmath>
#include <numeric>
#include <string>

#include "support/error.hpp"
#include "tree/grow_engine.hpp"
#include "tree/node_columns.hpp"
#include "tree/regression_training.hpp"

namespace lindorf {

namespace {

constexpr std::uint64_t exact_limit = 0xFFFFFFFFu;

// The first output's labels, by row.
std::vector<Label> first_output(const WeightedData& data) {
    const std::size_t n_outputs = data.n_outputs();
    std::vector<Label> out(data.rows.n_rows);
    for (std::size_t r = 0; r < out.size(); ++r) out[r] = data.labels[r * n_outputs];
    return out;
}

// The unit at which `total` lies in [2^61, 2^62).
double unit_for(double total) {
    int exponent = 0;
    std::frexp(total, &exponent);  // total = m * 2^exponent, m in [0.5, 1)
    return std::ldexp(1.0, exponent - 62);
}

std::uint64_t units_of(double weight, double unit) {
    const double units = std::nearbyint(weight / unit);
    return units < 1.0 ? 1 : static_cast<std::uint64_t>(units);
}

}  // namespace

void check_weighted_data(const WeightedData& data) {
    const std::size_t n_rows = data.rows.n_rows;
    if (data.regression()) return check_regression_data(data);
    const std::vector<std::uint32_t> classes = data.classes_per_output();
    LINDORF_CHECK(data.labels.size() == n_rows * classes.size(),
                  "cannot grow from " + std::to_string(n_rows) + " rows and " +
                      std::to_string(data.labels.size()) + " labels");
    LINDORF_CHECK(data.weights.empty() || data.weights.size() == n_rows,
                  "cannot weigh " + std::to_string(n_rows) + " rows with " +
                      std::to_string(data.weights.size()) + " weights");
    LINDORF_CHECK(data.real_weights.empty() || data.real_weights.size() == n_rows,
                  "cannot weigh " + std::to_string(n_rows) + " rows with " +
                      std::to_string(data.real_weights.size()) + " weights");
    LINDORF_CHECK(data.output_classes.empty() || data.output_classes[0] == data.n_classes,
                  "the first output's class count is given twice, differently");
    for (std::size_t k = 0; k < data.labels.size(); ++k)
        LINDORF_CHECK(data.labels[k] < classes[k % classes.size()],
                      "label " + std::to_string(data.labels[k]) + " is not a class index below " +
                          std::to_string(classes[k % classes.size()]));
    for (double w : data.real_weights)
        LINDORF_CHECK(w >= 0.0 && std::isfinite(w), "a weight is negative or not finite");
    LINDORF_CHECK(n_rows < no_position,
                  std::to_string(n_rows) + " rows are more than a tree can be grown from");
}

bool exact_rules(const WeightedData& data, const GrowRules& rules) {
    return data.n_outputs() == 1 && rules.splitter == Splitter::best &&
           rules.nan_side == NanSide::right && rules.monotonic.empty();
}

namespace {

// The draws of the rows of positive weight, and their total weight.
std::pair<RowDraws, double> kept_draws(const RowDraws& draws, std::span<const double> row_weights) {
    const std::size_t n_rows = draws.count.size();
    LINDORF_CHECK(row_weights.size() == n_rows, "the draws or weights were counted for other rows");
    // Rows of weight 0 leave the list; the others keep their draw positions.
    RowDraws kept = draws;
    double total = 0.0;
    for (std::size_t r = 0; r < n_rows; ++r) {
        if (!(row_weights[r] > 0.0)) kept.count[r] = 0;
        if (kept.count[r] != 0) total += row_weights[r];
    }
    LINDORF_CHECK(total > 0.0, "cannot grow a tree from an empty training set");
    return {std::move(kept), total};
}

// Fills GeneralRows::by_code when the low bits of the rows' codes settle their units.
void tabulate_units_by_code(WorkingSet& set) {
    GeneralRows& general = set.general;
    const unsigned shift = set.coding.row_shift();
    if (general.n_outputs != 1 || !set.coding.packed || shift > 8) return;
    const std::span<const Entry> rows =
        set.entries.empty() ? std::span<const Entry>(set.node_rows) : set.column(0, 0, set.n_rows);
    if (rows.size() != set.n_rows) return;
    const std::uint32_t low = (std::uint32_t{1} << shift) - 1;
    // Every row weighs at least a unit: 0 marks bits no row has shown yet.
    std::vector<std::uint64_t> table(std::size_t{1} << shift, 0);
    for (const Entry& entry : rows) {
        const std::uint64_t units = general.units[entry.row >> shift];
        std::uint64_t& by_code = table[entry.row & low];
        if (by_code != 0 && by_code != units) return;
        by_code = units;
    }
    general.by_code = std::move(table);
}

// Builds the set of `kept` with build(labels, kept), then weighs its rows in units. The builds
// leave out the count table: only the exact path's entropy search reads it, and it would cost a
// logarithm per unit of weight for every tree.
template <class Build>
WorkingSet weighed_set(const WeightedData& data, const RowDraws& draws,
                       std::span<const double> row_weights, Build&& build) {
    const std::size_t n_rows = data.rows.n_rows;
    LINDORF_CHECK(draws.count.size() == n_rows, "the draws or weights were counted for other rows");
    auto [kept, total] = kept_draws(draws, row_weights);
    const std::size_t n_outputs = data.n_outputs();
    WorkingSet set;
    if (n_outputs == 1) {
        set = build(data.labels, kept);
    } else {
        const std::vector<Label> first = first_output(data);
        set = build(std::span<const Label>(first), kept);
    }
    GeneralRows& general = set.general;
    general.unit = unit_for(total);
    general.n_outputs = n_outputs;
    general.units.reserve(set.n_rows);
    std::vector<std::uint32_t> offsets(n_outputs + 1, 0);
    const std::vector<std::uint32_t> classes = data.classes_per_output();
    for (std::size_t o = 0; o < n_outputs; ++o) offsets[o + 1] = offsets[o] + classes[o];
    if (n_outputs > 1) {
        general.output_offset = offsets;
        general.classes.reserve(set.n_rows * n_outputs);
    }
    // Local rows are numbered in ascending row order (sample_set.cpp).
    for (std::size_t r = 0; r < n_rows; ++r) {
        if (kept.count[r] == 0) continue;
        general.units.push_back(units_of(row_weights[r], general.unit));
        if (n_outputs > 1)
            for (std::size_t o = 0; o < n_outputs; ++o)
                general.classes.push_back(offsets[o] + data.labels[r * n_outputs + o]);
    }
    LINDORF_CHECK(general.units.size() == set.n_rows, "the general rows do not match the set's");
    tabulate_units_by_code(set);
    return set;
}

}  // namespace

WorkingSet general_working_set(const WeightedData& data, const FeatureOrder& order,
                               const RowDraws& draws, std::span<const double> row_weights,
                               WorkerPool* pool) {
    return weighed_set(data, draws, row_weights,
                       [&](std::span<const Label> labels, const RowDraws& kept) {
                           return working_set_of_draws(data.rows, labels, order, kept, pool,
                                                       false);
                       });
}

WorkingSet general_working_set(const WeightedData& data, SourceValues source,
                               const RowDraws& draws, std::span<const double> row_weights) {
    WorkingSet set = weighed_set(data, draws, row_weights,
                                 [&](std::span<const Label> labels, const RowDraws& kept) {
                                     return working_set_of_draws(data.rows, labels, kept, source,
                                                                 false);
                                 });
    // Every row kept: local rows are the source's, and gathers look up one array fewer.
    if (set.n_rows == data.rows.n_rows) set.source_of.clear();
    return set;
}

bool random_thresholds(const WeightedData& data, const GrowRules& rules) {
    return !data.regression() && rules.splitter == Splitter::random && data.rows.n_cols > 0;
}

Tree grow_weighted(const WeightedData& data, const GrowRules& rules, WorkerPool* pool) {
    check_weighted_data(data);
    if (data.regression()) return grow_regression(data, rules, pool);
    const std::size_t n_rows = data.rows.n_rows;
    if (exact_rules(data, rules) && data.real_weights.empty()) {
        std::uint64_t total = data.weights.empty() ? n_rows : 0;
        for (std::uint32_t w : data.weights) total += w;
        if (total < exact_limit) return grow_tree(data.rows, data.labels, data.weights, rules, pool);
    }
    // Each row once, in row order; its weight is its own.
    std::vector<double> weights(n_rows, 1.0);
    for (std::size_t r = 0; r < n_rows; ++r) {
        if (!data.real_weights.empty()) weights[r] = data.real_weights[r];
        if (!data.weights.empty()) weights[r] = data.weights[r];
    }
    RowDraws draws = draws_of_weights(std::vector<std::uint32_t>(n_rows, 1));
    if (random_thresholds(data, rules)) {
        const GatherSource gather = random_cut_source(data.rows, rules.max_features, pool);
        WorkingSet set = general_working_set(data, gather.source, draws, weights);
        set.dense = gather.dense;
        return grow_working_set(set, rules, 0, pool);
    }
    // Nodes that search a few of many features sort those themselves, as on the exact path.
    const GatherSource own = sort_own_source(data.rows, rules.max_features, 1, pool);
    if (own.source.data != nullptr &&
        sorts_on_demand(data.rows.n_cols, rules.max_features, n_rows)) {
        WorkingSet set = general_working_set(data, own.source, draws, weights);
        return grow_working_set(set, rules, 0, pool);
    }
    const FeatureOrder order = sort_features(data.rows, pool, true);
    WorkingSet set = general_working_set(data, order, draws, weights, pool);
    set.source = own.source;
    return grow_working_set(set, rules, 0, pool);
}

}  // namespace lindorf
