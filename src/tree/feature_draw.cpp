#include "tree/feature_draw.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "support/streams.hpp"

namespace lindorf {

bool divides(std::span<const Entry> column, bool learn_nan) {
    if (column.empty() || std::isnan(column.front().value)) return false;
    auto numbers_end = std::partition_point(column.begin(), column.end(),
                                            [](const Entry& e) { return !std::isnan(e.value); });
    return column.front().value < (numbers_end - 1)->value ||
           (learn_nan && numbers_end != column.end());
}

FeatureDraw::FeatureDraw(const GrowRules& rules, std::size_t n_cols)
    : rules_(rules), active_(rules.max_features > 0 && rules.max_features < n_cols) {
    if (!active_) return;
    order_.resize(n_cols);
    chosen_.reserve(rules.max_features);
    for (std::size_t i = 0; i < n_cols; ++i) ranges_.push_back(draw_range(n_cols - i));
}

void FeatureDraw::sort_chosen() {
    // Distinct features, few of them nearly always.
    const std::size_t n = chosen_.size();
    if (n > 16) {
        std::sort(chosen_.begin(), chosen_.end());
        return;
    }
    sorted_.resize(n);
    line_up_by_rank(
        n, [&](std::size_t k) { return chosen_[k]; },
        [&](std::size_t rank, std::size_t k) { sorted_[rank] = chosen_[k]; });
    chosen_.swap(sorted_);
}

std::span<const std::uint32_t> FeatureDraw::features(const WorkingSet& set, NodeRange range,
                                                     std::uint64_t path) {
    KeyedStream stream = node_stream(rules_.node_key, path);
    return features(set, range, stream);
}

std::span<const std::uint32_t> FeatureDraw::features(const WorkingSet& set, NodeRange range,
                                                     KeyedStream& stream) {
    const bool learn_nan = rules_.nan_side == NanSide::learned;
    return features(stream, [&](std::uint32_t f) {
        return divides(set.column(f, range.begin, range.end), learn_nan);
    });
}

std::span<const std::uint32_t> FeatureDraw::features(
    std::uint64_t path, const std::function<bool(std::uint32_t)>& divides_node) {
    KeyedStream stream = node_stream(rules_.node_key, path);
    return features(stream, divides_node);
}

std::span<const std::uint32_t> FeatureDraw::features(
    KeyedStream& stream, const std::function<bool(std::uint32_t)>& divides_node) {
    // A partial Fisher-Yates shuffle, one draw per feature looked at.
    std::iota(order_.begin(), order_.end(), 0u);
    chosen_.clear();
    const std::size_t n = order_.size();
    for (std::size_t i = 0; i < n && chosen_.size() < rules_.max_features; ++i) {
        std::swap(order_[i], order_[draw_at(stream, i)]);
        std::uint32_t f = order_[i];
        if (divides_node(f)) chosen_.push_back(f);
    }
    sort_chosen();
    return chosen_;
}

}  // namespace lindorf
