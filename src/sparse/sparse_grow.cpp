#include "sparse/sparse_grow.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "criteria/impurity.hpp"
#include "splitting/partition.hpp"
#include "splitting/split_search.hpp"
#include "sparse/sparse_rows.hpp"
#include "support/error.hpp"
#include "support/streams.hpp"
#include "tree/feature_draw.hpp"
#include "tree/grow_engine.hpp"
#include "tree/node_tally.hpp"

namespace lindorf {

namespace {

constexpr std::uint32_t no_parent = 0xFFFFFFFFu;
// Nodes with at least this many rows and stored values share their features' work with the pool.
constexpr std::size_t shared_from = 1 << 16;

struct Pending {
    NodeRange range;   // of node_rows
    NodeRange stored;  // of the set's stored values: the node's, feature after feature
    std::vector<FeatureRun> runs;  // the features of `stored`, with their counts
    std::uint32_t depth;
    std::uint32_t parent;  // no_parent for the root
    bool is_left;
    std::uint64_t path;  // support/streams.hpp child_path
};

struct Split {
    SplitChoice choice;
    std::size_t n_left = 0;
};

// The least whole weight at or above `weight`, as the exact path's searches take it.
std::uint32_t least_weight(double weight) {
    if (!(weight > 0.0)) return 0;
    return weight >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(std::ceil(weight));
}

class SparseGrowth {
  public:
    SparseGrowth(SparseSet& sparse, const GrowRules& rules, WorkerPool* pool,
                 std::size_t group_entries)
        : sparse_(sparse), set_(sparse.rows), rules_(rules), group_entries_(group_entries),
          pool_(pool), sides_(set_.n_rows),
          draw_(rules, set_.n_cols), tally_(set_.class_labels.size()),
          scratch_(pool == nullptr ? 1 : pool->threads()) {
        // A share of the total weight on either side is a least weight like any other.
        if (rules_.min_leaf_fraction > 0.0) {
            double total = 0.0;
            const RowReader<false> rows(set_);
            for (std::size_t r = 0; r < set_.n_rows; ++r) total += rows.weight(r);
            rules_.min_leaf = std::max(rules_.min_leaf, rules_.min_leaf_fraction * total);
        }
        min_leaf_ = least_weight(rules_.min_leaf);
        // A zero rows' stand-in is one entry for many rows: a search counts rows per side only
        // as entries. Where every row weighs 1, a side's rows are its weight, and the least
        // weight counts them.
        search_min_leaf_ = min_leaf_;
        search_min_rows_ = rules_.min_leaf_rows;
        if (rules_.min_leaf_rows > 1) {
            const RowReader<false> rows(set_);
            for (std::size_t r = 0; r < set_.n_rows; ++r)
                LINDORF_CHECK(rows.weight(r) == 1,
                              "growth from stored values counts rows per side only when every "
                              "row weighs 1");
            search_min_leaf_ = std::max(min_leaf_, rules_.min_leaf_rows);
            search_min_rows_ = 1;
        }
    }

    Tree grow();

  private:
    // The node's stored values of feature f, sorted by value; empty when it stores none there
    // (every value is 0.0). run_starts_ must hold the node's.
    std::span<const Entry> values_of(const Pending& item, std::uint32_t f) const {
        const auto run = std::partition_point(
            item.runs.begin(), item.runs.end(),
            [&](const FeatureRun& r) { return r.feature < f; });
        if (run == item.runs.end() || run->feature != f) return {};
        const std::size_t i = static_cast<std::size_t>(run - item.runs.begin());
        return {sparse_.stored.data() + run_starts_[i], run->count};
    }
    // Where each of the node's runs starts among the stored values, into run_starts_.
    void find_runs(const Pending& item) {
        run_starts_.resize(item.runs.size());
        std::size_t at = item.stored.begin;
        for (std::size_t i = 0; i < item.runs.size(); ++i) {
            run_starts_[i] = at;
            at += item.runs[i].count;
        }
        LINDORF_CHECK(at == item.stored.end, "a node's runs do not cover its stored values");
    }
    std::uint32_t place(const Pending& item);
    bool stops(const Pending& item) const;
    void record(std::uint32_t index, const Pending& item);
    void make_leaf(std::uint32_t index);
    bool divides(const Pending& item, std::uint32_t f) const;
    void lay_out(const Pending& item, std::span<const std::uint32_t> features, WorkerPool* pool);
    SplitChoice search_group(const Pending& item, std::span<const std::uint32_t> features,
                             WorkerPool* pool);
    SplitChoice search(const Pending& item, std::span<const std::uint32_t> features,
                       WorkerPool* pool);
    std::optional<Split> split_of(const Pending& item, WorkerPool* pool);
    struct DividedRuns {
        std::vector<FeatureRun> left, right;  // the children's runs
        std::size_t n_left = 0;                // stored values that went left
    };
    DividedRuns divide_runs(const Pending& item);
    void divide(const Pending& item, const Split& split, std::vector<Pending>& pending);

