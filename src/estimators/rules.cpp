#include "estimators/rules.hpp"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <initializer_list>
#include <stdexcept>
#include <string>
#include <utility>

#include "estimators/entry.hpp"
#include "support/streams.hpp"

namespace lindorf::estimators {

namespace {

template <class T>
T param(const nb::dict& params, const char* name) {
    if (!params.contains(name)) throw std::invalid_argument(std::string("no parameter ") + name);
    return nb::cast<T>(params[name]);
}

template <class Enum>
Enum choice(const nb::dict& params, const char* name,
            std::initializer_list<std::pair<const char*, Enum>> options) {
    const std::string value = param<std::string>(params, name);
    for (const auto& [text, option] : options)
        if (value == text) return option;
    throw std::invalid_argument("no " + std::string(name) + " '" + value + "'");
}

}  // namespace

void fill_rules(RuleSet& set, const nb::dict& params, const nb::bytes& key, bool regression) {
    GrowRules& rules = set.rules;
    rules.max_depth = param<std::uint32_t>(params, "max_depth");
    rules.min_split = param<double>(params, "min_split");
    rules.min_leaf = param<double>(params, "min_leaf");
    rules.min_split_rows = param<std::uint32_t>(params, "min_split_rows");
    rules.min_leaf_rows = param<std::uint32_t>(params, "min_leaf_rows");
    rules.min_leaf_fraction = param<double>(params, "min_leaf_fraction");
    if (regression)
        rules.loss = choice<Loss>(params, "criterion",
                                  {{"squared_error", Loss::squared_error},
                                   {"absolute_error", Loss::absolute_error},
                                   {"poisson", Loss::poisson}});
    else
        rules.impurity = choice<Impurity>(
            params, "criterion", {{"entropy", Impurity::entropy}, {"gini", Impurity::gini}});
    rules.max_features = param<std::uint32_t>(params, "max_features");
    rules.node_key = node_key(key_of(key), 0);
    rules.min_impurity_decrease = param<double>(params, "min_impurity_decrease");
    rules.max_leaf_nodes = param<std::uint32_t>(params, "max_leaf_nodes");
    rules.splitter = choice<Splitter>(params, "splitter",
                                      {{"best", Splitter::best}, {"random", Splitter::random}});
    rules.nan_side = choice<NanSide>(params, "nan_side",
                                     {{"right", NanSide::right}, {"learned", NanSide::learned}});
    set.monotonic = param<std::vector<std::int8_t>>(params, "monotonic");
    rules.monotonic = set.monotonic;
}

void fill_forest_rules(RuleSet& set, const nb::dict& params, const nb::bytes& key) {
    set.forest.tree = set.rules;
    set.forest.bootstrap = param<bool>(params, "bootstrap");
    set.forest.out_of_bag = param<bool>(params, "out_of_bag");
    set.forest.key = key_of(key);
    set.forest.draws = param<std::uint32_t>(params, "draws");
    set.forest.balanced_subsample = param<bool>(params, "balanced_subsample");
    set.forest.voting =
        choice<Voting>(params, "voting", {{"soft", Voting::soft}, {"hard", Voting::hard}});
}

}  // namespace lindorf::estimators
