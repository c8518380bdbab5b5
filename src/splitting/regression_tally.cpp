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
    if (range.size() == 1 && loss_ != Loss::absolute_error) return one_row(set, rows, range);
    gather_rows(set, rows, range);
    gather_targets(rows);
    sum_up(rows);
    if (loss_ == Loss::absolute_error) {
        if (rows.ranked_rows.size() != rows.targets.size())
            rows.ranked_rows.assign(rows.targets.size(), RankedRow{});
        // The node's rows are in the first output's target order (gather_rows).
        rank(rows, 0, locals_, rows.ranked_rows.data());
        for (std::size_t o = 1; o < rows.n_outputs; ++o) {
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
    gather_targets(rows);
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

// A node of one row, a leaf: the values and impurity the passes below would find for it, without
// them. About half the nodes of a fully grown tree are such leaves.
const RegressionNode& RegressionTally::one_row(const WorkingSet& set, const RegressionRows& rows,
                                               NodeRange range) {
    const auto local = static_cast<std::uint32_t>(
        set.n_cols == 0 ? range.begin : set.local(set.column(0, range.begin, range.end)[0].row));
    // Its target lies anywhere in the set: one record rather than two places where paired.
    node_.units = rows.pairs() ? rows.paired[local].units : rows.units_of(local);
    const double* y = rows.pairs() ? &rows.paired[local].target : rows.targets_of(local);
    for (std::size_t o = 0; o < rows.n_outputs; ++o) {
        node_.constant[o] = 1;
        node_.value[o] = y[o] + 0.0;  // a constant output predicts its value, a zero as +0
    }
    node_.impurity = 0.0;
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

void RegressionTally::gather_targets(const RegressionRows& rows) {
    constexpr std::size_t ahead = 64;
    const std::size_t n = locals_.size();
    const std::size_t n_out = rows.n_outputs;
    ys_.resize(n * n_out);
    us_.resize(rows.uniform() ? 0 : n);
    if (n_out == 1) {
        // One target a row: a plain load, not a copy of unknown length (a call per row). A
        // weighted row's units come with its target, in the one record asked for ahead.
        const double* targets = rows.targets.data();
        double* ys = ys_.data();
        if (rows.uniform()) {
            for (std::size_t k = 0; k < n; ++k) {
                if (k + ahead < n) __builtin_prefetch(targets + locals_[k + ahead]);
                ys[k] = targets[locals_[k]];
            }
            return;
        }
        LINDORF_CHECK(rows.paired.size() == rows.units.size(), "weighted targets are not paired");
        const TargetUnits* paired = rows.paired.data();
        std::uint64_t* us = us_.data();
        for (std::size_t k = 0; k < n; ++k) {
            if (k + ahead < n) __builtin_prefetch(paired + locals_[k + ahead]);
            const TargetUnits row = paired[locals_[k]];
            ys[k] = row.target;
            us[k] = row.units;
        }
        return;
    }
    for (std::size_t k = 0; k < n; ++k) {
        if (k + ahead < n) __builtin_prefetch(rows.targets_of(locals_[k + ahead]));
        const double* y = rows.targets_of(locals_[k]);
        std::copy(y, y + n_out, ys_.data() + k * n_out);
    }
    if (!rows.uniform())
        for (std::size_t k = 0; k < n; ++k) us_[k] = rows.units[locals_[k]];
}

// Weights, sums, positive targets, constant outputs, and the means. (Output by output, with the
// running figures in local variables: the compiler keeps them in registers.)
void RegressionTally::sum_up(const RegressionRows& rows) {
    const std::size_t n_out = rows.n_outputs;
    const std::size_t n = locals_.size();
    const double unit = rows.scoring_unit();
    std::uint64_t units = n;
    if (!rows.uniform()) {
        units = 0;
        for (const std::uint64_t u : us_) units += u;
    }
    node_.units = units;
    const double weight = static_cast<double>(units) * unit;
    for (std::size_t o = 0; o < n_out; ++o) {
        const double* y = ys_.data() + o;
        Sum2 sum;
        std::uint32_t positive = 0;
        double least = y[0], largest = y[0];
        for (std::size_t k = 0; k < n; ++k) {
            const double v = y[k * n_out];
            sum.add(rows.uniform() ? v : units_value(us_[k]) * unit * v);
            positive += v > 0.0;
            least = std::min(least, v);
            largest = std::max(largest, v);
        }
        node_.sum[o] = sum;
        node_.positive[o] = positive;
        node_.constant[o] = least == largest;
        // A constant output predicts its value exactly (a zero as +0).
        node_.value[o] = node_.constant[o] ? y[0] + 0.0 : sum.value() / weight;
    }
}

void RegressionTally::rank(const RegressionRows& rows, std::size_t o,
                           std::span<const std::uint32_t> order, RankedRow* ranked_rows) {
    const std::size_t n = order.size();
    const std::size_t n_out = rows.n_outputs;
    values_[o].resize(n);
    weighted_[o].resize(n);
    units_[o].resize(rows.uniform() ? 0 : n);
    // The first output's order is the node's (gather_rows): its targets are at hand.
    const bool at_hand = o == 0 && order.data() == locals_.data();
    for (std::size_t k = 0; k < n; ++k) {
        const std::uint32_t local = order[k];
        const double y = at_hand ? ys_[k * n_out] : rows.targets_of(local)[o];
        const std::uint64_t u = at_hand && !rows.uniform() ? us_[k] : rows.units_of(local);
        values_[o][k] = y;
        weighted_[o][k] = rows.uniform() ? y : units_value(u) * rows.unit * y;
        if (!rows.uniform()) units_[o][k] = u;
        if (ranked_rows != nullptr)
            ranked_rows[std::size_t{local} * n_out + o] = {weighted_[o][k], u,
                                                           static_cast<std::uint32_t>(k)};
    }
    node_.ranked[o] = {values_[o], weighted_[o], units_[o], rows.scoring_unit()};
    full_[o].start_full(node_.ranked[o]);
    if (!node_.constant[o]) node_.value[o] = full_[o].median() + 0.0;
}

void RegressionTally::spread(const RegressionRows& rows) {
    const std::size_t n_out = rows.n_outputs;
    const std::size_t n = locals_.size();
    const double unit = rows.scoring_unit();
    const bool uniform = rows.uniform();
    auto weight_of = [&](std::size_t k) {
        return uniform ? 1.0 : units_value(us_[k]) * unit;
    };
    double total = 0.0;
    for (std::size_t o = 0; o < n_out; ++o) {
        const double* y = ys_.data() + o;
        const double m = node_.value[o];
        const double centre = centre_of(m);
        node_.centre[o] = centre;
        Sum2 deviations;
        if (loss_ == Loss::squared_error) {
            // A row's term w (y - centre) as RegressionRows::squared_term takes it; the grid
            // needs only the terms' absolute sum (a split at grid 0 is the term itself).
            auto term = [&](std::size_t k) {
                const double t = y[k * n_out] - centre;
                return uniform ? t : weight_of(k) * t;
            };
            double absolute = 0.0;
            for (std::size_t k = 0; k < n; ++k) {
                absolute += std::fabs(term(k));
                const double d = y[k * n_out] - m;
                deviations.add(weight_of(k) * (d * d));
            }
            const double grid = split_grid(absolute);
            const double magic = 0x1.8p52 * grid;  // as split_term splits
            SplitSum centred;
            for (std::size_t k = 0; k < n; ++k) {
                const double t = term(k);
                const double high = (t + magic) - magic;
                centred.high += high;
                centred.low += t - high;
            }
            node_.grid[o] = grid;
            node_.centred[o] = centred;
        } else if (loss_ == Loss::absolute_error) {
            for (std::size_t k = 0; k < n; ++k)
                deviations.add(weight_of(k) * std::fabs(y[k * n_out] - m));
        } else {
            for (std::size_t k = 0; k < n; ++k)
                deviations.add(weight_of(k) * poisson_deviance_term(y[k * n_out], m));
        }
        const double weight = static_cast<double>(node_.units) * unit;
        if (!node_.constant[o]) total += deviations.value() / weight;
    }
    node_.impurity = total / static_cast<double>(n_out);
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
