#include "splitting/squared_blocks.hpp"

#include <cstring>

namespace lindorf {

namespace {

// The widest vector the scores are taken in: blocks are padded to a multiple of it.
constexpr std::size_t widest = 4;

// The rows' data are read at random: asking for them this many entries ahead keeps several reads
// under way at once.
constexpr std::size_t prefetch_distance = 64;

}  // namespace

template <bool Uniform, bool Limited>
void squared_sums(SquaredRun& run, std::size_t b, std::size_t n, SquaredBlock& block) {
    // Everything the loop reads, in locals: stores to the block could otherwise alias them, and
    // they would be read again for every entry.
    const Entry* const entries = run.entries;
    const std::size_t numbers = run.numbers;
    const double* const targets = run.targets;
    const TargetUnits* const paired = run.paired;
    const unsigned shift = run.shift;
    const double centre = run.centre;
    const double magic = run.magic;
    const double unit = run.unit;
    const std::uint64_t total_units = run.total_units;
    double* const high_of = block.high;
    double* const low_of = block.low;
    std::int64_t* const units_of = block.left_units;
    std::int64_t* const ends = block.ends;
    double high = run.left.high;
    double low = run.left.low;
    std::uint64_t left_units = run.left_units;
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t i = b + j;
        if (i + prefetch_distance < numbers) {
            const std::uint32_t ahead = entries[i + prefetch_distance].row >> shift;
            if constexpr (Uniform) __builtin_prefetch(targets + ahead);
            else __builtin_prefetch(paired + ahead);
        }
        const std::uint32_t local = entries[i].row >> shift;
        double term;
        if constexpr (Uniform) {
            term = targets[local] - centre;
        } else {
            const TargetUnits row = paired[local];
            term = units_value(row.units) * unit * (row.target - centre);
            left_units += row.units;
            units_of[j] = static_cast<std::int64_t>(left_units);
        }
        const double split = (term + magic) - magic;
        high += split;
        low += term - split;
        high_of[j] = high;
        low_of[j] = low;
        bool candidate = i + 1 < numbers && entries[i + 1].value != entries[i].value;
        if constexpr (!Uniform && Limited)
            candidate = candidate && i + 1 >= run.min_rows && run.rows - (i + 1) >= run.min_rows &&
                        left_units >= run.min_units && total_units - left_units >= run.min_units;
        ends[j] = candidate ? -1 : 0;
    }
    const std::size_t padded = (n + widest - 1) / widest * widest;
    for (std::size_t j = n; j < padded; ++j) {
        high_of[j] = low_of[j] = 1.0;
        units_of[j] = 0;
        ends[j] = 0;
    }
    run.left = {high, low};
    run.left_units = left_units;
}

template void squared_sums<true, true>(SquaredRun&, std::size_t, std::size_t, SquaredBlock&);
template void squared_sums<true, false>(SquaredRun&, std::size_t, std::size_t, SquaredBlock&);
template void squared_sums<false, true>(SquaredRun&, std::size_t, std::size_t, SquaredBlock&);
template void squared_sums<false, false>(SquaredRun&, std::size_t, std::size_t, SquaredBlock&);

namespace {

using Pairs = double __attribute__((vector_size(16)));
using PairFlags = std::int64_t __attribute__((vector_size(16)));
using Quads = double __attribute__((vector_size(32)));
using QuadFlags = std::int64_t __attribute__((vector_size(32)));

// Every candidate's score, W at a time: lv = h + l and rv = (H - h) + (L - l) as SplitSum's value
// and minus take them, then (lv^2 wr + rv^2 wl) / (wl wr). Each lane keeps its best score, where
// it first met it and how often.
template <class Lanes, class Flags, bool Uniform>
[[gnu::always_inline]] inline BlockTop score_lanes(SquaredBlock& block, std::size_t b,
                                                   std::size_t n, const SquaredTotals& totals) {
    constexpr std::size_t W = sizeof(Lanes) / sizeof(double);
    Lanes total_high, total_low, all_rows, no_score, rows_left;
    for (std::size_t k = 0; k < W; ++k) {
        total_high[k] = totals.total.high;
        total_low[k] = totals.total.low;
        all_rows[k] = totals.all_rows;
        no_score[k] = BlockTop::none;
        rows_left[k] = static_cast<double>(b + 1 + k);
    }
    const double fewest = totals.fewest;
    const double most_left = totals.most_left;
    const double unit = totals.unit;
    Flags all_units;
    for (std::size_t k = 0; k < W; ++k) all_units[k] = totals.units;
    LaneBest<Lanes, Flags> best;
    const std::size_t scored = (n + W - 1) / W * W;
    for (std::size_t j = 0; j < scored; j += W) {
        Lanes h, l, wl, wr;
        Flags end;
        std::memcpy(&h, block.high + j, sizeof h);
        std::memcpy(&l, block.low + j, sizeof l);
        std::memcpy(&end, block.ends + j, sizeof end);
        if constexpr (Uniform) {
            wl = rows_left;
            wr = all_rows - rows_left;
            end &= (wl >= fewest) & (wl <= most_left);
            rows_left += static_cast<double>(W);
        } else {
            // Units as units_value converts them.
            Flags left;
            std::memcpy(&left, block.left_units + j, sizeof left);
            units_as_doubles(left, wl);
            units_as_doubles(Flags(all_units - left), wr);
            wl *= unit;
            wr *= unit;
        }
        const Lanes lv = h + l;
        const Lanes rv = (total_high - h) + (total_low - l);
        const Lanes num = lv * lv * wr + rv * rv * wl;
        const Lanes s = num / (wl * wr);
        const Lanes kept = (Lanes)(((Flags)s & end) | ((Flags)no_score & ~end));
        std::memcpy(block.score + j, &kept, sizeof kept);
        best.offer(kept);
    }
    return best.top();
}

}  // namespace

BlockTop squared_scores_narrow(SquaredBlock& block, std::size_t b, std::size_t n,
                               const SquaredTotals& totals, bool uniform) {
    return uniform ? score_lanes<Pairs, PairFlags, true>(block, b, n, totals)
                   : score_lanes<Pairs, PairFlags, false>(block, b, n, totals);
}

#if defined(__x86_64__) && defined(__GNUC__)

namespace {

// Four lanes where the processor has 256-bit registers: twice the divisions at a time on most.
[[gnu::target("avx2")]] BlockTop squared_scores_wide(SquaredBlock& block, std::size_t b,
                                                     std::size_t n, const SquaredTotals& totals,
                                                     bool uniform) {
    return uniform ? score_lanes<Quads, QuadFlags, true>(block, b, n, totals)
                   : score_lanes<Quads, QuadFlags, false>(block, b, n, totals);
}

}  // namespace

BlockTop squared_scores(SquaredBlock& block, std::size_t b, std::size_t n,
                        const SquaredTotals& totals, bool uniform) {
    if (__builtin_cpu_supports("avx2")) return squared_scores_wide(block, b, n, totals, uniform);
    return squared_scores_narrow(block, b, n, totals, uniform);
}

#else

BlockTop squared_scores(SquaredBlock& block, std::size_t b, std::size_t n,
                        const SquaredTotals& totals, bool uniform) {
    return squared_scores_narrow(block, b, n, totals, uniform);
}

#endif

}  // namespace lindorf
