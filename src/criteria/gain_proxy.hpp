// A cheap stand-in for information gain that provably stays close to it, so that a split search
// can pass over candidates that cannot win and compute the exact single-precision score
// (gain_from_counts) only for the few that might.
//
// For a node of n members (n = parent_size) split into sides of mL and mR members with class
// counts cL and cR, the real-valued gain is
//
//     hP - (mL/n)*HL - (mR/n)*HR = hP + T/n,   T = sum f(cL) + sum f(cR) - f(mL) - f(mR),
//
// with f(c) = c*log2(c) and f(0) = 0. T needs no division and no logarithm per candidate: f
// comes from a table indexed by count, and the sums change by two table differences when a row
// moves left. The table holds f in fixed point, so sums kept up to date over a whole sweep are
// exact integer arithmetic and never drift.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lindorf {

struct CountLog {
    std::vector<std::int64_t> values;  // values[c] = round(f(c) * 2^scale), for c up to a limit
    int scale = 0;
};

// The table up to `largest`, with the finest scale at which sums of entries up to f(largest)
// stay below 2^61, so that proxies, their differences and windows as wide as their range all
// fit in an int64.
CountLog count_log_table(std::uint64_t largest);

// Bounds, in bits of gain, for one node: its candidates' exact scores and proxies. `classes` is
// the number of classes with a non-zero count in the node; `total` its summed weight.
struct ProxyBounds {
    // |gain_from_counts - (hP + T/n)| for every candidate of the node, T real-valued.
    double exact_to_real = 0.0;
    // |T_table - T| / n, T_table being T summed from table entries.
    double table_to_real = 0.0;
};

// Infinite bounds mean none could be proven (too many classes for single precision to say
// anything): every candidate must then be scored exactly.
ProxyBounds proxy_bounds(std::size_t classes, std::uint64_t total, float parent_entropy,
                         float parent_size, const CountLog& table);

// exact_to_real for one candidate, from the classes and the weight of each of its sides: the
// node's bound assumes the worst of both.
double candidate_bound(std::size_t left_classes, std::size_t right_classes, double left_size,
                       double right_size, float parent_entropy, float parent_size);

// candidate_bound with each side's part that depends on its classes alone (its largest entropy
// and its bound per unit of weight) looked up rather than worked out: the same bound bit for bit,
// without a logarithm per candidate. The table grows to the most classes asked for.
class CandidateBounds {
  public:
    double operator()(std::size_t left_classes, std::size_t right_classes, double left_size,
                      double right_size, float parent_entropy, float parent_size);

  private:
    struct Side {
        double top_entropy;
        double per_weight;
    };
    std::vector<Side> sides_;  // by classes, from 1
};

}  // namespace lindorf
