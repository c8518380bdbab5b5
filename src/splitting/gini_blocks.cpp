#include "splitting/gini_blocks.hpp"

#include <cstring>

namespace lindorf {

namespace {

using Pairs = double __attribute__((vector_size(16)));
using PairFlags = std::int64_t __attribute__((vector_size(16)));
using PairBits = std::uint64_t __attribute__((vector_size(16)));
using Quads = double __attribute__((vector_size(32)));
using QuadFlags = std::int64_t __attribute__((vector_size(32)));
using QuadBits = std::uint64_t __attribute__((vector_size(32)));

// Every candidate's gain, W at a time, as the lean gain takes it: the four side counts and the
// two sides' units as doubles, each side's squares summed in class order, its impurity 1 less
// their share of its units squared, and the node's impurity less each side's share of the units
// times its impurity, right first. Each lane keeps its best score, where it first met it and how
// often; the block's best is unique when one lane met it once.
template <class Lanes, class Flags, class Bits>
[[gnu::always_inline]] inline GiniTop score_lanes(GiniBlock& block, std::size_t n,
                                                  const GiniTotals& totals) {
    constexpr std::size_t W = sizeof(Lanes) / sizeof(double);
    Flags all_units, all_ones, index, one;
    Lanes no_score, parent, weight;
    Bits upper_offset, lower_offset, lower_half;
    Lanes both_offsets;
    for (std::size_t k = 0; k < W; ++k) {
        all_units[k] = totals.units;
        all_ones[k] = totals.ones;
        index[k] = static_cast<std::int64_t>(k);
        one[k] = 1;
        no_score[k] = GiniTop::none;
        parent[k] = totals.impurity;
        weight[k] = static_cast<double>(totals.units);
        upper_offset[k] = 0x4530000000000000;  // 2^84
        lower_offset[k] = 0x4330000000000000;  // 2^52
        lower_half[k] = 0xFFFFFFFF;
        both_offsets[k] = 0x1.00000001p84;     // 2^84 + 2^52
    }
    Lanes most = no_score;
    Flags first = {};
    Flags count = {};
    const std::size_t scored = (n + W - 1) / W * W;
    for (std::size_t j = 0; j < scored; j += W) {
        Flags units, ones, end;
        std::memcpy(&units, block.left_units + j, sizeof units);
        std::memcpy(&ones, block.left_ones + j, sizeof ones);
        std::memcpy(&end, block.ends + j, sizeof end);
        const Flags right_units = all_units - units;
        const Flags right_ones = all_ones - ones;
        // Left and right of class slots 0 and 1, and the sides' units, as doubles rounded to
        // nearest as a conversion instruction rounds them, which few vector instruction sets
        // have: for counts below 2^63, the upper half scaled and offset by 2^84 + 2^52 and the
        // lower half offset by 2^52 are exact doubles, so is their difference less the offsets,
        // and their sum rounds once.
        const Flags counts[6] = {units - ones, ones, right_units - right_ones, right_ones, units,
                                 right_units};
        Lanes as_doubles[6];
        for (int k = 0; k < 6; ++k) {
            const Bits bits = (Bits)counts[k];
            const Lanes upper = (Lanes)((bits >> 32) | upper_offset) - both_offsets;
            as_doubles[k] = upper + (Lanes)((bits & lower_half) | lower_offset);
        }
        const Lanes l0 = as_doubles[0], l1 = as_doubles[1], r0 = as_doubles[2],
                    r1 = as_doubles[3], left_size = as_doubles[4], right_size = as_doubles[5];
        const Lanes left_squares = l0 * l0 + l1 * l1;
        const Lanes right_squares = r0 * r0 + r1 * r1;
        const Lanes left_impurity = 1.0 - left_squares / (left_size * left_size);
        const Lanes right_impurity = 1.0 - right_squares / (right_size * right_size);
        const Lanes gain = parent - right_size / weight * right_impurity -
                           left_size / weight * left_impurity;
        const Lanes kept = (Lanes)(((Flags)gain & end) | ((Flags)no_score & ~end));
        std::memcpy(block.score + j, &kept, sizeof kept);
        const Flags above = kept > most;  // never for NaN
        const Flags equal = kept == most;
        most = (Lanes)(((Flags)kept & above) | ((Flags)most & ~above));
        first = (index & above) | (first & ~above);
        count = (one & above) | ((count - equal) & ~above);  // a true comparison is -1
        index += static_cast<std::int64_t>(W);
    }
    GiniTop out;
    for (std::size_t k = 0; k < W; ++k)
        if (most[k] > out.top) out.top = most[k];
    if (out.top == GiniTop::none) return out;
    std::int64_t reached = 0;
    for (std::size_t k = 0; k < W; ++k) {
        if (most[k] != out.top) continue;
        reached += count[k];
        out.at = static_cast<std::size_t>(first[k]);
    }
    out.unique = reached == 1;
    return out;
}

}  // namespace

GiniTop gini_scores_narrow(GiniBlock& block, std::size_t n, const GiniTotals& totals) {
    return score_lanes<Pairs, PairFlags, PairBits>(block, n, totals);
}

#if defined(__x86_64__) && defined(__GNUC__)

namespace {

// Four lanes where the processor has 256-bit registers: twice the divisions at a time on most.
[[gnu::target("avx2")]] GiniTop gini_scores_wide(GiniBlock& block, std::size_t n,
                                                 const GiniTotals& totals) {
    return score_lanes<Quads, QuadFlags, QuadBits>(block, n, totals);
}

}  // namespace

GiniTop gini_scores(GiniBlock& block, std::size_t n, const GiniTotals& totals) {
    if (__builtin_cpu_supports("avx2")) return gini_scores_wide(block, n, totals);
    return gini_scores_narrow(block, n, totals);
}

#else

GiniTop gini_scores(GiniBlock& block, std::size_t n, const GiniTotals& totals) {
    return gini_scores_narrow(block, n, totals);
}

#endif

}  // namespace lindorf
