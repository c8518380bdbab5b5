#include "reference.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>
#include <stdexcept>

namespace reference {

float entropy(Labels labels) {
    std::map<Label, std::int32_t> counts;  // iterates in ascending label order
    for (Label label : labels) ++counts[label];
    float n = static_cast<float>(labels.size());
    float sum = 0.0f;
    for (const auto& [label, count] : counts) {
        float p = static_cast<float>(count) / n;
        sum += p * log2f(p);
    }
    return -sum;
}

float information_gain(std::vector<float> values, Labels labels, float threshold) {
    Labels left;
    Labels right;
    for (std::size_t i = 0; i < std::min(values.size(), labels.size()); ++i)
        (values[i] < threshold ? left : right).push_back(labels[i]);
    float n_left = static_cast<float>(left.size());
    float n_right = static_cast<float>(right.size());
    float n = static_cast<float>(labels.size());
    return (entropy(labels) - (n_left / n) * entropy(left)) - (n_right / n) * entropy(right);
}

double gini(const Labels& labels) {
    std::map<Label, std::uint64_t> counts;
    for (Label label : labels) ++counts[label];
    std::uint64_t squares = 0;
    for (const auto& [label, count] : counts) squares += count * count;
    double n = static_cast<double>(labels.size());
    return labels.empty() ? 0.0 : 1.0 - static_cast<double>(squares) / (n * n);
}

double recorded_impurity(const Labels& labels, bool gini) {
    std::map<Label, double> counts;
    for (Label label : labels) counts[label] += 1.0;
    const double n = static_cast<double>(labels.size());
    double sum = 0.0;
    for (const auto& [label, count] : counts)
        sum += gini ? count * count : -(count / n) * (std::log(count / n) / std::log(2.0));
    if (labels.empty()) return 0.0;
    return gini ? 1.0 - sum / (n * n) : sum;
}

double gini_gain(std::vector<float> values, Labels labels, float threshold) {
    Labels all, left, right;
    for (std::size_t i = 0; i < std::min(values.size(), labels.size()); ++i) {
        all.push_back(labels[i]);
        (values[i] < threshold ? left : right).push_back(labels[i]);
    }
    double n = static_cast<double>(all.size());
    return (gini(all) - (static_cast<double>(left.size()) / n) * gini(left)) -
           (static_cast<double>(right.size()) / n) * gini(right);
}

// The first candidate, in feature order and then row order, to reach the highest score above 0.
Split find_best_split(const Rows& rows, const Labels& labels, const Rules& rules) {
    if (rows.empty()) throw std::runtime_error("no rows");
    std::vector<std::uint32_t> features = rules.features;
    if (features.empty())
        for (std::uint32_t f = 0; f < rows[0].size(); ++f) features.push_back(f);
    Split best;
    double best_score = 0.0;
    for (std::uint32_t f : features) {
        std::vector<float> column;
        for (const auto& row : rows) column.push_back(row.at(f));
        for (float candidate : column) {
            // How many of the paired labels go to each side.
            std::size_t n_left = 0, paired = std::min(column.size(), labels.size());
            std::set<std::uint32_t> left_rows, right_rows;
            for (std::size_t i = 0; i < paired; ++i) {
                n_left += column[i] < candidate;
                const std::uint32_t row =
                    rules.row_of.empty() ? static_cast<std::uint32_t>(i) : rules.row_of[i];
                (column[i] < candidate ? left_rows : right_rows).insert(row);
            }
            if (n_left < rules.min_leaf || paired - n_left < rules.min_leaf) continue;
            if (left_rows.size() < rules.min_leaf_rows || right_rows.size() < rules.min_leaf_rows)
                continue;
            double score = rules.gini ? gini_gain(column, labels, candidate)
                                      : information_gain(column, labels, candidate);
            if (score > best_score) {
                best_score = score;
                best = {f, candidate};
            }
        }
    }
    return best;
}

namespace {

// Of the most frequent labels, the one occurring last.
Label majority(const Labels& labels) {
    Label choice = labels.at(0);
    for (Label label : labels)
        if (std::count(labels.begin(), labels.end(), label) >=
            std::count(labels.begin(), labels.end(), choice))
            choice = label;
    return choice;
}

std::uint32_t grow_into(lindorf::Tree& tree, const Rows& rows, const Labels& labels,
                        std::uint32_t max_depth, std::uint32_t depth) {
    std::set<Label> distinct(labels.begin(), labels.end());
    auto index = static_cast<std::uint32_t>(tree.nodes.size());
    lindorf::Node node;
    node.prediction = majority(labels);
    tree.nodes.push_back(node);
    if (depth == max_depth || distinct.size() == 1 || rows.size() < 3 || rows[0].empty())
        return index;
    Split choice = find_best_split(rows, labels);
    Rows side_rows[2];
    Labels side_labels[2];
    for (std::size_t i = 0; i < rows.size(); ++i) {
        bool right = !(rows[i].at(choice.feature) < choice.threshold);
        side_rows[right].push_back(rows[i]);
        side_labels[right].push_back(labels.at(i));
    }
    if (side_rows[0].empty() || side_rows[1].empty()) return index;
    node.is_leaf = false;
    node.feature = choice.feature;
    node.threshold = choice.threshold;
    node.left = grow_into(tree, side_rows[0], side_labels[0], max_depth, depth + 1);
    node.right = grow_into(tree, side_rows[1], side_labels[1], max_depth, depth + 1);
    tree.nodes[index] = node;
    return index;
}

}  // namespace

lindorf::Tree grow(const Rows& rows, const Labels& labels, std::uint32_t max_depth) {
    lindorf::Tree tree;
    grow_into(tree, rows, labels, max_depth, 0);
    return tree;
}

Rows rows_of(lindorf::MatrixView view) {
    Rows rows;
    for (std::size_t r = 0; r < view.n_rows; ++r) {
        auto row = view.row(r);
        rows.emplace_back(row.begin(), row.end());
    }
    return rows;
}

}  // namespace reference
