// The two halves of the single-output squared-error sweep (regression_sweep.cpp), one block of a
// feature's entries at a time: the running sums of the rows left of each entry, then every
// candidate's score and the block's best. Each half is a function of its own, so that its loop
// keeps what it reads in registers; the scores go through vector registers, as wide as the
// processor has (the same arithmetic lane by lane at any width, so the same scores bit for bit).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "criteria/compensated.hpp"
#include "splitting/lane_best.hpp"
#include "splitting/regression_rows.hpp"
#include "splitting/working_set.hpp"

namespace lindorf {

// After entry j of the block: the left side's sums and, with weights, its units;
// whether a candidate's left side ends there (all bits set) or not (0); that candidate's score.
// The arrays run past `size` to the widest vector's end: the entries beyond a block's count are
// scored as no candidate.
struct SquaredBlock {
    static constexpr std::size_t size = 256;
    static constexpr std::size_t room = size + 8;
    alignas(64) double high[room];
    alignas(64) double low[room];
    alignas(64) std::int64_t left_units[room];
    alignas(64) double score[room];
    alignas(64) std::int64_t ends[room];
};

// What the running sums of a feature read and keep from block to block.
struct SquaredRun {
    const Entry* entries = nullptr;
    std::size_t numbers = 0;  // entries with a number, the NaN rows after them
    const double* targets = nullptr;
    const TargetUnits* paired = nullptr;
    unsigned shift = 0;  // a coded row's local row
    double centre = 0.0;
    double magic = 0.0;  // as split_term splits at the node's grid
    double unit = 1.0;   // a unit's weight (RegressionRows::unit)
    std::uint64_t total_units = 0;
    std::size_t min_rows = 1;     // checked only where `Limited`
    std::uint64_t min_units = 0;  // likewise
    std::size_t rows = 0;         // the node's rows, likewise
    SplitSum left;                // of the rows before the block
    std::uint64_t left_units = 0;
};

// Fills `block` for entries [b, b + n) and moves `run` past them. `Limited`: a weighted
// candidate must leave at least the least rows and units on each side. (With equal weights the
// scoring asks that itself.)
template <bool Uniform, bool Limited>
void squared_sums(SquaredRun& run, std::size_t b, std::size_t n, SquaredBlock& block);

// What the scoring compares the candidates' sums with.
struct SquaredTotals {
    SplitSum total;          // the node's centred sums
    std::int64_t units = 0;  // with weights: the node's units
    double unit = 1.0;       // with weights: a unit's scoring weight
    double all_rows = 0.0;   // equal weights: the node's row count
    double fewest = 0.0;     // equal weights: the least rows left on a side
    double most_left = 0.0;  // equal weights: the most rows left on the left
};

// Scores the first n entries' candidates of a block whose first entry is b (into block.score)
// and finds their best.
BlockTop squared_scores(SquaredBlock& block, std::size_t b, std::size_t n,
                        const SquaredTotals& totals, bool uniform);

// The same at the narrowest vector width, whatever the processor has: what the wider ones must
// match.
BlockTop squared_scores_narrow(SquaredBlock& block, std::size_t b, std::size_t n,
                               const SquaredTotals& totals, bool uniform);

}  // namespace lindorf
