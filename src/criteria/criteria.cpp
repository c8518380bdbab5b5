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

PairedCounts count_paired(const ClassIndex& classes, std::size_t paired) {
    check_countable(classes.of.size());
    PairedCounts counts;
    counts.present = all_classes(classes.labels.size());
    // Rows beyond the labels carry class 0 with weight 0, so a sweep may read slot 0 even when
    // there is no label at all: keep it there.
    const std::size_t slots = std::max<std::size_t>(classes.labels.size(), 1);
    counts.paired.assign(slots, 0);
    counts.all.assign(slots, 0);
    for (std::size_t i = 0; i < classes.of.size(); ++i) {
        ++counts.all[classes.of[i]];
        if (i < paired) ++counts.paired[classes.of[i]];
    }
    counts.paired_total = static_cast<std::uint32_t>(std::min(paired, classes.of.size()));
    counts.label_total = static_cast<std::uint32_t>(classes.of.size());
    return counts;
}

NodeCounts PairedCounts::node() const {
    NodeCounts node;
    node.present = present;
    node.counts = paired.data();
    node.total = paired_total;
    node.parent_entropy = entropy_of_counts(present, all.data(), label_total);
    node.parent_size = static_cast<float>(label_total);
    return node;
}

float information_gain_criterion(std::span<const float> values, std::span<const Label> labels,
                                 float threshold) {
    check_countable(labels.size());
    ClassIndex index = index_classes(labels);
    std::size_t paired = std::min(values.size(), labels.size());
    PairedCounts counts = count_paired(index, paired);
    std::vector<std::uint32_t> left_counts(index.labels.size(), 0);
    std::uint32_t left_total = 0;
    for (std::size_t i = 0; i < paired; ++i) {
        if (values[i] < threshold) {
            ++left_counts[index.of[i]];
            ++left_total;
        }
    }
    return gain_from_counts(counts.node(), left_counts.data(), left_total);
}

}  // namespace lindorf
