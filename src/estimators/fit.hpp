// Fitting from the estimators' module: the interpreter lock is released while the learner works,
// and the learner's threads never touch a Python object.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "estimators/arrays.hpp"
#include "forest/chunk.hpp"
#include "model/model.hpp"

namespace lindorf::estimators {

// Labels are class indices below n_classes; weights, when given, whole numbers per row.
struct FitData {
    FeatureArray x;
    IndexArray y;
    std::optional<IndexArray> weights;
    std::uint32_t n_classes = 0;
};

Model fit_tree(const FitData& data, const GrowRules& rules, unsigned threads);

struct ForestFit {
    Model model;
    std::vector<std::uint32_t> oob_votes;  // n_rows x n_classes; empty without out-of-bag votes
};

// Trees first .. first + count - 1 of the forest that `rules` describe.
ForestFit fit_forest(const FitData& data, const ForestRules& rules, std::uint32_t first,
                     std::uint32_t count, unsigned threads);

}  // namespace lindorf::estimators
