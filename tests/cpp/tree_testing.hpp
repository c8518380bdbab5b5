// Helpers shared by the learner's tests: owned data sets built from literal rows or copied from
// a sample, hand-built trees, a node-for-node tree comparison (statistics included) that tells
// where two trees part, and the message of an internal failure.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "support/dataset.hpp"
#include "support/error.hpp"
#include "tree/tree.hpp"

namespace testing_support {

inline std::uint32_t bits(float value) {
    return std::bit_cast<std::uint32_t>(value);
}

struct Data {
    lindorf::FeatureMatrix matrix;
    lindorf::Labels labels;

    lindorf::MatrixView view() const { return matrix.view(); }
};

// Rows must all have the same length; `width` gives it when there are no rows to tell.
inline Data make_data(const std::vector<std::vector<float>>& rows, lindorf::Labels labels,
                      std::size_t width = 0) {
    Data data{{rows.size(), rows.empty() ? width : rows[0].size(), {}}, std::move(labels)};
    for (const auto& row : rows)
        data.matrix.values.insert(data.matrix.values.end(), row.begin(), row.end());
    return data;
}

// rows[sample[k]] and labels[sample[k]] in draw order: the training list a sample stands for.
inline Data copy_sample(lindorf::MatrixView rows, std::span<const lindorf::Label> labels,
                        std::span<const std::uint32_t> sample) {
    Data copy{{sample.size(), rows.n_cols, {}}, {}};
    for (std::uint32_t row : sample) {
        auto values = rows.row(row);
        copy.matrix.values.insert(copy.matrix.values.end(), values.begin(), values.end());
        copy.labels.push_back(labels[row]);
    }
    return copy;
}

inline lindorf::Tree tree_of(std::vector<lindorf::Node> nodes) {
    lindorf::Tree tree;
    tree.nodes = std::move(nodes);
    return tree;
}

inline lindorf::Tree leaf(lindorf::Label label) {
    return tree_of({lindorf::Node{.is_leaf = true, .prediction = label}});
}

// Rows whose value at `feature` is below `threshold` get `below`, the others `above`.
inline lindorf::Tree stump(std::uint32_t feature, float threshold, lindorf::Label below,
                           lindorf::Label above) {
    using lindorf::Node;
    return tree_of(
        {Node{.is_leaf = false, .feature = feature, .threshold = threshold, .left = 1, .right = 2},
         Node{.is_leaf = true, .prediction = below}, Node{.is_leaf = true, .prediction = above}});
}

// The message of the internal failure that `call` raises, or a note that it raised none.
template <class Call>
std::string failure_of(Call&& call) {
    try {
        call();
    } catch (const lindorf::InternalError& error) {
        return error.what();
    }
    return "(no internal failure)";
}

// Node for node; when `expected` records node statistics, `actual` must record the same ones (and
// the same inner labels), but for the rows, which differ between weighted and repeated rows.
inline ::testing::AssertionResult same_tree(const lindorf::Tree& actual,
                                            const lindorf::Tree& expected) {
    if (actual.nodes.size() != expected.nodes.size())
        return ::testing::AssertionFailure()
               << "node counts differ: " << actual.nodes.size() << " vs " << expected.nodes.size();
    for (std::size_t i = 0; i < actual.nodes.size(); ++i) {
        const lindorf::Node& a = actual.nodes[i];
        const lindorf::Node& e = expected.nodes[i];
        if (a.is_leaf != e.is_leaf || a.nan_left != e.nan_left ||
            (a.is_leaf ? a.prediction != e.prediction
                       : a.feature != e.feature || bits(a.threshold) != bits(e.threshold) ||
                             a.left != e.left || a.right != e.right))
            return ::testing::AssertionFailure()
                   << "node " << i << " differs: leaf " << a.is_leaf << "/" << e.is_leaf
                   << ", label " << a.prediction << "/" << e.prediction << ", feature " << a.feature
                   << "/" << e.feature << ", threshold " << a.threshold << "/" << e.threshold
                   << ", children " << a.left << "," << a.right << "/" << e.left << "," << e.right;
        if (!expected.has_stats()) continue;
        if (!actual.has_stats()) return ::testing::AssertionFailure() << "no node statistics";
        const lindorf::NodeStats &x = actual.stats[i], &y = expected.stats[i];
        if (x.weight != y.weight || std::bit_cast<std::uint64_t>(x.impurity) !=
                                        std::bit_cast<std::uint64_t>(y.impurity) ||
            (!e.is_leaf && a.prediction != e.prediction) ||
            (e.is_leaf && !std::ranges::equal(lindorf::leaf_values(actual, i),
                                              lindorf::leaf_values(expected, i))))
            return ::testing::AssertionFailure() << "node " << i << ": statistics differ";
    }
    return ::testing::AssertionSuccess();
}

}  // namespace testing_support
