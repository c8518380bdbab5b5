// The plain sweep of one feature: every candidate scored exactly, by information gain or Gini.
// Gini searches always take it; information gain takes it when no screening bound can be proven,
// and tests hold the screened sweep against it.
#pragma once

#include <span>

#include "criteria/criteria.hpp"
#include "splitting/column_best.hpp"
#include "splitting/scratch.hpp"
#include "splitting/split_search.hpp"
#include "splitting/working_set.hpp"

namespace lindorf {

FeatureBest exact_column(std::span<const Entry> column, const WorkingSet& set,
                         const NodeCounts& node, const SplitRules& rules, Scratch& scratch);

}  // namespace lindorf
