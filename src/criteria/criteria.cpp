#include "criteria/criteria.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <vector>

#include "criteria/classes.hpp"
#include "support/error.hpp"

namespace lindorf {

namespace {

std::vector<std::uint32_t> all_classes(std::size_t count) {
    std::vector<std::uint32_t> classes(count);
    std::iota(classes.begin(), classes.end(), 0u);
    return classes;
}

void check_countable(std::size_t n) {
    LINDORF_CHECK(n <= std::numeric_limits<std::uint32_t>::max(),
                  "a label list of " + std::to_string(n) + " entries is too long to score");
}

}  // namespace

float entropy(std::span<const Label> labels) {
    check_countable(labels.size());
    ClassIndex index = index_classes(labels);
    std::vector<std::uint32_t> counts(index.labels.size(), 0);
    for (std::uint32_t c : index.of) ++counts[c];
    std::vector<std::uint32_t> classes = all_classes(counts.size());
    return entropy_of_counts(classes, counts.data(), static_cast<std::uint32_t>(labels.size()));
}

float information_gain_criterion(std::span<const float> values, std::span<const Label> labels,
                                 float threshold) {
    check_countable(labels.size());
    ClassIndex index = index_classes(labels);
    std::size_t paired = std::min(values.size(), labels.size());
    std::vector<std::uint32_t> all_counts(index.labels.size(), 0);
    std::vector<std::uint32_t> paired_counts(index.labels.size(), 0);
    std::vector<std::uint32_t> left_counts(index.labels.size(), 0);
    std::uint32_t left_total = 0;
    for (std::size_t i = 0; i < labels.size(); ++i) ++all_counts[index.of[i]];
    for (std::size_t i = 0; i < paired; ++i) {
        std::uint32_t c = index.of[i];
        ++paired_counts[c];
        if (values[i] < threshold) {
            ++left_counts[c];
            ++left_total;
        }
    }
    std::vector<std::uint32_t> classes = all_classes(index.labels.size());
    NodeCounts node;
    node.present = classes;
    node.counts = paired_counts.data();
    node.total = static_cast<std::uint32_t>(paired);
    node.parent_entropy =
        entropy_of_counts(classes, all_counts.data(), static_cast<std::uint32_t>(labels.size()));
    node.parent_size = static_cast<float>(labels.size());
    return gain_from_counts(node, left_counts.data(), left_total);
}

}  // namespace lindorf
