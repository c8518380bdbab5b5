// Node impurities in double precision, by scikit-learn's formulas: what every tree records for
// its nodes, what the general path scores splits by, and what pruning and the limits on the
// impurity decrease measure.
//
// For weighted class counts c_k of W in all (per output):
//     entropy  -sum p * (ln p / ln 2), p = c_k / W, over the non-zero counts in class order;
//     Gini     1 - (sum c_k * c_k) / (W * W), the squares summed in class order;
// averaged over the outputs. A split's gain is I - (W_R / W) * I_R - (W_L / W) * I_L, and its
// weighted decrease that gain times W / W_root, each in exactly this order of operations.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "criteria/small_terms.hpp"

namespace lindorf {

// Information gain (entropy) or Gini impurity.
enum class Impurity { entropy, gini };

namespace detail {

inline double log2_as_sklearn(double x) {
    return std::log(x) / std::log(2.0);
}

// p * log2(p) for p = count / total.
inline double entropy_term(double count, double total) {
    const double p = count / total;
    return p * log2_as_sklearn(p);
}

}  // namespace detail

// Accumulates a node's impurity over its outputs, count by count: for each output, start() with
// the total weight, add() every count of the output in class order; then value(). Entropy keeps
// one running sum over every output, Gini one per output, as scikit-learn's criteria do.
class ImpuritySum {
  public:
    explicit ImpuritySum(Impurity impurity) : impurity_(impurity) {}

    void start(double total) {
        finish();
        total_ = total;
        squares_ = 0.0;
        open_ = true;
    }
    void add(double count) {
        if (impurity_ == Impurity::gini) {
            squares_ += count * count;
        } else if (count > 0.0) {
            sum_ -= detail::entropy_term(count, total_);
        }
    }
    double value(std::size_t n_outputs) {
        finish();
        return sum_ / static_cast<double>(n_outputs);
    }

  private:
    void finish() {
        if (open_ && impurity_ == Impurity::gini) sum_ += 1.0 - squares_ / (total_ * total_);
        open_ = false;
    }

    Impurity impurity_;
    double total_ = 0.0;
    double squares_ = 0.0;
    double sum_ = 0.0;
    bool open_ = false;
};

// The impurity of one output's counts, counts[c] for c in `classes` (ascending); 0 without weight.
template <class Count>
double output_impurity(Impurity impurity, std::span<const std::uint32_t> classes,
                       const Count* counts, double total) {
    if (!(total > 0.0)) return 0.0;
    if constexpr (std::is_integral_v<Count>) {
        // A node of many classes holds mostly small counts: the same doubles, subtracted in
        // class order as ImpuritySum does (whose value for one output is its sum divided by 1,
        // the sum itself).
        if (impurity == Impurity::entropy) {
            SmallTerms terms([total](std::uint64_t count) {
                return detail::entropy_term(static_cast<double>(count), total);
            });
            double sum = 0.0;
            for (std::uint32_t c : classes) sum -= terms(counts[c]);
            return sum;
        }
    }
    ImpuritySum sum(impurity);
    sum.start(total);
    for (std::uint32_t c : classes) sum.add(static_cast<double>(counts[c]));
    return sum.value(1);
}

inline double split_gain(double parent, double left, double left_weight, double right,
                         double right_weight, double weight) {
    return parent - right_weight / weight * right - left_weight / weight * left;
}

inline double weighted_decrease(double gain, double weight, double root_weight) {
    return weight / root_weight * gain;
}

}  // namespace lindorf
