// The exact path's node work: whole-number weights, one output, every value a candidate, NaN
// right, scores by the single-precision information gain or the integer Gini of the split
// search. The trees of train_tree_np, node for node.
#include <algorithm>
#include <cmath>
#include <limits>

#include "criteria/impurity.hpp"
#include "splitting/partition.hpp"
#include "support/error.hpp"
#include "tree/feature_draw.hpp"
#include "tree/node_columns.hpp"
#include "tree/node_tally.hpp"
#include "tree/node_work.hpp"

namespace lindorf {

namespace {

std::uint32_t least_weight(double weight) {
    if (!(weight > 0.0)) return 0;
    return weight >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(std::ceil(weight));
}

class ExactWork final : public NodeWork {
  public:
    ExactWork(WorkingSet& set, const GrowRules& rules)
        : set_(set),
          rules_(rules),
          tally_(set.class_labels.size()),
          draw_(rules, set.n_cols),
          left_counts_(std::max<std::size_t>(set.class_labels.size(), 1), 0),
          min_leaf_(least_weight(rules.min_leaf)) {}

    NodeFacts take(NodeRange range, bool own_rows) override {
        range_ = range;
        const std::span<const Entry> rows =
            own_rows ? std::span<const Entry>(set_.node_rows).subspan(range.begin, range.size())
                     : set_.column(0, range.begin, range.end);
        tally_node(set_, rows, tally_);
        NodeFacts facts;
        facts.weight = tally_.total;
        facts.rows = static_cast<std::uint32_t>(range.size());
        facts.pure = tally_.present.size() == 1;
        facts.label = label_ = set_.class_labels[majority_class(tally_)];
        if (rules_.record_stats || rules_.min_impurity_decrease > 0.0 || rules_.max_leaf_nodes > 0)
            facts.impurity =
                output_impurity(rules_.impurity, tally_.present, tally_.counts.data(), tally_.total);
        impurity_ = facts.impurity;
        return facts;
    }

    // The search's choice, or nothing when it must stay a leaf. Only the fallback split (nothing
    // scored above 0) can leave a side empty or too light; such a node cannot be divided.
    std::optional<NodeSplit> split(const NodeAt& at, ScratchSlots& scratch,
                                   WorkerPool* pool) override {
        NodeSplit split;
        if (at.sorts_own) {
            split.choice = own_choice(at, scratch, pool);
            split.column = own_.column(set_, range_, split.choice.feature);
        } else {
            std::span<const std::uint32_t> features;
            if (draw_.active()) features = draw_.features(set_, range_, at.path);
            // When no feature can divide the node, nothing scores above 0 in a search of them
            // all either: the answer is the fallback, feature 0 at 0.0, which may still divide
            // the rows.
            if (!draw_.active() || !features.empty()) {
                const SplitRules search{rules_.impurity, min_leaf_, features,
                                        rules_.min_leaf_rows};
                split.choice = search_node(set_, range_, counts_of(tally_), search, scratch, pool);
            }
            split.column = set_.column(split.choice.feature, range_.begin, range_.end);
        }
        const std::span<const Entry> column = split.column;
        split.n_left = left_size(column, split.choice.threshold);
        const std::size_t n_right = range_.size() - split.n_left;
        if (split.n_left == 0 || n_right == 0) return std::nullopt;
        if (split.n_left < rules_.min_leaf_rows || n_right < rules_.min_leaf_rows)
            return std::nullopt;
        // Only the fallback can leave a side too light.
        if (min_leaf_ > 1) {
            const std::uint32_t left_weight = total_weight(set_, column.first(split.n_left));
            if (left_weight < min_leaf_ || tally_.total - left_weight < min_leaf_)
                return std::nullopt;
        }
        if (at.measure) split.decrease = decrease(column.first(split.n_left), at.root_weight);
        return split;
    }

    void leaf(Tree& tree, std::uint32_t index, const Bounds&, bool record) override {
        tree.nodes[index] = Node{.is_leaf = true, .prediction = label_};
        if (!record) return;
        // A leaf lists only the classes present in it: a tree's lists then hold at most one
        // entry per training row, where a count for every class would take leaves times classes.
        tree.stats[index].values = static_cast<std::uint32_t>(tree.values.size());
        tree.stats[index].n_values = static_cast<std::uint32_t>(tally_.present.size());
        for (std::uint32_t c : tally_.present)
            tree.values.push_back({set_.class_labels[c], static_cast<double>(tally_.counts[c])});
    }

  private:
    // The node's choice among its drawn features, which it gathers and sorts itself.
    SplitChoice own_choice(const NodeAt& at, ScratchSlots& scratch, WorkerPool* pool) {
        own_.clear(range_);
        std::span<const std::uint32_t> features = draw_.features(
            at.path, [&](std::uint32_t f) { return own_.gather(set_, range_, f); });
        if (features.empty()) return {};
        const SplitRules search{rules_.impurity, min_leaf_, features, rules_.min_leaf_rows};
        return search_node(set_, range_, counts_of(tally_), search, own_.sort(features, pool),
                           scratch, pool);
    }

    // The weighted impurity decrease of sending `left` left, by criteria/impurity.hpp.
    double decrease(std::span<const Entry> left, double root_weight) {
        for (std::uint32_t c : tally_.present) left_counts_[c] = 0;
        std::uint32_t left_total = 0;
        auto count = [&](const auto& rows) {
            for (const Entry& entry : left) {
                const std::uint32_t weight = rows.weight(entry.row);
                left_counts_[rows.cls(entry.row)] += weight;
                left_total += weight;
            }
        };
        if (set_.coding.packed)
            count(RowReader<true>(set_));
        else
            count(RowReader<false>(set_));
        const std::uint32_t right_total = tally_.total - left_total;
        std::vector<std::uint32_t>& right = right_counts_;
        right.resize(left_counts_.size());
        for (std::uint32_t c : tally_.present) right[c] = tally_.counts[c] - left_counts_[c];
        const double left_impurity =
            output_impurity(rules_.impurity, tally_.present, left_counts_.data(), left_total);
        const double right_impurity =
            output_impurity(rules_.impurity, tally_.present, right.data(), right_total);
        const double gain = split_gain(impurity_, left_impurity, left_total, right_impurity,
                                       right_total, tally_.total);
        return weighted_decrease(gain, tally_.total, root_weight);
    }

    WorkingSet& set_;
    const GrowRules& rules_;
    NodeTally tally_;
    FeatureDraw draw_;
    NodeColumns own_;
    NodeRange range_;
    double impurity_ = 0.0;
    Label label_ = 0;
    std::vector<std::uint32_t> left_counts_;
    std::vector<std::uint32_t> right_counts_;
    std::uint32_t min_leaf_;
};

}  // namespace

std::unique_ptr<NodeWork> exact_node_work(WorkingSet& set, const GrowRules& rules) {
    return std::make_unique<ExactWork>(set, rules);
}

std::unique_ptr<NodeWork> node_work(WorkingSet& set, const GrowRules& rules) {
    if (set.is_regression()) return regression_node_work(set, rules);
    return set.is_general() ? general_node_work(set, rules) : exact_node_work(set, rules);
}

}  // namespace lindorf
