#include "splitting/general_sweep.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "splitting/column_rules.hpp"
#include "splitting/gini_blocks.hpp"
#include "support/error.hpp"

namespace lindorf {

std::size_t class_slots(const WorkingSet& set) {
    if (set.general.n_outputs > 1) return set.general.output_offset.back();
    return std::max<std::size_t>(set.class_labels.size(), 1);
}

namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();

// One candidate's left side: the rows before it, and the NaN rows when they go left.
struct Left {
    const std::uint64_t* before;  // by slot
    const std::uint64_t* nan;     // by slot; null while the NaN rows go right
    std::uint64_t units;
    std::size_t rows;

    std::uint64_t count(std::uint32_t slot) const {
        return before[slot] + (nan != nullptr ? nan[slot] : 0);
    }
};

// What a candidate must satisfy, and its score.
struct Scorer {
    const GeneralNode& node;
    const GeneralRules& rules;
    std::size_t n_rows;
    std::int8_t constraint;  // of the feature: 1, -1 or 0

    bool allowed(const Left& left) const {
        const std::uint64_t right_units = node.total - left.units;
        // An empty side never scores above 0: both sides keep a row.
        return left.rows > 0 && left.rows < n_rows && left.rows >= rules.min_leaf_rows &&
               n_rows - left.rows >= rules.min_leaf_rows && left.units >= rules.min_leaf_units &&
               right_units >= rules.min_leaf_units && monotone(left);
    }

    // The shares of class index 0 on each side: inside the node's bounds, and ordered as the
    // constraint on the share of class index 1 asks, reversed.
    bool monotone(const Left& left) const {
        if (constraint == 0) return true;
        const Monotonic& m = rules.monotonic;
        const bool has_zero = m.zero_slot != 0xFFFFFFFFu;
        const double left_zero = has_zero ? static_cast<double>(left.count(m.zero_slot)) : 0.0;
        const double node_zero = has_zero ? static_cast<double>(node.counts[m.zero_slot]) : 0.0;
        const double value_left = left_zero / static_cast<double>(left.units);
        const double value_right =
            (node_zero - left_zero) / static_cast<double>(node.total - left.units);
        return value_left >= m.lower && value_right >= m.lower && value_left <= m.upper &&
               value_right <= m.upper && (value_left - value_right) * -constraint <= 0.0;
    }

    // The gain of one output's Gini impurity with the NaN rows right: gain()'s arithmetic, step
    // for step (ImpuritySum adds its one output's impurity to 0.0 and divides it by 1), without
    // its general loops, for the sweeps of a forest's weighted trees.
    double gini_gain(const Left& left) const {
        const std::uint64_t right_units = node.total - left.units;
        double left_squares = 0.0, right_squares = 0.0;
        for (const std::uint32_t s : node.present) {
            const double l = static_cast<double>(left.before[s]);
            const double r = static_cast<double>(node.counts[s] - left.before[s]);
            left_squares += l * l;
            right_squares += r * r;
        }
        const double left_size = static_cast<double>(left.units);
        const double right_size = static_cast<double>(right_units);
        const double left_impurity =
            left.units == 0 ? 0.0 : 0.0 + (1.0 - left_squares / (left_size * left_size));
        const double right_impurity =
            right_units == 0 ? 0.0 : 0.0 + (1.0 - right_squares / (right_size * right_size));
        return split_gain(node.impurity, left_impurity, left_size, right_impurity, right_size,
                          static_cast<double>(node.total));
    }

    double gain(const Left& left) const {
        const std::uint64_t right_units = node.total - left.units;
        const double left_impurity = general_impurity(
            node, rules.impurity, left.units, [&](std::uint32_t s) { return left.count(s); });
        const double right_impurity =
            general_impurity(node, rules.impurity, right_units,
                             [&](std::uint32_t s) { return node.counts[s] - left.count(s); });
        return split_gain(node.impurity, left_impurity, static_cast<double>(left.units),
                          right_impurity, static_cast<double>(right_units),
                          static_cast<double>(node.total));
    }
};

// The best candidate of a feature so far, with the tie rule of column_best.hpp.
struct Best {
    double score = 0.0;
    std::span<const Entry> group;  // empty while nothing scored above 0.0
    bool nan_left = false;
    bool above_all = false;  // every number left: the threshold is +inf
    Earliest earliest;

