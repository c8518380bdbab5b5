#include "criteria/classes.hpp"

#include <algorithm>

namespace lindorf {

namespace {

// Labels drawn from a narrow range are numbered through a direct table; the range limit keeps
// the table no larger than a few times the list itself.
bool fits_table(Label low, Label high, std::size_t n) {
    std::uint64_t span = std::uint64_t{high} - low + 1;
    return span <= std::max<std::uint64_t>(1024, 4 * std::uint64_t{n});
}

ClassIndex index_by_table(std::span<const Label> labels, Label low, Label high) {
    std::vector<std::uint32_t> table(std::size_t{high} - low + 1, 0);
    for (Label label : labels) table[label - low] = 1;
    ClassIndex index;
    for (std::size_t v = 0; v < table.size(); ++v) {
        if (table[v] == 0) continue;
        table[v] = static_cast<std::uint32_t>(index.labels.size());
        index.labels.push_back(static_cast<Label>(low + v));
    }
    index.of.resize(labels.size());
    for (std::size_t i = 0; i < labels.size(); ++i) index.of[i] = table[labels[i] - low];
    return index;
}

ClassIndex index_by_search(std::span<const Label> labels) {
    ClassIndex index;
    index.labels.assign(labels.begin(), labels.end());
    std::sort(index.labels.begin(), index.labels.end());
    index.labels.erase(std::unique(index.labels.begin(), index.labels.end()), index.labels.end());
    index.of.resize(labels.size());
    for (std::size_t i = 0; i < labels.size(); ++i) {
        auto at = std::lower_bound(index.labels.begin(), index.labels.end(), labels[i]);
        index.of[i] = static_cast<std::uint32_t>(at - index.labels.begin());
    }
    return index;
}

}  // namespace

ClassIndex index_classes(std::span<const Label> labels) {
    if (labels.empty()) return {};
    auto [low, high] = std::minmax_element(labels.begin(), labels.end());
    if (fits_table(*low, *high, labels.size())) return index_by_table(labels, *low, *high);
    return index_by_search(labels);
}

}  // namespace lindorf
