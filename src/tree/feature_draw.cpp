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
        std::size_t j = i + draw_below(stream, draw_range(n - i));
        std::swap(order_[i], order_[j]);
        std::uint32_t f = order_[i];
        if (divides_node(f)) chosen_.push_back(f);
    }
    std::sort(chosen_.begin(), chosen_.end());
    return chosen_;
}

std::span<const std::uint32_t> FeatureDraw::features(KeyedStream& stream,
                                                     const BatchDivides& divide) {
    // The draws of a candidate never depend on the answers about earlier ones, and the search
    // can only end at the last candidate a batch asks about: the same draws, the same features.
    std::iota(order_.begin(), order_.end(), 0u);
    chosen_.clear();
    const std::size_t n = order_.size();
    std::size_t i = 0;
    while (i < n && chosen_.size() < rules_.max_features) {
        const std::size_t batch = std::min<std::size_t>(rules_.max_features - chosen_.size(), n - i);
        for (std::size_t k = i; k < i + batch; ++k)
            std::swap(order_[k], order_[k + draw_below(stream, draw_range(n - k))]);
        answers_.assign(batch, 0);
        divide({order_.data() + i, batch}, answers_);
        for (std::size_t k = 0; k < batch; ++k)
            if (answers_[k] != 0) chosen_.push_back(order_[i + k]);
        i += batch;
    }
    std::sort(chosen_.begin(), chosen_.end());
    return chosen_;
}

}  // namespace lindorf
