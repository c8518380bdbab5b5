#include "sparse/sparse_grow.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "splitting/partition.hpp"
#include "splitting/split_search.hpp"
#include "support/error.hpp"
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
    std::uint32_t depth;
    std::uint32_t parent;  // no_parent for the root
    bool is_left;
    std::uint32_t weight_begin;  // total weight of the rows ordered before the node's range
};

struct Split {
    SplitChoice choice;
    std::size_t n_left = 0;
    std::uint32_t left_weight = 0;
};

class SparseGrowth {
  public:
    SparseGrowth(SparseSet& sparse, const GrowRules& rules, WorkerPool* pool)
        : sparse_(sparse), set_(sparse.rows), rules_(rules), pool_(pool), sides_(set_.n_rows),
          draw_(rules, set_.n_cols), tally_(set_.class_labels.size()),
          scratch_(pool == nullptr ? 1 : pool->threads()) {}

    Tree grow();

  private:
    // The node's stored values of feature f, sorted by value; empty when it stores none there
    // (every value is 0.0).
    std::span<const SparseEntry> values_of(const Pending& item, std::uint32_t f) const {
        const SparseEntry* begin = sparse_.stored.data() + item.stored.begin;
        const SparseEntry* end = sparse_.stored.data() + item.stored.end;
        const SparseEntry* first = std::partition_point(
            begin, end, [&](const SparseEntry& e) { return e.feature < f; });
        const SparseEntry* last = std::partition_point(
            first, end, [&](const SparseEntry& e) { return e.feature == f; });
        return {first, static_cast<std::size_t>(last - first)};
    }
    std::uint32_t place(const Pending& item);
    void make_leaf(std::uint32_t index);
    bool divides(const Pending& item, std::uint32_t f) const;
    void lay_out(const Pending& item, std::span<const std::uint32_t> features, WorkerPool* pool);
    std::optional<Split> split_of(const Pending& item, WorkerPool* pool);
    void divide(const Pending& item, const Split& split, std::vector<Pending>& pending);

