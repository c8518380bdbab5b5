#include "splitting/gini_blocks.hpp"

#include <cstring>

namespace lindorf {

namespace {

using Pairs = double __attribute__((vector_size(16)));
using PairFlags = std::int64_t __attribute__((vector_size(16)));
using Quads = double __attribute__((vector_size(32)));
using QuadFlags = std::int64_t __attribute__((vector_size(32)));

// Every candidate's gain, W at a time, as the lean gain takes it: the four side counts and the
// two sides' units as doubles, each side's squares summed in class order, its impurity 1 less
// their share of its units squared, and the node's impurity less each side's share of the units
// times its impurity, right first.
template <class Lanes, class Flags>
[[gnu::always_inline]] inline BlockTop score_lanes(GiniBlock& block, std::size_t n,
                                                   const GiniTotals& totals) {
    constexpr std::size_t W = sizeof(Lanes) / sizeof(double);
    Flags all_units, all_ones;
    Lanes no_score, parent, weight;
    for (std::size_t k = 0; k < W; ++k) {
        all_units[k] = totals.units;
        all_ones[k] = totals.ones;
        no_score[k] = BlockTop::none;
        parent[k] = totals.impurity;
        weight[k] = static_cast<double>(totals.units);
    }
    LaneBest<Lanes, Flags> best;
    const std::size_t scored = (n + W - 1) / W * W;
    for (std::size_t j = 0; j < scored; j += W) {
        Flags units, ones, end;
        std::memcpy(&units, block.left_units + j, sizeof units);
        std::memcpy(&ones, block.left_ones + j, sizeof ones);
        std::memcpy(&end, block.ends + j, sizeof end);
        const Flags right_units = all_units - units;
        const Flags right_ones = all_ones - ones;
        Lanes l0, l1, r0, r1, left_size, right_size;
        units_as_doubles(Flags(units - ones), l0);
        units_as_doubles(ones, l1);
        units_as_doubles(Flags(right_units - right_ones), r0);
        units_as_doubles(right_ones, r1);
        units_as_doubles(units, left_size);
        units_as_doubles(right_units, right_size);
        const Lanes left_squares = l0 * l0 + l1 * l1;
        const Lanes right_squares = r0 * r0 + r1 * r1;
        const Lanes left_impurity = 1.0 - left_squares / (left_size * left_size);
        const Lanes right_impurity = 1.0 - right_squares / (right_size * right_size);
        const Lanes gain = parent - right_size / weight * right_impurity -
                           left_size / weight * left_impurity;
        const Lanes kept = (Lanes)(((Flags)gain & end) | ((Flags)no_score & ~end));
        std::memcpy(block.score + j, &kept, sizeof kept);
        best.offer(kept);
    }
    return best.top();
}

}  // namespace

BlockTop gini_scores_narrow(GiniBlock& block, std::size_t n, const GiniTotals& totals) {
    return score_lanes<Pairs, PairFlags>(block, n, totals);
}

#if defined(__x86_64__) && defined(__GNUC__)

namespace {

// Four lanes where the processor has 256-bit registers: twice the divisions at a time on most.
[[gnu::target("avx2")]] BlockTop gini_scores_wide(GiniBlock& block, std::size_t n,
                                                 const GiniTotals& totals) {
    return score_lanes<Quads, QuadFlags>(block, n, totals);
}

}  // namespace

BlockTop gini_scores(GiniBlock& block, std::size_t n, const GiniTotals& totals) {
    if (__builtin_cpu_supports("avx2")) return gini_scores_wide(block, n, totals);
    return gini_scores_narrow(block, n, totals);
}

#else

BlockTop gini_scores(GiniBlock& block, std::size_t n, const GiniTotals& totals) {
    return gini_scores_narrow(block, n, totals);
}

#endif

}  // namespace lindorf