    void offer(double candidate, std::span<const Entry> candidate_group, bool candidate_nan_left,
               bool candidate_above_all, const WorkingSet& set) {
        if (candidate > score) {
            *this = {candidate, candidate_group, candidate_nan_left, candidate_above_all, {}};
            return;
        }
        if (group.empty() || !(candidate == score)) return;
        if (earliest.position == no_position) earliest = earliest_of(group, set);
        const Earliest other = earliest_of(candidate_group, set);
        if (other.position < earliest.position)
            *this = {candidate, candidate_group, candidate_nan_left, candidate_above_all, other};
    }

    FeatureBest result(const WorkingSet& set) const {
        if (group.empty()) return {};
        if (above_all) return {score, infinity, false};
        const float threshold = group.size() == 1 ? group[0].value
                                : earliest.position != no_position
                                    ? earliest.value
                                    : earliest_of(group, set).value;
        return {score, threshold, nan_left};
    }
};

// Adds the entries' weights into counts by slot; returns their units.
template <class Rows>
std::uint64_t add_entries(const Rows& rows, std::span<const Entry> entries, std::uint64_t* counts) {
    std::uint64_t units = 0;
    for (const Entry& entry : entries) {
        const std::uint64_t weight = rows.weight(entry.row);
        rows.each_slot(entry.row, [&](std::uint32_t slot) { counts[slot] += weight; });
        units += weight;
    }
    return units;
}

struct Sweep {
    std::span<const Entry> column;
    const WorkingSet& set;
    const Scorer& scorer;
    std::uint64_t* left;  // zeroed at the node's slots
    std::uint64_t* nan;   // zeroed at the node's slots
};

template <bool OneGini, class Rows>
FeatureBest best_column(const Sweep& sweep, const Rows& rows) {
    const std::span<const Entry> column = sweep.column;
    const Scorer& scorer = sweep.scorer;
    const bool learn = !OneGini && scorer.rules.learn_nan;
    const std::size_t n = column.size();
    const std::size_t numbers = numbers_in(column);
    const std::uint64_t nan_units = add_entries(rows, column.subspan(numbers), sweep.nan);
    const std::size_t n_nan = n - numbers;
    Best best;
    std::uint64_t left_units = 0;
    std::size_t i = 0;
    while (i < numbers) {
        const float value = column[i].value;
        std::size_t end = i;
        while (end < numbers && column[end].value == value) ++end;
        const std::span<const Entry> group = column.subspan(i, end - i);
        const Left nan_right{sweep.left, nullptr, left_units, i};
        if (scorer.allowed(nan_right)) {
            // Without NaN rows here, unseen NaN values follow the larger side.
            const bool larger_left = learn && n_nan == 0 && i > n - i;
            const double gain = OneGini ? scorer.gini_gain(nan_right) : scorer.gain(nan_right);
            // A lower score changes nothing: most candidates stop here, without a call.
            if (gain >= best.score) best.offer(gain, group, larger_left, false, sweep.set);
        }
        const Left nan_left{sweep.left, sweep.nan, left_units + nan_units, i + n_nan};
        if (learn && n_nan > 0 && i > 0 && scorer.allowed(nan_left))
            best.offer(scorer.gain(nan_left), group, true, false, sweep.set);
        left_units += add_entries(rows, group, sweep.left);
        i = end;
    }
    if (learn && n_nan > 0 && numbers > 0) {
        // Every number left and NaN right; with a value of +inf, the same rows as NaN left of
        // the least value.
        const std::span<const Entry> nan_group = column.subspan(numbers);
        if (column[numbers - 1].value < infinity) {
            const Left numbers_left{sweep.left, nullptr, left_units, numbers};
            if (scorer.allowed(numbers_left))
                best.offer(scorer.gain(numbers_left), nan_group, false, true, sweep.set);
        } else {
            const Left only_nan{sweep.nan, nullptr, nan_units, n_nan};
            std::size_t first_end = 0;
            while (first_end < numbers && column[first_end].value == column[0].value) ++first_end;
            if (scorer.allowed(only_nan))
                best.offer(scorer.gain(only_nan), column.first(first_end), true, false, sweep.set);
        }
    }
    return best.result(sweep.set);
}

// The rows are read at random: asking for their weights this many entries ahead keeps several
// reads under way at once.
constexpr std::size_t fetch_ahead = 64;

// best_column's sweep of one output's Gini with NaN right, for a node of two class slots and no
// constraint on the feature: the left side's units after each entry a block at a time, then every
// candidate of the block scored at once in vector registers (gini_blocks.hpp), the same scores.
// A block whose best beats the feature's best so far at one candidate only takes it; otherwise
// its candidates are offered in order, as the one-by-one sweep offers them, ties and all.
template <bool Limited, class Rows>
FeatureBest best_two_classes(const Sweep& sweep, const Rows& rows) {
    const std::span<const Entry> column = sweep.column;
    const Entry* const entries = column.data();
    const GeneralNode& node = sweep.scorer.node;
    const GeneralRules& rules = sweep.scorer.rules;
    const std::size_t n = column.size();
    const std::size_t numbers = numbers_in(column);
    const std::uint64_t total = node.total;
    const std::size_t min_rows = rules.min_leaf_rows;
    const std::uint64_t min_units = rules.min_leaf_units;
    const GiniTotals totals{static_cast<std::int64_t>(total),
                            static_cast<std::int64_t>(node.counts[1]), node.impurity};
    // The group of equal values that starts after entry k: the right side's first.
    auto group_after = [&](std::size_t k) {
        std::size_t end = k + 1;
        while (end < numbers && entries[end].value == entries[k + 1].value) ++end;
        return column.subspan(k + 1, end - (k + 1));
    };
    GiniBlock block;
    Best best;
    std::uint64_t units = 0;
    std::uint64_t ones = 0;
    for (std::size_t b = 0; b < numbers; b += GiniBlock::size) {
        const std::size_t count = std::min(GiniBlock::size, numbers - b);
        for (std::size_t j = 0; j < count; ++j) {
            const std::size_t i = b + j;
            if (i + fetch_ahead < numbers)
                rows.fetch(entries[i + fetch_ahead].row);
            const std::uint32_t coded = entries[i].row;
            const std::uint64_t weight = rows.weight(coded);
            std::uint64_t slot = 0;
            rows.each_slot(coded, [&](std::uint32_t s) { slot = s; });
            units += weight;
            ones += weight & (std::uint64_t{0} - slot);
            block.left_units[j] = static_cast<std::int64_t>(units);
            block.left_ones[j] = static_cast<std::int64_t>(ones);
            const std::size_t left_rows = i + 1;
            bool candidate = left_rows < numbers && entries[i + 1].value != entries[i].value;
            if constexpr (Limited)
                candidate = candidate && left_rows >= min_rows && n - left_rows >= min_rows &&
                            units >= min_units && total - units >= min_units;
            block.ends[j] = candidate ? -1 : 0;
        }
        constexpr std::size_t widest = GiniBlock::widest;
        for (std::size_t j = count; j < (count + widest - 1) / widest * widest; ++j)
            block.left_units[j] = block.left_ones[j] = block.ends[j] = 0;
        const BlockTop top = gini_scores(block, count, totals);
        if (!(top.top >= best.score)) continue;
        if (top.unique && top.top > best.score) {
            best = {top.top, group_after(b + top.at), false, false, {}};
            continue;
        }
        for (std::size_t j = 0; j < count; ++j)
            if (block.score[j] >= best.score)
                best.offer(block.score[j], group_after(b + j), false, false, sweep.set);
    }
    return best.result(sweep.set);
}

// The sweep for the scorer: one output's Gini with NaN right takes the lean gain, over two class
// slots a block at a time.
template <class Rows>
FeatureBest best_column(const Sweep& sweep, const Rows& rows) {
    const Scorer& scorer = sweep.scorer;
    if (scorer.rules.impurity == Impurity::gini && !scorer.rules.learn_nan &&
        scorer.node.output_ends.size() == 1) {
        // Every row of such a node is of slot 0 or 1.
        if (scorer.constraint == 0 && scorer.node.present.size() == 2 &&
            scorer.node.present[1] == 1) {
            // One row and no weight on each side hold of every candidate.
            if (scorer.rules.min_leaf_rows <= 1 && scorer.rules.min_leaf_units == 0)
                return best_two_classes<false>(sweep, rows);
            return best_two_classes<true>(sweep, rows);
        }
        return best_column<true>(sweep, rows);
    }
    return best_column<false>(sweep, rows);
}

// What one pass over a column tells of a drawn cut: the left side's units (its counts by slot
// are in the caller's buffer) and numbers, and the least value above the cut with the sign of
// zero of its earliest row, as the sorted sweeps keep it.
struct CutTally {
    std::uint64_t left_units = 0;
    std::size_t n_left = 0;  // numbers at or below the cut
    float above = infinity;
};

// The rows of a node as a drawn threshold's pass reads them: their coded rows, and their weights
// (`units` in the rows' order, or each `every_unit` when empty).
struct LooseNode {
    std::span<const Entry> rows;
    std::span<const std::uint64_t> units;
    std::uint64_t every_unit;
};

// Tallies the left side of the cut into `left`, two blocks of `slots` counts, zero at the node's
// slots; NaN rows go left with `nan_drawn_left`.
template <class Rows>
CutTally tally_cut(const WorkingSet& set, const LooseNode& node, const float* values,
                   const Rows& rows, std::uint64_t* left, std::size_t slots, float low_cut,
                   bool nan_drawn_left) {
    const bool same_units = node.units.empty();
    const std::uint64_t* const unit_of = node.units.data();
    CutTally tally;
    std::uint32_t above_position = no_position;
    bool any_above = false;
    for (std::size_t i = 0; i < node.rows.size(); ++i) {
        const float value = values[i];
        const std::uint32_t coded = node.rows[i].row;
        // Which side a row takes is a coin flip to the branch predictor: every row is added,
        // masked, and only the rare new least value above the cut branches.
        const bool number_left = value <= low_cut;
        const bool goes_left = number_left | (nan_drawn_left & std::isnan(value));
        const std::uint64_t weight =
            (same_units ? node.every_unit : unit_of[i]) & (std::uint64_t{0} - goes_left);
        // Alternate rows add into two copies of the counts, so that rows of one class in a row
        // do not wait for each other's additions.
        std::uint64_t* const counts = left + (i & 1) * slots;
        rows.each_slot(coded, [&](std::uint32_t slot) { counts[slot] += weight; });
        tally.left_units += weight;
        tally.n_left += number_left;
        if (value > low_cut && value <= tally.above) [[unlikely]] {
            const std::uint32_t position = set.first_position(set.local(coded));
            if (!any_above || value < tally.above || position < above_position)
                tally.above = value, above_position = position;
            any_above = true;
        }
    }
    return tally;
}

// What the tally of a two-class cut counts: rows left, rows of slot 1 among them, and the least
// value above the cut.
struct TwoClassCount {
    std::size_t left = 0;
    std::size_t ones = 0;
    float above = infinity;
};

// Counts the rows from i on into `count`, in blocks of as many rows as Floats has lanes (a lane a
// row), two blocks at a time when `twice` so that neither least value waits on the other's
// comparison; returns where it stopped. Inlined, so that its lanes take the caller's
// instructions.
template <class Floats, class Lanes>
[[gnu::always_inline]] inline std::size_t two_class_blocks(const float* values,
                                                           const std::uint32_t* classes,
                                                           std::size_t n, std::size_t i,
                                                           bool twice, float low_cut,
                                                           TwoClassCount& count) {
    constexpr std::size_t width = sizeof(Floats) / sizeof(float);
    Floats cut{}, none{};
    for (std::size_t lane = 0; lane < width; ++lane) cut[lane] = low_cut, none[lane] = infinity;
    Lanes n_left{}, ones{};
    Floats above[2] = {none, none};
    auto take = [&](std::size_t at, Floats& least) __attribute__((always_inline)) {
        Floats value;
        Lanes slot;
        std::memcpy(&value, values + at, sizeof value);
        std::memcpy(&slot, classes + at, sizeof slot);
        // Comparisons give -1 in a lane that holds, NaN holding neither.
        const Lanes goes_left = value <= cut;
        n_left -= goes_left;
        ones += slot & goes_left;
        // A lane of all ones is a NaN, and a NaN never moves the least value: the rows gone
        // left drop out in one step, the rows of NaN already do.
        const Floats higher = reinterpret_cast<Floats>(reinterpret_cast<Lanes>(value) | goes_left);
        least = higher < least ? higher : least;
    };
    if (twice)
        for (; i + 2 * width <= n; i += 2 * width) take(i, above[0]), take(i + width, above[1]);
    for (; i + width <= n; i += width) take(i, above[0]);
    for (std::size_t lane = 0; lane < width; ++lane) {
        count.left += static_cast<std::uint32_t>(n_left[lane]);
        count.ones += static_cast<std::uint32_t>(ones[lane]);
        for (const Floats& lanes : above)
            count.above = lanes[lane] < count.above ? lanes[lane] : count.above;
    }
    return i;
}

using FourFloats = float __attribute__((vector_size(16)));
using FourLanes = std::int32_t __attribute__((vector_size(16)));

// Eight lanes where the processor has them: counts whose results do not depend on the order the
// lanes take the rows in are the same counts in either.
#if defined(__x86_64__) && defined(__GNUC__)
using EightFloats = float __attribute__((vector_size(32)));
using EightLanes = std::int32_t __attribute__((vector_size(32)));

[[gnu::target("avx2")]] std::size_t eight_lane_blocks(const float* values,
                                                      const std::uint32_t* classes, std::size_t n,
                                                      float low_cut, TwoClassCount& count) {
    return two_class_blocks<EightFloats, EightLanes>(values, classes, n, 0, true, low_cut, count);
}

bool has_eight_lanes() {
    static const bool eight = __builtin_cpu_supports("avx2");
    return eight;
}
#else
std::size_t eight_lane_blocks(const float*, const std::uint32_t*, std::size_t, float,
                              TwoClassCount&) {
    return 0;
}

bool has_eight_lanes() { return false; }
#endif

// The same for rows of one weight and two class slots, NaN right: a count of the rows left and
// of those of slot 1 among them, and a least value, in vector registers (two_class_blocks), then
// a row at a time. Counts are exact in any order and the least value is the same float whichever
// lane finds it, but for the sign of a zero: only a least value of zero asks which of its rows
// comes first, for its sign, and then there is no answer here.
std::optional<CutTally> tally_two_classes(const float* values, const std::uint32_t* classes,
                                          std::size_t n, float low_cut, std::uint64_t unit,
                                          std::uint64_t* left) {
    TwoClassCount count;
    std::size_t i = 0;
    const bool eight = n >= 8 && has_eight_lanes();
    if (eight) i = eight_lane_blocks(values, classes, n, low_cut, count);
    i = two_class_blocks<FourFloats, FourLanes>(values, classes, n, i, !eight, low_cut, count);
    for (; i < n; ++i) {
        const float value = values[i];
        const bool goes_left = value <= low_cut;
        count.left += goes_left;
        count.ones += classes[i] & std::uint32_t{goes_left};
        const float higher = value > low_cut ? value : infinity;
        count.above = higher < count.above ? higher : count.above;
    }
    if (count.above == 0.0f) return std::nullopt;
    left[0] = (count.left - count.ones) * unit;
    left[1] = count.ones * unit;
    return CutTally{count.left * unit, count.left, count.above};
}

// std::nextafter(x, -infinity) for a finite x when `step`, else x, without a branch or a call:
// whether a drawn cut rounded up to x is a coin flip, at every drawn threshold.
float step_down_if(float x, bool step) {
    const auto bits = std::bit_cast<std::uint32_t>(x);
    // A zero of either sign steps to the least negative float; any other value one unit of
    // its magnitude away from zero when negative, towards it when positive.
    const std::uint32_t away = bits >> 31;
    std::uint32_t stepped = bits + away + away - 1;
    stepped = (bits & 0x7FFFFFFFu) == 0 ? 0x80000001u : stepped;
    const std::uint32_t mask = 0u - static_cast<std::uint32_t>(step);
    return std::bit_cast<float>((stepped & mask) | (bits & ~mask));
}

// The split of one drawn threshold (column_rules.hpp's random_cut: the same cut, sides and
// threshold) on a column as its rows lie. `classes` holds the rows' class slots with one output
// (empty: read from the rows); `left` two blocks of `slots` counts, zero at the node's slots.
template <class Rows>
FeatureBest random_loose(const Scorer& scorer, const WorkingSet& set, const LooseNode& node,
                         std::span<const std::uint32_t> classes, const LooseColumn& column,
                         const Rows& rows, std::uint64_t* left, std::size_t slots,
                         std::uint64_t threshold_draw, std::uint64_t side_draw) {
    if (column.numbers == 0) return {};
    const bool learn = scorer.rules.learn_nan;
    const std::size_t n = node.rows.size();
    const bool has_nan = column.numbers < n;
    const double cut = drawn_cut(column.least, column.largest, threshold_draw);
    // No float lies strictly between the cut and the greatest float at or below it, so the rows
    // compare with that in single precision alike.
    const float rounded = static_cast<float>(cut);
    const float low_cut = step_down_if(rounded, static_cast<double>(rounded) > cut);
    // With NaN rows here their side is drawn, so they are tallied with the left side or not.
    const bool nan_drawn_left = has_nan && learn && (side_draw & 1) != 0;
    std::optional<CutTally> fast;
    if (!classes.empty() && slots == 2 && node.units.empty() && !learn)
        fast = tally_two_classes(column.values, classes.data(), n, low_cut, node.every_unit, left);
    if (!fast) {
        fast = tally_cut(set, node, column.values, rows, left, slots, low_cut, nan_drawn_left);
        for (std::uint32_t slot : scorer.node.present) left[slot] += left[slots + slot];
    }
    const CutTally& tally = *fast;
    const bool nan_left = learn && (has_nan ? nan_drawn_left : tally.n_left > n - tally.n_left);
    if (tally.n_left == column.numbers && (!has_nan || nan_left || !(column.largest < infinity)))
        return {};
    const Left side{left, nullptr, tally.left_units,
                    tally.n_left + (nan_drawn_left ? n - column.numbers : 0)};
    if (!scorer.allowed(side)) return {};
    // The side's counts hold its NaN rows already, so one output's Gini takes the lean gain
    // whichever side they went.
    const bool one_gini =
        scorer.rules.impurity == Impurity::gini && scorer.node.output_ends.size() == 1;
    const double gain = one_gini ? scorer.gini_gain(side) : scorer.gain(side);
    if (!(gain > 0.0)) return {};
    if (tally.n_left == column.numbers) return {gain, infinity, nan_left};
    return {gain, tally.above, nan_left};
}

// Each searched feature's best on the pool, from `column_best(scorer, rows, k, feature,
// counts, slots)` with two blocks of counts zeroed at the node's slots; the best of them, the
// lowest feature on equal gains.
template <class ColumnBest>
GeneralChoice best_of_features(const WorkingSet& set, const GeneralNode& node,
                               const GeneralRules& rules, std::size_t n_rows,
                               ScratchSlots& scratch, WorkerPool* pool, ColumnBest&& column_best) {
    const std::size_t n_searched = rules.features.empty() ? set.n_cols : rules.features.size();
    auto feature_at = [&](std::size_t k) {
        return rules.features.empty() ? static_cast<std::uint32_t>(k) : rules.features[k];
    };
    const std::size_t slots = class_slots(set);
    // Most nodes are small and search a few features: their results stay on the stack.
    constexpr std::size_t on_stack = 8;
    FeatureBest few[on_stack];
    std::vector<FeatureBest> many(n_searched > on_stack ? n_searched : 0);
    const std::span<FeatureBest> results(n_searched > on_stack ? many.data() : few, n_searched);
    auto search = [&](std::size_t k, Scratch& lease) {
        std::uint64_t* counts = lease.wide_counts(slots);
        for (std::uint32_t slot : node.present) counts[slot] = counts[slots + slot] = 0;
        const std::uint32_t f = feature_at(k);
        const std::int8_t constraint =
            rules.monotonic.by_feature.empty() ? 0 : rules.monotonic.by_feature[f];
        const Scorer scorer{node, rules, n_rows, constraint};
        const FeatureBest best = with_general_rows(set, [&](const auto& rows) {
            return column_best(scorer, rows, k, f, counts, slots);
        });
        // Field by field: the record comes back in registers, and a copy of the whole record
        // would read it back from the stack at widths it was not written at.
        results[k].score = best.score;
        results[k].threshold = best.threshold;
        results[k].nan_left = best.nan_left;
    };
    // Below this many values a node's features cost less searched in turn than handed out.
    constexpr std::size_t parallel_values = std::size_t{1} << 15;
    for_each_leased(pool, n_searched, scratch, n_rows * n_searched < parallel_values, search);
    GeneralChoice choice;
    for (std::size_t k = 0; k < results.size(); ++k) {
        if (results[k].score > choice.gain) {
            choice = {true, feature_at(k), results[k].threshold, results[k].nan_left,
                      results[k].score};
        }
    }
    return choice;
}

}  // namespace