    SparseSet& sparse_;
    WorkingSet& set_;
    const GrowRules& rules_;
    WorkerPool* pool_;
    SideFlags sides_;
    FeatureDraw draw_;
    NodeTally tally_;
    ScratchSlots scratch_;
    Tree tree_;
    std::vector<std::uint32_t> all_features_;
    std::vector<Entry> laid_out_;
    std::vector<std::span<const Entry>> columns_;
    std::vector<SparseEntry> right_;  // the right side of a division of stored values
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

void SparseGrowth::make_leaf(std::uint32_t index) {
    tree_.nodes[index] =
        Node{.is_leaf = true, .prediction = set_.class_labels[majority_class(tally_)]};
    if (!rules_.record_stats) return;
    tree_.stats[index].counts = static_cast<std::uint32_t>(tree_.class_counts.size());
    tree_.stats[index].n_counts = static_cast<std::uint32_t>(tally_.present.size());
    for (std::uint32_t c : tally_.present)
        tree_.class_counts.push_back({set_.class_labels[c], tally_.counts[c]});
}

// As feature_draw.hpp's divides: two numbers differ among the node's values, its zeros included.
bool SparseGrowth::divides(const Pending& item, std::uint32_t f) const {
    const std::span<const SparseEntry> values = values_of(item, f);
    const std::size_t numbers = static_cast<std::size_t>(
        std::partition_point(values.begin(), values.end(),
                             [](const SparseEntry& e) { return !std::isnan(e.value); }) -
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
        const std::span<const SparseEntry> values = values_of(item, features[k]);
        std::uint32_t* counts = lease->counts(set_.class_labels.size());
        for (std::uint32_t c : tally_.present) counts[c] = 0;
        std::vector<std::uint8_t>& marks = lease->marks;
        if (marks.size() < set_.n_rows) marks.resize(set_.n_rows, 0);
        for (const SparseEntry& e : values) {
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
        for (const SparseEntry& e : values) marks[e.row] = 0;
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

std::optional<Split> SparseGrowth::split_of(const Pending& item, WorkerPool* pool) {
    std::span<const std::uint32_t> features;
    if (draw_.active()) {
        features = draw_.features(item.depth, item.weight_begin,
                                  [&](std::uint32_t f) { return divides(item, f); });
    } else {
        // A feature the node stores nothing of holds one value, 0.0: it scores nothing.
        all_features_.clear();
        for (std::size_t k = item.stored.begin; k < item.stored.end; ++k)
            if (all_features_.empty() || all_features_.back() != sparse_.stored[k].feature)
                all_features_.push_back(sparse_.stored[k].feature);
        features = all_features_;
    }
    Split split;
    if (!features.empty()) {
        lay_out(item, features, pool);
        const SplitRules search{rules_.impurity, rules_.min_leaf, features};
        split.choice =
            search_node(set_, item.range, counts_of(tally_), search, columns_, scratch_, pool);
    }
    // Zeros go to one side, the stored values of the split feature each to theirs.
    const bool zeros_left = 0.0f < split.choice.threshold;
    for (std::size_t i = item.range.begin; i < item.range.end; ++i)
        sides_.mark(set_.node_rows[i].row, zeros_left);
    for (const SparseEntry& e : values_of(item, split.choice.feature))
        sides_.mark(e.row, e.value < split.choice.threshold);
    const RowReader<false> rows(set_);
    std::uint32_t left_weight = 0;
    for (std::size_t i = item.range.begin; i < item.range.end; ++i) {
        const std::uint32_t local = set_.node_rows[i].row;
        if (!sides_.left(local)) continue;
        ++split.n_left;
        left_weight += rows.weight(local);
    }
    if (split.n_left == 0 || split.n_left == item.range.size()) return std::nullopt;
    // The left side's weight places the right child's node stream, and checks the fallback.
    if (draw_.active() || rules_.min_leaf > 1) {
        split.left_weight = left_weight;
        if (left_weight < rules_.min_leaf || tally_.total - left_weight < rules_.min_leaf)
            return std::nullopt;
    }
    return split;
}

// The node's rows, and its stored values, each divided stably by side, the left side first: each
// child's stored values are again its own stretch, feature after feature, sorted by value.
void SparseGrowth::divide(const Pending& item, const Split& split, std::vector<Pending>& pending) {
    {
        auto lease = scratch_.claim();
        partition_node_rows(set_, item.range, split.n_left, sides_, *lease);
    }
    const std::span<SparseEntry> values(sparse_.stored.data() + item.stored.begin,
                                        item.stored.size());
    right_.clear();
    std::size_t left = 0;
    for (const SparseEntry& e : values) {
        if (sides_.left(e.row))
            values[left++] = e;
        else
            right_.push_back(e);
    }
    std::copy(right_.begin(), right_.end(), values.begin() + static_cast<std::ptrdiff_t>(left));
    const std::size_t middle = item.range.begin + split.n_left;
    const std::size_t stored_middle = item.stored.begin + left;
    pending.push_back({{middle, item.range.end},
                       {stored_middle, item.stored.end},
                       item.depth + 1,
                       0,
                       false,
                       item.weight_begin + split.left_weight});
    pending.push_back({{item.range.begin, middle},
                       {item.stored.begin, stored_middle},
                       item.depth + 1,
                       0,
                       true,
                       item.weight_begin});
}

Tree SparseGrowth::grow() {
    std::vector<Pending> pending{
        {{0, set_.n_rows}, {0, sparse_.stored.size()}, 0, no_parent, false, 0}};
    while (!pending.empty()) {
        if (rules_.stop != nullptr) rules_.stop->check();
        const Pending item = pending.back();
        pending.pop_back();
        const std::uint32_t index = place(item);
        tally_node(set_,
                   std::span<const Entry>(set_.node_rows).subspan(item.range.begin,
                                                                  item.range.size()),
                   tally_);
        if (rules_.record_stats)
            tree_.stats[index] = NodeStats{.weight = tally_.total,
                                           .impurity = node_impurity(tally_, rules_.impurity)};
        const std::size_t work = item.range.size() + item.stored.size();
        WorkerPool* pool = work >= shared_from ? pool_ : nullptr;
        const bool stops = item.depth == rules_.max_depth || tally_.present.size() == 1 ||
                           tally_.total < rules_.min_split || tally_.total / 2 < rules_.min_leaf;
        std::optional<Split> split;
        if (!stops) split = split_of(item, pool);
        if (!split) {
            make_leaf(index);
            continue;
        }
        tree_.nodes[index] = Node{.is_leaf = false,
                                  .feature = split->choice.feature,
                                  .threshold = split->choice.threshold};
        divide(item, *split, pending);
        pending[pending.size() - 1].parent = index;
        pending[pending.size() - 2].parent = index;
    }
    return std::move(tree_);
}

}  // namespace

Tree grow_sparse(SparseSet& set, const GrowRules& rules, WorkerPool* pool) {
    return SparseGrowth(set, rules, pool).grow();
}

Tree grow_tree(const SparseColumns& x, std::span<const Label> labels,
               std::span<const std::uint32_t> weights, const GrowRules& rules, WorkerPool* pool) {
    LINDORF_CHECK(weights.empty() || weights.size() == x.n_rows,
                  "cannot weigh " + std::to_string(x.n_rows) + " rows with " +
                      std::to_string(weights.size()) + " weights");
    const SparseOrder order = sort_sparse(x, pool);
    const std::vector<std::uint32_t> ones(weights.empty() ? x.n_rows : 0, 1);
    SparseSet set =
        sparse_set_of_draws(order, labels, draws_of_weights(weights.empty() ? ones : weights));
    return grow_sparse(set, rules, pool);
}

}  // namespace lindorf
