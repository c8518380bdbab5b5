// A regression node's tally: its weight, what it predicts, its impurity and whether its targets
// are constant, by the formulas of criteria/regression.hpp, and what its split search starts
// from (regression_rows.hpp RegressionNode).
#pragma once

#include <cstdint>
#include <vector>

#include "splitting/regression_rows.hpp"
#include "splitting/scratch.hpp"
#include "splitting/working_set.hpp"

namespace lindorf {

class SideFlags;

class RegressionTally {
  public:
    explicit RegressionTally(Loss loss) : loss_(loss) {}

    // The node of the set's rows in `range`. Absolute error reads their target order and writes
    // their ranks (RegressionRows::target_order, rank_of): tallies of disjoint ranges may run at
    // once. The result is valid until the next call.
    const RegressionNode& take(const WorkingSet& set, RegressionRows& rows, NodeRange range);

    // The node of the given local rows, its sums taken in their order. Absolute error ranks them
    // by sorting and records no ranks: no split search of its starts from such a node.
    const RegressionNode& summarise(const RegressionRows& rows,
                                    std::span<const std::uint32_t> locals);

  private:
    void start(const RegressionRows& rows);
    const RegressionNode& one_row(const WorkingSet& set, const RegressionRows& rows,
                                  NodeRange range);
    void gather_rows(const WorkingSet& set, const RegressionRows& rows, NodeRange range);
    // Copies the rows' targets and units side by side, so that the passes below read them in
    // sequence rather than at random.
    void gather_targets(const RegressionRows& rows);
    void sum_up(const RegressionRows& rows);
    // Output o's targets by rank, from its rows in ascending target order; records each row's
    // rank when `ranked_rows` is given.
    void rank(const RegressionRows& rows, std::size_t o, std::span<const std::uint32_t> order,
              RankedRow* ranked_rows);
    // The impurity; for squared error also the sums of the terms w (y - centre), each split at
    // the node's grid.
    void spread(const RegressionRows& rows);

    Loss loss_;
    RegressionNode node_;
    std::vector<std::uint32_t> locals_;  // the node's local rows
    std::vector<double> ys_;              // their targets, row k's output o at k * n_outputs + o
    std::vector<std::uint64_t> us_;       // their units; empty when every row weighs the same
    // Absolute error, by output: the targets, scoring weights times targets and units by rank.
    std::vector<std::vector<double>> values_, weighted_;
    std::vector<std::vector<std::uint64_t>> units_;
    std::vector<MedianTrack> full_;
    std::vector<std::uint32_t> sorted_;
};

// Divides each output's target order of the node's rows between its children as the feature
// blocks are divided: the rows marked left in `sides` (by local row) first, both sides keeping
// their order. Nothing to do without a target order.
void partition_targets(RegressionRows& rows, std::size_t n_rows, NodeRange range,
                       const SideFlags& sides, ScratchSlots& scratch);

}  // namespace lindorf