GeneralChoice general_random_search(const WorkingSet& set, std::span<const Entry> node_rows,
                                    std::span<const std::uint64_t> units, std::uint64_t every_unit,
                                    std::span<const std::uint32_t> classes,
                                    std::span<const LooseColumn> columns, const GeneralNode& node,
                                    const GeneralRules& rules, ScratchSlots& scratch,
                                    WorkerPool* pool) {
    check_features(rules.features, set.n_cols);
    const std::size_t n_searched = rules.features.empty() ? set.n_cols : rules.features.size();
    LINDORF_CHECK(columns.size() == n_searched, "a random split needs a column per feature");
    LINDORF_CHECK(units.empty() || units.size() == node_rows.size(),
                  "a random split needs every row's weight");
    LINDORF_CHECK(classes.empty() || (classes.size() == node_rows.size() &&
                                      set.general.n_outputs == 1),
                  "a random split reads one class slot per row, with one output");
    LINDORF_CHECK(rules.draws.size() == 2 * n_searched, "a random split needs two draws per feature");
    const LooseNode loose{node_rows, units, every_unit};
    return best_of_features(
        set, node, rules, node_rows.size(), scratch, pool,
        [&](const Scorer& scorer, const auto& rows, std::size_t k, std::uint32_t,
            std::uint64_t* left, std::size_t slots) {
            return random_loose(scorer, set, loose, classes, columns[k], rows, left, slots,
                                rules.draws[2 * k], rules.draws[2 * k + 1]);
        });
}

