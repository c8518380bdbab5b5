#include "splitting/regression_tally.hpp"

#include <algorithm>
#include <cmath>

#include "splitting/partition.hpp"
#include "support/error.hpp"

namespace lindorf {

double centre_of(double mean) {
    if (mean == 0.0 || !std::isfinite(mean)) return 0.0;
    int exponent = 0;
    const double fraction = std::frexp(mean, &exponent);
    return std::ldexp(std::nearbyint(std::ldexp(fraction, 24)), exponent - 24);
}

void RegressionTally::start(const RegressionRows& rows) {
    const std::size_t n_out = rows.n_outputs;
    node_.loss = loss_;
    node_.constant.assign(n_out, 0);
    node_.value.assign(n_out, 0.0);
    node_.centre.assign(n_out, 0.0);
    node_.grid.assign(n_out, 0.0);
    node_.centred.assign(n_out, SplitSum{});
    node_.sum.assign(n_out, Sum2{});
    node_.positive.assign(n_out, 0);
    node_.ranked_rows = nullptr;
    if (loss_ != Loss::absolute_error) return;
    values_.resize(n_out);
    weighted_.resize(n_out);
    units_.resize(n_out);
    full_.resize(n_out);
    node_.ranked.resize(n_out);
    node_.full = full_;
}

const RegressionNode& RegressionTally::take(const WorkingSet& set, RegressionRows& rows,
                                            NodeRange range) {
    LINDORF_CHECK(range.size() > 0 && range.end <= set.n_rows, "a regression node without rows");
    start(rows);
    node_.rows = range.size();
    gather_rows(set, rows, range);
    sum_up(rows);
    if (loss_ == Loss::absolute_error) {
        if (rows.ranked_rows.size() != rows.targets.size())
            rows.ranked_rows.assign(rows.targets.size(), RankedRow{});
        for (std::size_t o = 0; o < rows.n_outputs; ++o) {
            const std::uint32_t* order = rows.target_order.data() + o * set.n_rows;
            rank(rows, o, {order + range.begin, order + range.end}, rows.ranked_rows.data());
        }
        node_.ranked_rows = rows.ranked_rows.data();
    }
    spread(rows);
    return node_;
}

const RegressionNode& RegressionTally::summarise(const RegressionRows& rows,
                                                 std::span<const std::uint32_t> locals) {
    LINDORF_CHECK(!locals.empty(), "a regression node without rows");
    start(rows);
    node_.rows = locals.size();
    locals_.assign(locals.begin(), locals.end());
    sum_up(rows);
    if (loss_ == Loss::absolute_error) {
        for (std::size_t o = 0; o < rows.n_outputs; ++o) {
            sorted_ = locals_;
            std::sort(sorted_.begin(), sorted_.end(), [&](std::uint32_t a, std::uint32_t b) {
                return rows.targets_of(a)[o] < rows.targets_of(b)[o];
            });
            rank(rows, o, sorted_, nullptr);
        }
    }
    spread(rows);
    return node_;
}

// The node's local rows: from the first output's target order when the criterion keeps one,
// else from the first feature's block (a set without features has one node, of every row).
void RegressionTally::gather_rows(const WorkingSet& set, const RegressionRows& rows,
                                  NodeRange range) {
    locals_.clear();
    if (loss_ == Loss::absolute_error) {
        LINDORF_CHECK(rows.target_order.size() == rows.n_outputs * set.n_rows,
                      "absolute error needs the rows in target order");
        locals_.assign(rows.target_order.begin() + static_cast<std::ptrdiff_t>(range.begin),
                       rows.target_order.begin() + static_cast<std::ptrdiff_t>(range.end));
    } else if (set.n_cols == 0) {
        for (std::size_t r = range.begin; r < range.end; ++r)
            locals_.push_back(static_cast<std::uint32_t>(r));
    } else {
        for (const Entry& entry : set.column(0, range.begin, range.end))
            locals_.push_back(set.local(entry.row));
    }
}

// Weights, sums, positive targets, constant outputs, and the means.
void RegressionTally::sum_up(const RegressionRows& rows) {
    const std::size_t n_out = rows.n_outputs;
    std::vector<double> least(n_out), largest(n_out);
    const double* first = rows.targets_of(locals_[0]);
    for (std::size_t o = 0; o < n_out; ++o) least[o] = largest[o] = first[o];
    std::uint64_t units = 0;
    for (std::uint32_t local : locals_) {
        const double* y = rows.targets_of(local);
        const double w = rows.scoring_weight(local);
        for (std::size_t o = 0; o < n_out; ++o) {
            node_.sum[o].add(rows.uniform() ? y[o] : w * y[o]);
            node_.positive[o] += y[o] > 0.0;
            least[o] = std::min(least[o], y[o]);
            largest[o] = std::max(largest[o], y[o]);
        }
        units += rows.units_of(local);
    }
    node_.units = units;
    const double weight = static_cast<double>(units) * rows.scoring_unit();
    for (std::size_t o = 0; o < n_out; ++o) {
        node_.constant[o] = least[o] == largest[o];
        // A constant output predicts its value exactly (a zero as +0).
        node_.value[o] = node_.constant[o] ? first[o] + 0.0 : node_.sum[o].value() / weight;
    }
}

void RegressionTally::rank(const RegressionRows& rows, std::size_t o,
                           std::span<const std::uint32_t> order, RankedRow* ranked_rows) {
    const std::size_t n = order.size();
    const std::size_t n_out = rows.n_outputs;
    values_[o].resize(n);
    weighted_[o].resize(n);
    units_[o].resize(rows.uniform() ? 0 : n);
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t local = order[k];
        const double y = rows.targets_of(local)[o];
        values_[o][k] = y;
        weighted_[o][k] = rows.uniform() ? y : rows.scoring_weight(local) * y;
        if (!rows.uniform()) units_[o][k] = rows.units[local];
        if (ranked_rows != nullptr)
            ranked_rows[std::size_t{local} * n_out + o] = {weighted_[o][k], rows.units_of(local),
                                                           static_cast<std::uint32_t>(k)};
    }
    node_.ranked[o] = {values_[o], weighted_[o], units_[o], rows.scoring_unit()};
    full_[o].start_full(node_.ranked[o]);
    if (!node_.constant[o]) node_.value[o] = full_[o].median() + 0.0;
}

