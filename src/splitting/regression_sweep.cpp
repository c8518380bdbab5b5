#include "splitting/regression_sweep.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "splitting/column_best.hpp"
#include "splitting/column_rules.hpp"
#include "splitting/regression_sides.hpp"
#include "splitting/squared_blocks.hpp"
#include "support/error.hpp"

namespace lindorf {

namespace {

constexpr float infinity = std::numeric_limits<float>::infinity();

struct FeatureResult {
    bool found = false;
    double score = 0.0;
    float threshold = 0.0f;
    bool nan_left = false;
    double left_value = 0.0;
    double right_value = 0.0;
};

// The best candidate of one feature so far, with the tie rule of column_best.hpp.
// A candidate as the best keeps it: its group of entries (for the tie rule and threshold) and
// what the split takes with it.
struct Offered {
    double score = 0.0;
    std::span<const Entry> group;
    bool nan_left = false;
    bool above_all = false;  // every number left: the threshold is +inf
    double left_value = 0.0;
    double right_value = 0.0;
};

struct Best {
    bool found = false;
    Offered best;
    Earliest earliest;

    void offer(const Offered& candidate, const WorkingSet& set) {
        if (std::isnan(candidate.score)) return;
        if (!found || candidate.score > best.score) {
            *this = {true, candidate, {}};
            return;
        }
        if (!(candidate.score == best.score)) return;
        if (earliest.position == no_position) earliest = earliest_of(best.group, set);
        const Earliest other = earliest_of(candidate.group, set);
        if (other.position < earliest.position) *this = {true, candidate, other};
    }

    FeatureResult result(const WorkingSet& set) const {
        if (!found) return {};
        const Offered& b = best;
        if (b.above_all) return {true, b.score, infinity, false, b.left_value, b.right_value};
        const float threshold = b.group.size() == 1 ? b.group[0].value
                                : earliest.position != no_position
                                    ? earliest.value
                                    : earliest_of(b.group, set).value;
        return {true, b.score, threshold, b.nan_left, b.left_value, b.right_value};
    }
};

// What a candidate must leave on each side, and how its sides' values must lie.
struct Limits {
    std::size_t rows;
    std::uint64_t units;
    std::size_t min_rows;
    std::uint64_t min_units;
    std::int8_t constraint = 0;  // the feature's monotonic constraint
    double lower = -1.0 / 0.0;
    double upper = 1.0 / 0.0;