    SparseSet& sparse_;
    WorkingSet& set_;
    GrowRules rules_;
    std::size_t group_entries_;
    std::uint32_t min_leaf_ = 0;
    std::uint32_t search_min_leaf_ = 0;  // the least weight and rows a search leaves per side
    std::uint32_t search_min_rows_ = 0;
    WorkerPool* pool_;
    SideFlags sides_;
    FeatureDraw draw_;
    NodeTally tally_;
    ScratchSlots scratch_;
    Tree tree_;
    std::vector<std::uint32_t> all_features_;
    std::vector<Entry> laid_out_;
    std::vector<std::span<const Entry>> columns_;
    std::vector<Entry> right_;  // the right side of a division of stored values
    std::vector<std::size_t> run_starts_;  // of the node being grown (find_runs)
};

std::uint32_t SparseGrowth::place(const Pending& item) {
    check_node_room(tree_, 1, max_tree_nodes);
    const auto index = static_cast<std::uint32_t>(tree_.nodes.size());
    tree_.nodes.emplace_back();
    if (rules_.record_stats) tree_.stats.emplace_back();
    if (item.parent != no_parent) {
        Node& parent = tree_.nodes[item.parent];
        (item.is_left ? parent.left : parent.right) = index;
    }
    return index;
}

// The exact path's stop rules (tree/grow.cpp), on the node's tally.
bool SparseGrowth::stops(const Pending& item) const {
    const double weight = tally_.total;
    const double rows = static_cast<double>(item.range.size());
    return item.depth == rules_.max_depth || tally_.present.size() == 1 ||
           weight < rules_.min_split || weight < 2.0 * rules_.min_leaf ||
           rows < rules_.min_split_rows || rows < 2.0 * rules_.min_leaf_rows;
}

void SparseGrowth::record(std::uint32_t index, const Pending& item) {
    if (!rules_.record_stats) return;
    tree_.stats[index] = NodeStats{
        .weight = static_cast<double>(tally_.total),
        .impurity = output_impurity(rules_.impurity, tally_.present, tally_.counts.data(),
                                    tally_.total),
        .rows = static_cast<std::uint32_t>(item.range.size())};
}

void SparseGrowth::make_leaf(std::uint32_t index) {
    tree_.nodes[index] =
        Node{.is_leaf = true, .prediction = set_.class_labels[majority_class(tally_)]};
    if (!rules_.record_stats) return;
    tree_.stats[index].values = static_cast<std::uint32_t>(tree_.values.size());
    tree_.stats[index].n_values = static_cast<std::uint32_t>(tally_.present.size());
    for (std::uint32_t c : tally_.present)
        tree_.values.push_back({set_.class_labels[c], static_cast<double>(tally_.counts[c])});
}

// As feature_draw.hpp's divides: two numbers differ among the node's values, its zeros included.
bool SparseGrowth::divides(const Pending& item, std::uint32_t f) const {
    const std::span<const Entry> values = values_of(item, f);
    const std::size_t numbers = static_cast<std::size_t>(
        std::partition_point(values.begin(), values.end(),
                             [](const Entry& e) { return !std::isnan(e.value); }) -
        values.begin());
    if (numbers == 0) return false;
    float low = values[0].value, high = values[numbers - 1].value;
    if (values.size() < item.range.size()) {  // some rows hold 0.0
        low = low > 0.0f ? 0.0f : low;
        high = high < 0.0f ? 0.0f : high;
    }
    return low < high;
}

// Each searched feature's stored values in the node with its zeros in their place, between the
// negative values and the positive ones and NaN: for each class of the zero rows, a made-up row
// past the set's rows that weighs their count and sits at the earliest position of any zero
// row.
void SparseGrowth::lay_out(const Pending& item, std::span<const std::uint32_t> features,
                           WorkerPool* pool) {
    const std::size_t live = tally_.present.size();
    const std::size_t made_up = set_.n_rows + features.size() * live;
    if (set_.row_class.size() < made_up) {
        set_.row_class.resize(made_up);
        set_.first.resize(made_up);
        set_.last.resize(made_up);
    }
    std::vector<std::size_t> offset(features.size() + 1, 0);
    for (std::size_t k = 0; k < features.size(); ++k)
        offset[k + 1] = offset[k] + live + values_of(item, features[k]).size();
    laid_out_.resize(offset.back());
    columns_.resize(features.size());
    const RowReader<false> rows(set_);
    parallel_for(pool, features.size(), [&](std::size_t k) {
        auto lease = scratch_.claim();
        const std::span<const Entry> values = values_of(item, features[k]);
        std::uint32_t* counts = lease->counts(set_.class_labels.size());
        for (std::uint32_t c : tally_.present) counts[c] = 0;
        std::vector<std::uint8_t>& marks = lease->marks;
        if (marks.size() < set_.n_rows) marks.resize(set_.n_rows, 0);
        for (const Entry& e : values) {
            counts[rows.cls(e.row)] += rows.weight(e.row);
            marks[e.row] = 1;
        }
        std::uint32_t earliest = no_position;
        for (std::size_t i = item.range.begin; i < item.range.end; ++i) {
            const std::uint32_t local = set_.node_rows[i].row;
            if (marks[local] == 0) {
                earliest = set_.first[local];  // node rows come in ascending first position
                break;
            }
        }
        for (const Entry& e : values) marks[e.row] = 0;
        Entry* out = laid_out_.data() + offset[k];
        Entry* const start = out;
        std::size_t i = 0;
        for (; i < values.size() && values[i].value < 0.0f; ++i)
            *out++ = {values[i].value, values[i].row};
        auto id = static_cast<std::uint32_t>(set_.n_rows + k * live);
        for (std::uint32_t c : tally_.present) {
            const std::uint32_t zeros = tally_.counts[c] - counts[c];
            if (zeros == 0) continue;
            set_.row_class[id] = {c, zeros};
            set_.first[id] = set_.last[id] = earliest;
            *out++ = {0.0f, id++};
        }
        for (; i < values.size(); ++i) *out++ = {values[i].value, values[i].row};
        columns_[k] = {start, static_cast<std::size_t>(out - start)};
    });
}

SplitChoice SparseGrowth::search_group(const Pending& item,
                                       std::span<const std::uint32_t> features,
                                       WorkerPool* pool) {
    lay_out(item, features, pool);
    const SplitRules rules{rules_.impurity, search_min_leaf_, features, search_min_rows_};
    return search_node(set_, item.range, counts_of(tally_), rules, columns_, scratch_, pool);
}

// The best split of the node over `features`, searched a group of features at a time, then over
// the groups' winners together: a group's winner is the best of its features (the lowest on a
// tie), so the best of the winners is the best of them all. A group that finds no split answers
// feature 0, which joins the winners only when it is one of the group's; it scores nothing there
// either.
SplitChoice SparseGrowth::search(const Pending& item, std::span<const std::uint32_t> features,
                                 WorkerPool* pool) {
    const std::size_t live = tally_.present.size();
    auto entries = [&](std::uint32_t f) { return live + values_of(item, f).size(); };
    std::vector<std::uint32_t> winners;
    for (std::size_t first = 0; first < features.size();) {
        std::size_t last = first + 1;
        for (std::size_t total = entries(features[first]);
             last < features.size() && total + entries(features[last]) <= group_entries_; ++last)
            total += entries(features[last]);
        const std::span<const std::uint32_t> group = features.subspan(first, last - first);
        if (first == 0 && last == features.size()) return search_group(item, group, pool);
        const std::uint32_t winner = search_group(item, group, pool).feature;
        if (std::binary_search(group.begin(), group.end(), winner)) winners.push_back(winner);
        first = last;
    }
    return winners.empty() ? SplitChoice{} : search_group(item, winners, pool);
}

std::optional<Split> SparseGrowth::split_of(const Pending& item, WorkerPool* pool) {
    std::span<const std::uint32_t> features;
    if (draw_.active()) {
        features = draw_.features(item.path, [&](std::uint32_t f) { return divides(item, f); });
    } else {
        // A feature the node stores nothing of holds one value, 0.0: it scores nothing.
        all_features_.clear();
        for (const FeatureRun& run : item.runs) all_features_.push_back(run.feature);
        features = all_features_;
    }
    Split split;
    if (!features.empty()) split.choice = search(item, features, pool);
    // Zeros go to one side, the stored values of the split feature each to theirs.
    const bool zeros_left = 0.0f < split.choice.threshold;
    for (std::size_t i = item.range.begin; i < item.range.end; ++i)
        sides_.mark(set_.node_rows[i].row, zeros_left);
    for (const Entry& e : values_of(item, split.choice.feature))
        sides_.mark(e.row, e.value < split.choice.threshold);
    const RowReader<false> rows(set_);
    std::uint32_t left_weight = 0;
    for (std::size_t i = item.range.begin; i < item.range.end; ++i) {
        const std::uint32_t local = set_.node_rows[i].row;
        if (!sides_.left(local)) continue;
        ++split.n_left;
        left_weight += rows.weight(local);
    }
    const std::size_t n_right = item.range.size() - split.n_left;
    if (split.n_left == 0 || n_right == 0) return std::nullopt;
    if (split.n_left < rules_.min_leaf_rows || n_right < rules_.min_leaf_rows) return std::nullopt;
    // Only the fallback can leave a side too light.
    if (min_leaf_ > 1 && (left_weight < min_leaf_ || tally_.total - left_weight < min_leaf_))
        return std::nullopt;
    return split;
}

// The node's stored values divided stably by side, the left side first, with each run divided
// as its values are, in one pass.
SparseGrowth::DividedRuns SparseGrowth::divide_runs(const Pending& item) {
    DividedRuns out;
    const std::span<Entry> values(sparse_.stored.data() + item.stored.begin, item.stored.size());
    right_.clear();
    std::size_t left = 0, k = 0;
    for (const FeatureRun& run : item.runs) {
        const std::size_t before = left;
        for (const std::size_t end = k + run.count; k < end; ++k) {
            const Entry e = values[k];
            if (sides_.left(e.row))
                values[left++] = e;
            else
                right_.push_back(e);
        }
        const auto went_left = static_cast<std::uint32_t>(left - before);
        if (went_left > 0) out.left.push_back({run.feature, went_left});
        if (went_left < run.count) out.right.push_back({run.feature, run.count - went_left});
    }
    std::copy(right_.begin(), right_.end(), values.begin() + static_cast<std::ptrdiff_t>(left));
    out.n_left = left;
    return out;
}

// The node's rows, and its stored values, each divided stably by side, the left side first: each
// child's stored values are again its own stretch, feature after feature, sorted by value.
void SparseGrowth::divide(const Pending& item, const Split& split, std::vector<Pending>& pending) {
    {
        auto lease = scratch_.claim();
        partition_node_rows(set_, item.range, split.n_left, sides_, *lease);
    }
    DividedRuns divided = divide_runs(item);
    const std::size_t left = divided.n_left;
    const std::size_t middle = item.range.begin + split.n_left;
    const std::size_t stored_middle = item.stored.begin + left;
    auto path = [&](bool side) {
        return child_path(item.path, split.choice.feature, split.choice.threshold, false, side);
    };
    pending.push_back({{middle, item.range.end},
                       {stored_middle, item.stored.end},
                       std::move(divided.right),
                       item.depth + 1,
                       0,
                       false,
                       path(false)});
    pending.push_back({{item.range.begin, middle},
                       {item.stored.begin, stored_middle},
                       std::move(divided.left),
                       item.depth + 1,
                       0,
                       true,
                       path(true)});
}

Tree SparseGrowth::grow() {
    std::vector<Pending> pending;
    pending.push_back(
        {{0, set_.n_rows}, {0, sparse_.stored.size()}, sparse_.runs, 0, no_parent, false, 0});
    while (!pending.empty()) {
        if (rules_.stop != nullptr) rules_.stop->check();
        const Pending item = std::move(pending.back());
        pending.pop_back();
        find_runs(item);
        const std::uint32_t index = place(item);
        tally_node(set_,
                   std::span<const Entry>(set_.node_rows).subspan(item.range.begin,
                                                                  item.range.size()),
                   tally_);
        record(index, item);
        const std::size_t work = item.range.size() + item.stored.size();
        WorkerPool* pool = work >= shared_from ? pool_ : nullptr;
        std::optional<Split> split;
        if (!stops(item)) split = split_of(item, pool);
        if (!split) {
            make_leaf(index);
            continue;
        }
        // As a leaf the node would give its majority label, which pruning makes it give.
        tree_.nodes[index] = Node{.is_leaf = false,
                                  .feature = split->choice.feature,
                                  .threshold = split->choice.threshold,
                                  .prediction = set_.class_labels[majority_class(tally_)]};
        divide(item, *split, pending);
        pending[pending.size() - 1].parent = index;
        pending[pending.size() - 2].parent = index;
    }
    return std::move(tree_);
}

}  // namespace

Tree grow_sparse(SparseSet& set, const GrowRules& rules, WorkerPool* pool,
                 std::size_t group_entries) {
    LINDORF_CHECK(group_entries > 0, "a node's features cannot be searched in empty groups");
    return SparseGrowth(set, rules, pool, group_entries).grow();
}

Tree grow_tree(const SparseColumns& x, std::span<const Label> labels,
               std::span<const std::uint32_t> weights, const GrowRules& rules, WorkerPool* pool) {
    LINDORF_CHECK(weights.empty() || weights.size() == x.n_rows,
                  "cannot weigh " + std::to_string(x.n_rows) + " rows with " +
                      std::to_string(weights.size()) + " weights");
    const std::vector<std::uint32_t> ones(weights.empty() ? x.n_rows : 0, 1);
    SparseSet set = sparse_set_of_matrix(
        x, labels, draws_of_weights(weights.empty() ? ones : weights), pool);
    return grow_sparse(set, rules, pool);
}

bool sparse_growth_follows(const SparseWeightedData& data, const GrowRules& rules, bool drawn) {
    // Rows per side are counted as weight, which they are when every row weighs 1.
    const bool unit = data.weights.empty() && data.real_weights.empty() && !drawn;
    if (data.n_targets > 0 || !exact_rules(data.without_rows(), rules) || !data.real_weights.empty() ||
        rules.max_leaf_nodes != 0 || rules.min_impurity_decrease > 0.0 ||
        (rules.min_leaf_rows > 1 && !unit))
        return false;
    std::uint64_t total = data.weights.empty() ? data.x.n_rows : 0;
    for (std::uint32_t w : data.weights) total += w;
    return total < no_position;
}

Tree grow_weighted(const SparseWeightedData& data, const GrowRules& rules, WorkerPool* pool) {
    check_weighted_data(data.without_rows());
    if (sparse_growth_follows(data, rules))
        return grow_tree(data.x, data.labels, data.weights, rules, pool);
    const FeatureMatrix dense = dense_matrix(data.x);
    return grow_weighted(data.with_rows(dense.view()), rules, pool);
}

}  // namespace lindorf
