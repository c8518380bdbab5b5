#include "reference.hpp"

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
    std::size_t m = std::min(values.size(), labels.size());
    Labels left;
    Labels right;
    for (std::size_t i = 0; i < m; ++i) {
        if (values[i] < threshold)
            left.push_back(labels[i]);
        else
            right.push_back(labels[i]);
    }
    float n_left = static_cast<float>(left.size());
    float n_right = static_cast<float>(right.size());
    float n = static_cast<float>(labels.size());
    float h_parent = entropy(labels);
    float h_left = entropy(left);
    float h_right = entropy(right);
    return (h_parent - (n_left / n) * h_left) - (n_right / n) * h_right;
}

Split find_best_split(const Rows& rows, const Labels& labels) {
    if (rows.empty()) throw std::runtime_error("no rows");
    Split best_split;
    float best_score = 0.0f;
    for (std::size_t f = 0; f < rows[0].size(); ++f) {
        std::vector<float> column;
        for (const auto& row : rows) column.push_back(row.at(f));
        float feature_score = 0.0f;
        float feature_threshold = 0.0f;
        for (float candidate : column) {
            float score = information_gain(column, labels, candidate);
            if (score > feature_score) {
                feature_score = score;
                feature_threshold = candidate;
            }
        }
        if (feature_score > best_score) {
            best_score = feature_score;
            best_split = {static_cast<std::uint32_t>(f), feature_threshold};
        }
    }
    return best_split;
}

Parts split(const Rows& rows, const Labels& labels, std::uint32_t feature, float threshold) {
    Parts parts;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].at(feature) < threshold) {
            parts.left_rows.push_back(rows[i]);
            parts.left_labels.push_back(labels.at(i));
        } else {
            parts.right_rows.push_back(rows[i]);
            parts.right_labels.push_back(labels.at(i));
        }
    }
    return parts;
}

Label majority(const Labels& labels) {
    if (labels.empty()) throw std::runtime_error("no labels");
    auto count_of = [&](Label label) {
        std::size_t count = 0;
        for (Label other : labels) count += other == label;
        return count;
    };
    Label choice = labels[0];
    std::size_t choice_count = count_of(choice);
    for (std::size_t i = 1; i < labels.size(); ++i) {
        std::size_t count = count_of(labels[i]);
        if (count >= choice_count) {
            choice = labels[i];
            choice_count = count;
        }
    }
    return choice;
}

namespace {

std::uint32_t grow_into(lindorf::Tree& tree, const Rows& rows, const Labels& labels,
                        std::uint32_t max_depth, std::uint32_t depth) {
    std::set<Label> distinct(labels.begin(), labels.end());
    Label label = majority(labels);
    auto index = static_cast<std::uint32_t>(tree.nodes.size());
    lindorf::Node leaf;
    leaf.prediction = label;
    tree.nodes.push_back(leaf);
    if (depth == max_depth || distinct.size() == 1 || rows.size() < 3) return index;
    if (rows[0].empty()) return index;
    Split choice = find_best_split(rows, labels);
    Parts parts = split(rows, labels, choice.feature, choice.threshold);
    if (parts.left_rows.empty() || parts.right_rows.empty()) return index;
    std::uint32_t left = grow_into(tree, parts.left_rows, parts.left_labels, max_depth, depth + 1);
    std::uint32_t right =
        grow_into(tree, parts.right_rows, parts.right_labels, max_depth, depth + 1);
    lindorf::Node inner;
    inner.is_leaf = false;
    inner.feature = choice.feature;
    inner.threshold = choice.threshold;
    inner.left = left;
    inner.right = right;
    tree.nodes[index] = inner;
    return index;
}

}  // namespace

lindorf::Tree grow(const Rows& rows, const Labels& labels, std::uint32_t max_depth,
                   std::uint32_t depth) {
    lindorf::Tree tree;
    grow_into(tree, rows, labels, max_depth, depth);
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