    bool allowed(std::size_t left_rows, std::uint64_t left_units) const {
        return left_rows >= min_rows && rows - left_rows >= min_rows && left_units >= min_units &&
               units - left_units >= min_units;
    }
    bool monotone(double left, double right) const {
        return left >= lower && right >= lower && left <= upper && right <= upper &&
               (left - right) * constraint <= 0.0;
    }
};

constexpr std::size_t prefetch_distance = 64;

// Scores a candidate and offers it, when it satisfies the feature's constraint. `nan_left`: the
// NaN rows count on the left; `side_nan_left`: the side NaN takes in the split.
template <class Side>
void offer(Best& best, const Side& side, const Limits& limits, bool nan_left,
           std::span<const Entry> group, bool side_nan_left, bool above_all,
           const WorkingSet& set) {
    Offered candidate{0.0, group, side_nan_left, above_all};
    if (limits.constraint != 0) {
        side.values(nan_left, candidate.left_value, candidate.right_value);
        if (!limits.monotone(candidate.left_value, candidate.right_value)) return;
    }
    if (side.score(nan_left, candidate.score)) best.offer(candidate, set);
}

// Every candidate of the feature, in one pass over its entries.
template <class Side>
FeatureResult best_column(std::span<const Entry> column, const WorkingSet& set, Side& side,
                          const Limits& limits, bool learn) {
    const std::size_t n = column.size();
    const std::size_t numbers = numbers_in(column);
    const std::size_t n_nan = n - numbers;
    const bool nan_tracked = learn && n_nan > 0;
    if (nan_tracked)
        for (const Entry& entry : column.subspan(numbers)) side.add_nan(entry);
    Best best;
    std::size_t i = 0;
    while (i < numbers) {
        const float value = column[i].value;
        std::size_t end = i + 1;
        while (end < numbers && column[end].value == value) ++end;
        const std::span<const Entry> group = column.subspan(i, end - i);
        if (limits.allowed(i, side.units)) {
            // Without NaN rows here, unseen NaN values follow the larger side.
            const bool larger_left = learn && n_nan == 0 && i > n - i;
            offer(best, side, limits, false, group, larger_left, false, set);
        }
        if (nan_tracked && limits.allowed(i + n_nan, side.units + side.nan_units)) {
            // At the least value: NaN alone on the left, a candidate only when a value of +inf
            // keeps "every number left" from being one.
            if (i > 0 || !(column[numbers - 1].value < infinity))
                offer(best, side, limits, true, group, true, false, set);
        }
        for (std::size_t k = i; k < end; ++k) {
            // The rows' data are read at random: asking for them ahead keeps several reads
            // under way at once.
            if (k + prefetch_distance < numbers)
                __builtin_prefetch(side.ahead(column[k + prefetch_distance]));
            side.add(column[k]);
        }
        i = end;
    }
    if (nan_tracked && numbers > 0 && column[numbers - 1].value < infinity &&
        limits.allowed(numbers, side.units))
        offer(best, side, limits, false, column.subspan(numbers), false, true, set);
    return best.result(set);
}

// The split of one drawn threshold (random_cut), scored.
template <class Side>
FeatureResult random_column(std::span<const Entry> column, Side& side, const Limits& limits,
                            bool learn, std::uint64_t threshold_draw, std::uint64_t side_draw) {
    const RandomCut drawn = random_cut(column, learn, threshold_draw, side_draw);
    if (!drawn.divides) return {};
    const std::size_t n = column.size();
    const std::size_t numbers = drawn.numbers;
    const std::size_t n_left = drawn.n_left;
    const bool above_all = drawn.above_all();
    const bool has_nan = numbers < n;
    const bool nan_left = drawn.nan_left;
    const bool nan_moves = nan_left && has_nan;
    if (nan_moves)
        for (const Entry& entry : column.subspan(numbers)) side.add_nan(entry);
    for (std::size_t k = 0; k < n_left; ++k) {
        if (k + prefetch_distance < n_left)
            __builtin_prefetch(side.ahead(column[k + prefetch_distance]));
        side.add(column[k]);
    }
    const std::size_t left_rows = n_left + (nan_moves ? n - numbers : 0);
    if (!limits.allowed(left_rows, side.units + (nan_moves ? side.nan_units : 0))) return {};
    FeatureResult out{true, 0.0, above_all ? infinity : column[n_left].value, nan_left};
    if (limits.constraint != 0) {
        side.values(nan_moves, out.left_value, out.right_value);
        if (!limits.monotone(out.left_value, out.right_value)) return {};
    }
    if (!side.score(nan_moves, out.score) || std::isnan(out.score)) return {};
    return out;
}

// The whole group of equal values that `start` begins: the sweep below remembers only where the
// best candidate's group starts.
std::span<const Entry> whole_group(std::span<const Entry> column, std::size_t numbers,
                                   std::span<const Entry> start) {
    const std::size_t begin = static_cast<std::size_t>(start.data() - column.data());
    std::size_t end = begin + 1;
    while (end < numbers && column[end].value == column[begin].value) ++end;
    return column.subspan(begin, end - begin);
}

// Nodes of at most this many numbers sweep a feature in one plain loop (squared_few).
constexpr std::size_t few_numbers = 16;

// What a node's squared-error candidates are scored against. Equal weights: a side's weight is
// its row count, and the candidates the leaf limits allow are those with between `fewest` and
// `most_left` rows left.
SquaredTotals squared_totals(const RegressionNode& node, const RegressionRows& rows,
                             const Limits& limits) {
    SquaredTotals totals;
    totals.total = node.centred[0];
    totals.units = static_cast<std::int64_t>(limits.units);
    totals.unit = rows.scoring_unit();
    totals.all_rows = static_cast<double>(limits.units);
    totals.fewest =
        static_cast<double>(std::max<std::uint64_t>(limits.min_rows, limits.min_units));
    totals.most_left = static_cast<double>(limits.rows) - totals.fewest;
    return totals;
}

// Takes the candidate whose right side starts at entry `at`, of a score at least the best so
// far's: a better one replaces the best (its group widened when it matters), an equal one goes
// to the tie rule, both groups whole.
void take_squared(Best& best, std::span<const Entry> column, std::size_t numbers, std::size_t at,
                  double score, const WorkingSet& set) {
    const std::span<const Entry> group = column.subspan(at, 1);
    if (!best.found || score > best.best.score) {
        best = {true, {score, group}, {}};
        return;
    }
    best.best.group = whole_group(column, numbers, best.best.group);
    best.offer({score, whole_group(column, numbers, group)}, set);
}

// squared_one_column for a node of few rows, most nodes of a deep tree: the same scores and
// ties, one candidate at a time, without the blocks' arrays, vectors and calls, which would cost
// such a node more than its arithmetic. (Taken one at a time, every candidate that reaches the
// best so far goes on to the tie rule: the best and its ties are those the blocks find.)
template <bool Uniform, bool Limited>
FeatureResult squared_few(std::span<const Entry> column, std::size_t numbers,
                          const WorkingSet& set, const RegressionRows& rows,
                          const RegressionNode& node, const Limits& limits) {
    const Entry* const entries = column.data();
    const SquaredTotals totals = squared_totals(node, rows, limits);
    const SplitSum total = totals.total;
    const double centre = node.centre[0];
    const double magic = 0x1.8p52 * node.grid[0];  // as split_term splits
    const double unit = rows.unit;
    const double scoring = totals.unit;
    const unsigned shift = set.coding.row_shift();
    const double all_rows = totals.all_rows;
    const double fewest = totals.fewest;
    const double most_left = totals.most_left;
    double high = 0.0;
    double low = 0.0;
    std::uint64_t left_units = 0;
    Best best;
    double best_score = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i + 1 < numbers; ++i) {
        const std::uint32_t local = entries[i].row >> shift;
        double term;
        if constexpr (Uniform) {
            term = rows.targets[local] - centre;
        } else {
            const TargetUnits row = rows.paired[local];
            term = units_value(row.units) * unit * (row.target - centre);
            left_units += row.units;
        }
        const double split = (term + magic) - magic;
        high += split;
        low += term - split;
        if (entries[i + 1].value == entries[i].value) continue;
        double wl, wr;
        if constexpr (Uniform) {
            wl = static_cast<double>(i + 1);
            wr = all_rows - wl;
            if (!(wl >= fewest && wl <= most_left)) continue;
        } else {
            if (Limited && !limits.allowed(i + 1, left_units)) continue;
            wl = units_value(left_units) * scoring;
            wr = units_value(limits.units - left_units) * scoring;
        }
        const double lv = high + low;                                // SplitSum::value
        const double rv = (total.high - high) + (total.low - low);   // SplitSum::minus
        const double score = (lv * lv * wr + rv * rv * wl) / (wl * wr);
        if (!(score >= best_score)) continue;  // NaN too
        take_squared(best, column, numbers, i + 1, score, set);
        best_score = score;
    }
    if (best.found) best.best.group = whole_group(column, numbers, best.best.group);
    return best.result(set);
}

// The sweep of one output's squared error with NaN right and every value a candidate, the common
// case: the same candidates, scores and ties as best_column. It goes through the entries in
// blocks (squared_blocks.hpp): first their running sums (the rows' targets read ahead of their
// turn) and which of them end a candidate's left side, then every candidate's score in vector
// registers and the block's best. Only a block that reaches the best so far goes on to the tie
// rule, with its one candidate of that score, or, when several reach it, with all of them: the
// others would lose to them. `Limited`: some weighted candidate may leave too little on a side
// (least weight, or more than one row per side); without it every candidate is allowed, and no
// entry asks. (Blocks are scored to the vector's end, not whole: that would cost the many small
// nodes of deep trees hundreds of divisions each.)
template <bool Uniform, bool Limited>
FeatureResult squared_one_column(std::span<const Entry> column, const WorkingSet& set,
                                 const RegressionRows& rows, const RegressionNode& node,
                                 const Limits& limits) {
    const std::size_t numbers = numbers_in(column);
    if (numbers <= few_numbers)
        return squared_few<Uniform, Limited>(column, numbers, set, rows, node, limits);
    SquaredRun run;
    run.entries = column.data();
    run.numbers = numbers;
    run.targets = rows.targets.data();
    run.paired = rows.paired.data();
    run.shift = set.coding.row_shift();
    run.centre = node.centre[0];
    run.magic = 0x1.8p52 * node.grid[0];  // as split_term splits
    run.unit = rows.unit;
    run.total_units = limits.units;
    run.min_rows = limits.min_rows;
    run.min_units = limits.min_units;
    run.rows = limits.rows;
    const SquaredTotals totals = squared_totals(node, rows, limits);
    SquaredBlock block;
    Best best;
    for (std::size_t b = 0; b < numbers; b += SquaredBlock::size) {
        const std::size_t n = std::min(SquaredBlock::size, numbers - b);
        squared_sums<Uniform, Limited>(run, b, n, block);
        const BlockTop found = squared_scores(block, b, n, totals, Uniform);
        const double top = found.top;
        if (top == BlockTop::none || (best.found && top < best.best.score)) continue;
        if (found.unique) {
            take_squared(best, column, numbers, b + found.at + 1, top, set);
            continue;
        }
        for (std::size_t j = 0; j < n; ++j)
            if (block.score[j] == top) take_squared(best, column, numbers, b + j + 1, top, set);
    }
    if (best.found) best.best.group = whole_group(column, numbers, best.best.group);
    return best.result(set);
}

struct ColumnJob {
    std::span<const Entry> column;
    const WorkingSet& set;
    const RegressionRows& rows;
    const RegressionNode& node;
    const RegressionRules& rules;
    const Limits& limits;
    const std::uint64_t* draws;  // this feature's two draws, or null
};

template <class Side>
FeatureResult search_with(const ColumnJob& job, Side& side) {
    if (job.draws != nullptr)
        return random_column(job.column, side, job.limits, job.rules.learn_nan, job.draws[0],
                             job.draws[1]);
    return best_column(job.column, job.set, side, job.limits, job.rules.learn_nan);
}

template <bool Uniform>
FeatureResult search_column(const ColumnJob& job, RegressionScratch& scratch) {
    const SideBase base{job.set, job.rows, job.node, job.rows.n_outputs};
    switch (job.node.loss) {
        case Loss::squared_error: {
            if (job.rows.n_outputs == 1 && job.draws == nullptr && !job.rules.learn_nan &&
                job.limits.constraint == 0) {
                // A candidate leaves a row on each side, and any weight at all satisfies a least
                // weight of 0.
                if (Uniform || job.limits.min_units > 0 || job.limits.min_rows > 1)
                    return squared_one_column<Uniform, true>(job.column, job.set, job.rows,
                                                             job.node, job.limits);
                return squared_one_column<Uniform, false>(job.column, job.set, job.rows, job.node,
                                                          job.limits);
            }
            SquaredSide<Uniform> side{base};
            side.start(scratch);
            return search_with(job, side);
        }
        case Loss::poisson: {
            PoissonSide<Uniform> side{base};
            side.start(scratch);
            return search_with(job, side);
        }
        case Loss::absolute_error: {
            AbsoluteSide<Uniform> side{base};
            // Tracks with the NaN rows on the left are needed only where their side is learned.
            const bool nan_rows = !job.column.empty() && std::isnan(job.column.back().value);
            side.start(scratch, job.rules.learn_nan && nan_rows);
            return search_with(job, side);
        }
    }
    fail("unknown regression criterion");
}

}  // namespace

