// The scores of the general path's sweep over rows of two classes, one output's Gini with NaN
// right, one block of a feature's entries at a time: the sweep (general_sweep.cpp) writes the
// left side's units after each entry, these score every candidate in vector registers, as wide as
// the processor has. Each lane does the lean gain's operations in its order (general_sweep.cpp,
// Scorer::gini_gain), so every score is the same double bit for bit at any width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "splitting/lane_best.hpp"

namespace lindorf {

// After entry j of the block: the left side's units and those of class slot 1 among them, and
// whether a candidate within the rules ends there (all bits set) or not (0); that candidate's
// score (minus infinity for none). The entries past a block's count, to the next multiple of the
// widest vector, are to be set to no candidate.
struct GiniBlock {
    static constexpr std::size_t size = 256;
    static constexpr std::size_t widest = 4;  // doubles
    static constexpr std::size_t room = size + widest;
    alignas(64) std::int64_t left_units[room];
    alignas(64) std::int64_t left_ones[room];
    alignas(64) std::int64_t ends[room];
    alignas(64) double score[room];
};

// The node's units in all and of class slot 1 (both below 2^63), its impurity.
struct GiniTotals {
    std::int64_t units = 0;
    std::int64_t ones = 0;
    double impurity = 0.0;
};

// Scores the first n entries' candidates of a block (into block.score) and finds their best.
BlockTop gini_scores(GiniBlock& block, std::size_t n, const GiniTotals& totals);

// The same at the narrowest vector width, whatever the processor has: what the wider ones must
// match.
BlockTop gini_scores_narrow(GiniBlock& block, std::size_t n, const GiniTotals& totals);

}  // namespace lindorf
