#include "splitting/split_search.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "criteria/classes.hpp"
#include "splitting/column_rules.hpp"
#include "splitting/entropy_sweep.hpp"
#include "splitting/exact_sweep.hpp"
#include "support/error.hpp"

namespace lindorf {

namespace {

// Nodes of less weight are swept exactly, every candidate scored from a table of terms: that
// costs less than the screen's set-up, its shortlist and its walks. Two bootstrap trees on 2^16
// distinct labels, where most nodes are that small: 5.32 G instructions with every node screened,
// 4.97 G from 20 (16 and 24 about the same; 8, 5.10 G; 64, 5.22 G); once the screen of such
// nodes went by left weight alone, 4.15 G from 16 (12, 4.16 G; 20, 4.17 G).
constexpr std::uint32_t screened_from = 16;

}  // namespace

SplitChoice search_node(const WorkingSet& set, NodeRange range, const NodeCounts& node,
                        const SplitRules& rules, ScratchSlots& scratch, WorkerPool* pool) {
    return search_node(set, range, node, rules, {}, scratch, pool);
}

SplitChoice search_node(const WorkingSet& set, NodeRange range, const NodeCounts& node,
                        const SplitRules& rules, std::span<const std::span<const Entry>> columns,
                        ScratchSlots& scratch, WorkerPool* pool) {
    check_features(rules.features, set.n_cols);
    LINDORF_CHECK(columns.empty() || columns.size() == rules.features.size(),
                  "the searched columns do not match the features");
    const std::size_t n_searched = rules.features.empty() ? set.n_cols : rules.features.size();
    auto feature_at = [&](std::size_t k) {
        return rules.features.empty() ? k : std::size_t{rules.features[k]};
    };
    // Gini gains are cheap; information gain is screened whenever a bound can be proven, except
    // on the nodes of a few rows near the leaves, which are swept exactly.
    const bool gini = rules.impurity == Impurity::gini;
    const bool exact = gini || node.total < screened_from;
    EntropyScreen screen = exact ? EntropyScreen{} : entropy_screen(node, set.count_log);
    screen.node = scratch.number();
    std::vector<FeatureBest> results(n_searched);
    SharedBest shared;
    parallel_for(pool, n_searched, [&](std::size_t k) {
        auto lease = scratch.claim();
        std::span<const Entry> column =
            columns.empty() ? set.column(feature_at(k), range.begin, range.end) : columns[k];
        results[k] = screen.usable
                         ? screened_entropy_column(column, set, node, rules.min_leaf, screen, *lease,
                                                   &shared, rules.min_leaf_rows)
                         : exact_column(column, set, node, rules, *lease);
    });
    // Each feature wrote only its own slot; combining in feature order lets the lower index win
    // ties however the features were scheduled.
    SplitChoice choice;
    double best = 0.0;
    for (std::size_t k = 0; k < results.size(); ++k) {
        if (results[k].score > best) {
            best = results[k].score;
            choice = {static_cast<std::uint32_t>(feature_at(k)), results[k].threshold};
        }
    }
    return choice;
}

SplitChoice find_best_split(MatrixView rows, std::span<const Label> labels,
                            const SplitRules& rules) {
    LINDORF_CHECK(rows.n_rows > 0, "cannot search for a split without rows");
    if (rows.n_cols == 0) return {};
    LINDORF_CHECK(labels.size() < no_position,
                  std::to_string(labels.size()) + " labels are more than a split can be scored on");
    ClassIndex classes = index_classes(labels);
    WorkingSet set = working_set_of_rows(rows, classes, nullptr);
    PairedCounts counts = count_paired(classes, std::min(rows.n_rows, labels.size()));
    ScratchSlots scratch(1);
    return search_node(set, {0, rows.n_rows}, counts.node(), rules, scratch, nullptr);
}

SplitChoice find_best_split(MatrixView rows, std::span<const Label> labels) {
    SplitRules rules;
    rules.min_leaf = 0;
    return find_best_split(rows, labels, rules);
}

}  // namespace lindorf