namespace {

// Each searched feature's best, from column_of(k); the best of them, the lower index on ties.
template <class ColumnOf>
RegressionChoice search_columns(const WorkingSet& set, std::size_t n_rows,
                                const RegressionRows& rows, const RegressionNode& node,
                                const RegressionRules& rules, ScratchSlots& scratch,
                                WorkerPool* pool, ColumnOf&& column_of) {
    check_features(rules.features, set.n_cols);
    const std::size_t n_searched = rules.features.empty() ? set.n_cols : rules.features.size();
    auto feature_at = [&](std::size_t k) {
        return rules.features.empty() ? static_cast<std::uint32_t>(k) : rules.features[k];
    };
    LINDORF_CHECK(rules.draws.empty() || rules.draws.size() == 2 * n_searched,
                  "a random split needs two draws per feature");
    LINDORF_CHECK(node.rows == n_rows, "the node's tally is of other rows");
    LINDORF_CHECK(rules.monotonic.empty() || (rules.monotonic.size() == set.n_cols &&
                                              rows.n_outputs == 1),
                  "monotonic constraints need one per feature and a single output");
    const Limits common{n_rows, node.units, std::max<std::size_t>(rules.min_leaf_rows, 1),
                        rules.min_leaf_units, 0, rules.lower, rules.upper};
    auto search = [&](std::size_t k, Scratch& held) {
        Limits limits = common;
        if (!rules.monotonic.empty()) limits.constraint = rules.monotonic[feature_at(k)];
        const ColumnJob job{column_of(k, feature_at(k)),
                            set,
                            rows,
                            node,
                            rules,
                            limits,
                            rules.draws.empty() ? nullptr : rules.draws.data() + 2 * k};
        return rows.uniform() ? search_column<true>(job, held.regression)
                              : search_column<false>(job, held.regression);
    };
    // Combined in feature order, the lower index wins ties however the features were scheduled.
    RegressionChoice choice;
    auto combine = [&](std::size_t k, const FeatureResult& r) {
        if (r.found && (!choice.found || r.score > choice.score))
            choice = {true,        feature_at(k), r.threshold,  r.nan_left,
                      r.score,     r.left_value,  r.right_value};
    };
    if (pool == nullptr) {
        // Most nodes are small and search on one thread: one lease and no list of results,
        // which would cost such a node about as much as its sweeps.
        auto lease = scratch.claim();
        for (std::size_t k = 0; k < n_searched; ++k) combine(k, search(k, *lease));
        return choice;
    }
    std::vector<FeatureResult> results(n_searched);
    parallel_for(pool, n_searched, [&](std::size_t k) {
        auto lease = scratch.claim();
        results[k] = search(k, *lease);
    });
    for (std::size_t k = 0; k < results.size(); ++k) combine(k, results[k]);
    return choice;
}

}  // namespace

RegressionChoice regression_search(const WorkingSet& set, NodeRange range,
                                   const RegressionRows& rows, const RegressionNode& node,
                                   const RegressionRules& rules, ScratchSlots& scratch,
                                   WorkerPool* pool) {
    return search_columns(set, range.size(), rows, node, rules, scratch, pool,
                          [&](std::size_t, std::uint32_t f) {
                              return set.column(f, range.begin, range.end);
                          });
}

RegressionChoice regression_search(const WorkingSet& set,
                                   std::span<const std::span<const Entry>> columns,
                                   const RegressionRows& rows, const RegressionNode& node,
                                   const RegressionRules& rules, ScratchSlots& scratch,
                                   WorkerPool* pool) {
    LINDORF_CHECK(!rules.features.empty() && columns.size() == rules.features.size(),
                  "a node's own columns line up with its searched features");
    return search_columns(set, columns.front().size(), rows, node, rules, scratch, pool,
                          [&](std::size_t k, std::uint32_t) { return columns[k]; });
}

}  // namespace lindorf
