// A deliberately plain learner for differential tests: every candidate of every feature scored
// from scratch on copied lists, rows copied at every split, recursive growth, the quadratic
// majority scan. It shares nothing with the fast learner but the Tree record it fills.
#pragma once

#include <cstdint>
#include <vector>

#include "support/dataset.hpp"
#include "tree/tree.hpp"

namespace reference {

using lindorf::Label;
using Rows = std::vector<std::vector<float>>;
using Labels = std::vector<Label>;

float entropy(Labels labels);
float information_gain(std::vector<float> values, Labels labels, float threshold);
// Gini impurity, 1 - sum of p^2, in double precision from counts; 0 for no labels.
double gini(const Labels& labels);
// A node's impurity as trees record it, in double precision: -sum p * (ln p / ln 2) or
// 1 - sum c^2 / n^2, over the classes in ascending order.
double recorded_impurity(const Labels& labels, bool gini);
// The gain in Gini impurity of the pairs.
double gini_gain(std::vector<float> values, Labels labels, float threshold);

struct Split {
    std::uint32_t feature = 0;
    float threshold = 0.0f;
};

// The search, with options: Gini in place of information gain, a least number of labels on each
// side of a candidate, the features to search (empty: all), and a least number of distinct rows
// on each side, row_of naming each entry's row (empty: each entry its own).
struct Rules {
    bool gini = false;
    std::uint32_t min_leaf = 0;
    std::vector<std::uint32_t> features;
    std::uint32_t min_leaf_rows = 0;
    std::vector<std::uint32_t> row_of;
};
Split find_best_split(const Rows& rows, const Labels& labels, const Rules& rules = {});

// Grows with one repair over the plain rules: a node whose split would leave a side empty, or
// whose rows have no features, becomes a leaf with its majority label.
lindorf::Tree grow(const Rows& rows, const Labels& labels, std::uint32_t max_depth);

Rows rows_of(lindorf::MatrixView view);

}  // namespace reference