GeneralChoice two_class_random_search(const WorkingSet& set, std::span<const Entry> node_rows,
                                      std::uint64_t every_unit,
                                      std::span<const std::uint32_t> classes,
                                      std::span<const LooseColumn> columns,
                                      const GeneralNode& node, const GeneralRules& rules) {
    LINDORF_CHECK(class_slots(set) == 2 && set.general.n_outputs == 1 && every_unit > 0 &&
                      classes.size() == node_rows.size() && !rules.learn_nan &&
                      rules.monotonic.by_feature.empty() &&
                      rules.draws.size() == 2 * columns.size() &&
                      (rules.features.empty() ? set.n_cols : rules.features.size()) ==
                          columns.size(),
                  "a two-class random split reads one class slot and one weight per row");
    const std::size_t n = node_rows.size();
    const LooseNode loose{node_rows, {}, every_unit};
    const Scorer scorer{node, rules, n, 0};
    const bool one_gini = rules.impurity == Impurity::gini && node.output_ends.size() == 1;
    GeneralChoice choice;
    for (std::size_t k = 0; k < columns.size(); ++k) {
        // random_loose's steps for these rows of one weight and two classes, NaN right.
        const LooseColumn& column = columns[k];
        if (column.numbers == 0) continue;
        const double cut = drawn_cut(column.least, column.largest, rules.draws[2 * k]);
        const float rounded = static_cast<float>(cut);
        const float low_cut = step_down_if(rounded, static_cast<double>(rounded) > cut);
        std::uint64_t left[4] = {0, 0, 0, 0};
        std::optional<CutTally> tally =
            tally_two_classes(column.values, classes.data(), n, low_cut, every_unit, left);
        if (!tally) {
            // A least value of zero asks for its earliest row, for its sign: a pass over the rows.
            tally = with_general_rows(set, [&](const auto& rows) {
                return tally_cut(set, loose, column.values, rows, left, 2, low_cut, false);
            });
            for (std::uint32_t slot : node.present) left[slot] += left[2 + slot];
        }
        if (tally->n_left == column.numbers &&
            (column.numbers == n || !(column.largest < infinity)))
            continue;
        const Left side{left, nullptr, tally->left_units, tally->n_left};
        if (!scorer.allowed(side)) continue;
        FeatureBest best;
        best.score = one_gini ? scorer.gini_gain(side) : scorer.gain(side);
        best.threshold = tally->n_left == column.numbers ? infinity : tally->above;
        if (best.score > choice.gain) {
            const auto f =
                rules.features.empty() ? static_cast<std::uint32_t>(k) : rules.features[k];
            choice = {true, f, best.threshold, best.nan_left, best.score};
        }
    }
    return choice;
}

