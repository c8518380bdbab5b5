// What a regression tree's split search reads besides the entries of its working set: each local
// row's targets and weight, and what a node's tally found out about its rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "criteria/compensated.hpp"
#include "criteria/median_track.hpp"
#include "criteria/regression.hpp"

namespace lindorf {

// A row as a median track takes it (criteria/median_track.hpp): its rank, units and weighted
// target, read together where the sweep meets the row.
struct RankedRow {
    double weighted = 0.0;
    std::uint64_t units = 1;
    std::uint32_t rank = 0;
};

// A count of weight units as a double. Every count stays below 2^63 (a tree's total lies below
// 2^62), where the signed conversion, a single instruction, gives the same double as the unsigned
// one, which is a branch and several; the sweeps convert counts for every row they pass.
inline double units_value(std::uint64_t units) {
    return static_cast<double>(static_cast<std::int64_t>(units));
}

// One output's target and units of a weighted row, side by side: the sweeps and tallies read both
// for every row they meet, and the rows of a deep node lie all over the set, a cache miss each.
struct TargetUnits {
    double target;
    std::uint64_t units;
};

struct RegressionRows {
    std::size_t n_outputs = 1;
    std::vector<double> targets;  // local row r's output o at r * n_outputs + o
    // Each local row's weight in whole units of `unit`. Empty when every row weighs the same:
    // then `unit` is that weight, and the search counts rows, so that scaling every weight
    // changes no choice.
    std::vector<std::uint64_t> units;
    double unit = 1.0;
    // One output and unequal weights: each local row's target and units again, together
    // (pair_targets). Empty otherwise.
    std::vector<TargetUnits> paired;
    // Absolute error: for each output, a block of the local rows in ascending target order,
    // divided between the children as the feature blocks are (n_outputs blocks of n_rows).
    std::vector<std::uint32_t> target_order;
    // Absolute error: each local row's rank among its node's targets, with what a median track
    // takes with it, output by output (laid out as `targets`), written by the node's tally.
    std::vector<RankedRow> ranked_rows;

    bool uniform() const { return units.empty(); }
    // Whether the set keeps `paired`: builders call pair_targets once targets and units are in.
    bool pairs() const { return n_outputs == 1 && !uniform(); }
    void pair_targets() {
        paired.clear();
        if (!pairs()) return;
        paired.reserve(units.size());
        for (std::size_t r = 0; r < units.size(); ++r) paired.push_back({targets[r], units[r]});
    }
    const double* targets_of(std::uint32_t local) const {
        return targets.data() + std::size_t{local} * n_outputs;
    }
    std::uint64_t units_of(std::uint32_t local) const { return uniform() ? 1 : units[local]; }
    // The weight the search scores a row with: 1 when every row weighs the same.
    double scoring_weight(std::uint32_t local) const {
        return uniform() ? 1.0 : units_value(units[local]) * unit;
    }
    double scoring_unit() const { return uniform() ? 1.0 : unit; }
    // Squared error: a row's term of output o, split at the node's grid, as every sum takes it.
    SplitParts squared_term(std::uint32_t local, std::size_t o, double centre, double grid) const {
        const double t = targets_of(local)[o] - centre;
        return split_term(uniform() ? t : scoring_weight(local) * t, grid);
    }
};

// A node's rows as its tally summed them up, per output where it says so. Weights and sums are
// scoring weights (RegressionRows::scoring_weight).
struct RegressionNode {
    Loss loss = Loss::squared_error;
    std::size_t rows = 0;
    std::uint64_t units = 0;         // the rows' units (their count, when weights are uniform)
    std::vector<std::uint8_t> constant;  // every target of the output is the same
    std::vector<double> value;       // what the node predicts: the mean, or the median
    // Squared error: the mean rounded to 24 significant bits, the grid at which the terms
    // w (y - centre) are split (criteria/compensated.hpp) and the sum of the terms' parts.
    std::vector<double> centre;
    std::vector<double> grid;
    std::vector<SplitSum> centred;
    std::vector<Sum2> sum;           // Poisson: sum of w y
    std::vector<std::uint32_t> positive;  // Poisson: rows whose target is above 0
    double impurity = 0.0;           // criteria/regression.hpp
    // Absolute error: the node's targets of each output by rank, each row's rank in each output
    // (RegressionRows::ranked_rows), and each output's track of every row.
    std::vector<RankedTargets> ranked;
    const RankedRow* ranked_rows = nullptr;
    std::span<const MedianTrack> full;

    bool all_constant() const {
        for (std::uint8_t c : constant)
            if (c == 0) return false;
        return true;
    }
};

// The mean rounded to 24 significant bits: what squared-error sums are centred on, close enough
// to the mean that sums of large targets do not cancel, and short enough that targets which are
// multiples of a power of two stay so once centred.
double centre_of(double mean);

}  // namespace lindorf
