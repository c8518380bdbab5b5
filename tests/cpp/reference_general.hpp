// A deliberately plain learner of the general path's documented rules, for differential tests:
// weights turned into units of a power of two; every candidate of every searched feature scored
// from scratch by scanning every row of the node; recursive depth-first growth, or best-first
// with a frontier scanned in full; the random thresholds drawn from the node's stream as the
// documentation lays it out. It shares nothing with the fast learner but the Tree record, the
// keyed streams and the rules record.
#pragma once

#include <cstdint>
#include <vector>

#include "reference.hpp"
#include "tree/grow.hpp"
#include "tree/tree.hpp"

namespace reference {

struct General {
    Rows rows;                                  // n x features
    std::vector<std::vector<Label>> labels;     // n x outputs: each output's class index
    std::vector<std::uint32_t> classes;         // class count per output
    std::vector<double> weights;                // by row, any finite non-negative numbers
};

struct GeneralSplit {
    bool found = false;
    std::uint32_t feature = 0;
    float threshold = 0.0f;
    bool nan_left = false;
};

// The best split of the rows `node` (positions into data.rows, ascending) under the rules'
// impurity, minimums (rows; weights as rules.min_leaf), NaN side and monotonic constraints, over
// `features` (ascending). With `draws`, the random splitter's two draws per feature.
GeneralSplit general_split(const General& data, const std::vector<std::size_t>& node,
                           const lindorf::GrowRules& rules,
                           const std::vector<std::uint32_t>& features,
                           const std::vector<std::uint64_t>& draws, double lower, double upper);

// The tree of the general path's rules, node statistics and leaf values included.
lindorf::Tree grow_general(const General& data, const lindorf::GrowRules& rules);

}  // namespace reference