GeneralChoice general_search(const WorkingSet& set, NodeRange range, const GeneralNode& node,
                             const GeneralRules& rules, ScratchSlots& scratch, WorkerPool* pool) {
    check_features(rules.features, set.n_cols);
    LINDORF_CHECK(rules.draws.empty(), "random thresholds are searched on columns as rows lie");
    return best_of_features(
        set, node, rules, range.size(), scratch, pool,
        [&](const Scorer& scorer, const auto& rows, std::size_t, std::uint32_t f,
            std::uint64_t* counts, std::size_t slots) {
            const Sweep sweep{set.column(f, range.begin, range.end), set, scorer, counts,
                              counts + slots};
            return best_column(sweep, rows);
        });
}

GeneralChoice general_search(const WorkingSet& set, std::span<const std::span<const Entry>> columns,
                             const GeneralNode& node, const GeneralRules& rules,
                             ScratchSlots& scratch, WorkerPool* pool) {
    check_features(rules.features, set.n_cols);
    LINDORF_CHECK(rules.draws.empty(), "random thresholds are searched on columns as rows lie");
    LINDORF_CHECK(!rules.features.empty() && columns.size() == rules.features.size(),
                  "a node's own columns line up with its searched features");
    const std::size_t n_rows = columns.front().size();
    return best_of_features(
        set, node, rules, n_rows, scratch, pool,
        [&](const Scorer& scorer, const auto& rows, std::size_t k, std::uint32_t,
            std::uint64_t* counts, std::size_t slots) {
            const Sweep sweep{columns[k], set, scorer, counts, counts + slots};
            return best_column(sweep, rows);
        });
}

}  // namespace lindorf
