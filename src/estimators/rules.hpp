// The rules of growth and of forests from the learner layer's parameters
// (python/lindorf/_learner.py growth_rules and forest_rules), for dense and sparse fits alike.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

#include "forest/chunk.hpp"
#include "tree/grow.hpp"

namespace lindorf::estimators {

namespace nb = nanobind;

// The rules with the storage their spans point into: a set stays where it was filled.
struct RuleSet {
    GrowRules rules;
    std::vector<std::int8_t> monotonic;
    ForestRules forest;
};

// set.rules from a dict of the learner layer's growth rules; the node key from the fit's key.
// A regression fit's criterion names a loss, a classifier's an impurity.
void fill_rules(RuleSet& set, const nb::dict& params, const nb::bytes& key,
                bool regression = false);
// set.forest from the forest's rules and set.rules, which fill_rules filled.
void fill_forest_rules(RuleSet& set, const nb::dict& params, const nb::bytes& key);

}  // namespace lindorf::estimators
