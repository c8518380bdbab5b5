// Scoring a candidate split by information gain: entropy in bits, in single precision.
//
// Every score the learner computes goes through one function, gain_from_counts, whether the
// caller partitioned a label list itself (information_gain_criterion) or swept a sorted column
// with running class counts (the split search). Both therefore agree to the last bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "criteria/classes.hpp"
#include "criteria/small_terms.hpp"
#include "support/dataset.hpp"

namespace lindorf {

// Shannon entropy in bits. Terms are summed over the distinct labels in ascending label order;
// an empty list gives -0.0 (the negated empty sum).
float entropy(std::span<const Label> labels);

// Information gain of splitting `labels` by `values[i] < threshold` (strictly less goes left;
// equal values and NaN go right). Pairs beyond the shorter list are ignored, but the weights of
// the two sides divide by the full label count; no labels give NaN.
float information_gain_criterion(std::span<const float> values, std::span<const Label> labels,
                                 float threshold);

using Criterion = float (*)(std::span<const float>, std::span<const Label>, float);

// Class counts of a node, as the split scorer sees them. Classes are dense indices in ascending
// label order; `present` lists, ascending, every class that may have a non-zero count.
struct NodeCounts {
    std::span<const std::uint32_t> present;
    const std::uint32_t* counts = nullptr;  // indexed by class
    std::uint32_t total = 0;                // sum of counts
    float parent_entropy = 0.0f;            // entropy of the whole label list being scored
    float parent_size = 0.0f;               // its length, which may exceed `total`
};

// Class counts of a label list that is scored against fewer values than it has labels: only the
// first `paired` labels take part in a partition, but every label counts in the parent's entropy
// and size. NodeCounts taken from it point into it.
struct PairedCounts {
    std::vector<std::uint32_t> present;  // every class, ascending
    std::vector<std::uint32_t> paired;   // counts over the first `paired` labels
    std::vector<std::uint32_t> all;      // counts over every label
    std::uint32_t paired_total = 0;
    std::uint32_t label_total = 0;

    NodeCounts node() const;
};

PairedCounts count_paired(const ClassIndex& classes, std::size_t paired);

namespace detail {

// One class's p * log2(p), p = count / size.
inline float plogp_term(std::uint32_t count, float size) {
    float p = static_cast<float>(count) / size;
    return p * log2f(p);
}

inline float plogp_sum_step(float sum, std::uint32_t count, float size) {
    return sum + plogp_term(count, size);
}

}  // namespace detail

// The float terms p * log2(p) of counts of `size` members, each small count's worked out once.
inline auto plogp_terms(float size) {
    return SmallTerms([size](std::uint64_t count) {
        return detail::plogp_term(static_cast<std::uint32_t>(count), size);
    });
}

// Entropy of `total` members spread over the classes in `present` (ascending) by counts[c].
// Zero counts contribute nothing, so absent classes never produce 0 * log2(0). Every node of many
// classes asks this once, where most classes hold a few rows.
inline float entropy_of_counts(std::span<const std::uint32_t> present, const std::uint32_t* counts,
                               std::uint32_t total) {
    auto terms = plogp_terms(static_cast<float>(total));
    float sum = 0.0f;
    for (std::uint32_t c : present) sum += terms(counts[c]);
    return -sum;
}

// The score of a split from the sums of p * log2(p) of its two sides (the negated entropies,
// each summed in ascending class order over the side's non-zero counts):
// (hP - (nL/n)*hL) - (nR/n)*hR, in exactly this order of operations.
inline float gain_from_sums(const NodeCounts& node, std::uint32_t left_total, float left_sum,
                            float right_sum) {
    float left_size = static_cast<float>(left_total);
    float right_size = static_cast<float>(node.total - left_total);
    float left_entropy = -left_sum;
    float right_entropy = -right_sum;
    float n = node.parent_size;
    return (node.parent_entropy - (left_size / n) * left_entropy) -
           (right_size / n) * right_entropy;
}

// Score of the split that puts left_counts (left_total members) on the left and the rest of
// the node on the right.
inline float gain_from_counts(const NodeCounts& node, const std::uint32_t* left_counts,
                              std::uint32_t left_total) {
    float left_size = static_cast<float>(left_total);
    float right_size = static_cast<float>(node.total - left_total);
    float left_sum = 0.0f;
    float right_sum = 0.0f;
    for (std::uint32_t c : node.present) {
        std::uint32_t left = left_counts[c];
        std::uint32_t right = node.counts[c] - left;
        if (left != 0) left_sum = detail::plogp_sum_step(left_sum, left, left_size);
        if (right != 0) right_sum = detail::plogp_sum_step(right_sum, right, right_size);
    }
    return gain_from_sums(node, left_total, left_sum, right_sum);
}

}  // namespace lindorf
