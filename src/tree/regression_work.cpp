// A regression tree's node work: the tally, split search and values of splitting/regression_*,
// under the growth driver's rules (node_work.hpp). Every node records its values (one per
// output: the mean, or the median), inner nodes included, as scikit-learn's trees hold them.
#include <algorithm>
#include <cmath>
#include <vector>

#include "criteria/impurity.hpp"
#include "splitting/column_rules.hpp"
#include "splitting/partition.hpp"
#include "splitting/regression_sweep.hpp"
#include "splitting/regression_tally.hpp"
#include "support/error.hpp"
#include "support/streams.hpp"
#include "tree/feature_draw.hpp"
#include "tree/node_columns.hpp"
#include "tree/node_work.hpp"

namespace lindorf {

namespace {

class RegressionWork final : public NodeWork {
  public:
    RegressionWork(WorkingSet& set, const GrowRules& rules)
        : set_(set),
          rules_(rules),
          tally_(rules.loss),
          sides_(rules.loss),
          draw_(rules, set.n_cols),
          min_leaf_units_(units_at_least(rules.min_leaf)) {}

    NodeFacts take(NodeRange range, bool own_rows) override {
        range_ = range;
        own_rows_ = own_rows;
        node_ = own_rows ? &own_tally(range) : &tally_.take(set_, set_.regression, range);
        NodeFacts facts;
        facts.weight = weight_of(node_->units);
        facts.impurity = node_->impurity;
        facts.rows = static_cast<std::uint32_t>(range.size());
        facts.pure = node_->all_constant();
        facts.values = node_->value;
        return facts;
    }

    std::optional<NodeSplit> split(const NodeAt& at, ScratchSlots& scratch,
                                   WorkerPool* pool) override {
        KeyedStream stream = node_stream(rules_.node_key, at.path);
        std::span<const std::uint32_t> features;
        if (own_rows_) {
            own_.clear(range_);
            const bool learn = rules_.nan_side == NanSide::learned;
            features = draw_.features(stream, [&](std::uint32_t f) {
                return own_.gather(set_, range_, f, learn);
            });
            if (features.empty()) return std::nullopt;
        } else if (draw_.active()) {
            features = draw_.features(set_, range_, stream);
            if (features.empty()) return std::nullopt;
        }
        draws_.clear();
        if (rules_.splitter == Splitter::random) {
            const std::size_t n = draw_.active() ? features.size() : set_.n_cols;
            for (std::size_t k = 0; k < 2 * n; ++k) draws_.push_back(stream.next_u64());
        }
        const RegressionRules search{min_leaf_units_,
                                     rules_.min_leaf_rows,
                                     rules_.nan_side == NanSide::learned,
                                     features,
                                     draws_,
                                     rules_.monotonic,
                                     at.bounds.lower,
                                     at.bounds.upper};
        const RegressionChoice choice =
            own_rows_ ? regression_search(set_, own_.sort(features, pool), set_.regression, *node_,
                                          search, scratch, pool)
                      : regression_search(set_, range_, set_.regression, *node_, search, scratch,
                                          pool);
        if (!choice.found) return std::nullopt;
        NodeSplit split;
        split.choice = {choice.feature, choice.threshold, choice.nan_left};
        split.column = own_rows_ ? own_.column(set_, range_, choice.feature)
                                 : set_.column(choice.feature, range_.begin, range_.end);
        const std::span<const Entry> column = split.column;
        split.n_left = left_size(column, choice.threshold);
        split.n_tail_left = choice.nan_left ? column.size() - numbers_in(column) : 0;
        // Where the children's bounds meet under a constraint: the mean of their values.
        if (!rules_.monotonic.empty() && rules_.monotonic[choice.feature] != 0)
            split.middle = (choice.left_value + choice.right_value) / 2;
        const std::size_t left_rows = split.n_left + split.n_tail_left;
        LINDORF_CHECK(left_rows > 0 && left_rows < range_.size(),
                      "a regression split leaves a side empty");
        if (at.measure)
            split.decrease = weighted_decrease(gain_of(column, split), weight_of(node_->units),
                                               at.root_weight);
        return split;
    }

    // The node's values were recorded when it was taken; under monotonic constraints a leaf's
    // value is clipped to its bounds.
    void leaf(Tree& tree, std::uint32_t index, const Bounds& bounds, bool record) override {
        tree.nodes[index] = Node{.is_leaf = true};
        if (!record || rules_.monotonic.empty()) return;
        LeafValue& value = tree.values[tree.stats[index].values];
        value.value = std::clamp(value.value, bounds.lower, bounds.upper);
    }

  private:
    // The tally of a node that sorts its own features. Its sums round in the order of their
    // terms, so they take the rows in the order of the first feature's sorted block, as a node
    // of the blocks does: the node's rows (ascending) sorted by that feature, ties kept.
    const RegressionNode& own_tally(NodeRange range) {
        own_.clear(range);
        locals_.clear();
        for (const Entry& entry : own_.column(set_, range, 0)) locals_.push_back(set_.local(entry.row));
        return tally_.summarise(set_.regression, locals_);
    }

    double weight_of(std::uint64_t units) const {
        return static_cast<double>(units) * set_.regression.unit;
    }

    std::uint64_t units_at_least(double weight) const {
        if (!(weight > 0.0)) return 0;
        const double units = std::ceil(weight / set_.regression.unit);
        return units >= 0x1p63 ? std::uint64_t{1} << 63 : static_cast<std::uint64_t>(units);
    }

    // The split's gain, from its sides' impurities as their own tallies will find them.
    double gain_of(std::span<const Entry> column, const NodeSplit& split) {
        left_.clear();
        right_.clear();
        const std::size_t tail = column.size() - split.n_tail_left;
        for (std::size_t i = 0; i < column.size(); ++i)
            (i < split.n_left || i >= tail ? left_ : right_).push_back(set_.local(column[i].row));
        const RegressionRows& rows = set_.regression;
        const RegressionNode& l = sides_.summarise(rows, left_);
        const double left_impurity = l.impurity;
        const std::uint64_t left_units = l.units;
        const RegressionNode& r = sides_.summarise(rows, right_);
        const double unit = rows.scoring_unit();
        return split_gain(node_->impurity, left_impurity, static_cast<double>(left_units) * unit,
                          r.impurity, static_cast<double>(r.units) * unit,
                          static_cast<double>(node_->units) * unit);
    }

    WorkingSet& set_;
    const GrowRules& rules_;
    RegressionTally tally_;
    RegressionTally sides_;  // the children's, for the gain of a split
    FeatureDraw draw_;
    std::uint64_t min_leaf_units_;
    NodeRange range_;
    const RegressionNode* node_ = nullptr;
    std::vector<std::uint64_t> draws_;
    std::vector<std::uint32_t> left_, right_;
    bool own_rows_ = false;  // the node sorts its drawn features itself
    NodeColumns own_;
    std::vector<std::uint32_t> locals_;
};

}  // namespace

std::unique_ptr<NodeWork> regression_node_work(WorkingSet& set, const GrowRules& rules) {
    return std::make_unique<RegressionWork>(set, rules);
}

}  // namespace lindorf