void RegressionTally::spread(const RegressionRows& rows) {
    const std::size_t n_out = rows.n_outputs;
    const bool squared = loss_ == Loss::squared_error;
    deviations_.assign(n_out, Sum2{});
    absolute_.assign(n_out, 0.0);
    for (std::size_t o = 0; o < n_out; ++o) node_.centre[o] = centre_of(node_.value[o]);
    for (std::uint32_t local : locals_) {
        const double* y = rows.targets_of(local);
        const double w = rows.scoring_weight(local);
        for (std::size_t o = 0; o < n_out; ++o) {
            const double m = node_.value[o];
            if (squared) {
                // The grid needs only the terms' absolute sum: a split at grid 0 is the term.
                absolute_[o] += std::fabs(rows.squared_term(local, o, node_.centre[o], 0.0).high);
                const double d = y[o] - m;
                deviations_[o].add(w * (d * d));
            } else if (loss_ == Loss::absolute_error) {
                deviations_[o].add(w * std::fabs(y[o] - m));
            } else {
                deviations_[o].add(w * poisson_deviance_term(y[o], m));
            }
        }
    }
    const double weight = static_cast<double>(node_.units) * rows.scoring_unit();
    double total = 0.0;
    for (std::size_t o = 0; o < n_out; ++o)
        if (!node_.constant[o]) total += deviations_[o].value() / weight;
    node_.impurity = total / static_cast<double>(n_out);
    if (!squared) return;
    for (std::size_t o = 0; o < n_out; ++o) node_.grid[o] = split_grid(absolute_[o]);
    for (std::uint32_t local : locals_)
        for (std::size_t o = 0; o < n_out; ++o) {
            const SplitParts split = rows.squared_term(local, o, node_.centre[o], node_.grid[o]);
            node_.centred[o].high += split.high;
            node_.centred[o].low += split.low;
        }
}

void partition_targets(RegressionRows& rows, std::size_t n_rows, NodeRange range,
                       const SideFlags& sides, ScratchSlots& scratch) {
    if (rows.target_order.empty()) return;
    auto lease = scratch.claim();
    std::vector<std::uint32_t>& right = lease->regression.held;
    for (std::size_t o = 0; o < rows.n_outputs; ++o) {
        std::uint32_t* block = rows.target_order.data() + o * n_rows;
        right.clear();
        std::size_t write = range.begin;
        for (std::size_t i = range.begin; i < range.end; ++i) {
            const std::uint32_t local = block[i];
            if (sides.left(local))
                block[write++] = local;
            else
                right.push_back(local);
        }
        std::copy(right.begin(), right.end(), block + write);
    }
}

}  // namespace lindorf
