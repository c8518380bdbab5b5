// Helpers shared by the regression tests: small random regression sets built to hit the rules,
// and the flat arrays the learner takes them as.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "regression_reference.hpp"
#include "support/dataset.hpp"

namespace regression_testing {

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

// Random regression sets, small unless more rows are asked for, built to hit the rules: features of few values (both zeros, NaN,
// infinities), small integers or continuous values; targets that are multiples of 1/8 with
// repeats, sometimes constant, sometimes wide apart; weights of 1, all equal, or multiples of
// 1/4 with zeros.
struct RegressionCase {
    reference::RegressionSet set;
    std::size_t n_outputs = 1;
};

inline RegressionCase random_case(std::mt19937_64& rng, bool poisson, std::size_t max_rows = 40) {
    auto below = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    static const float specials[] = {-0.0f, 0.0f, 1.0f, -1.0f, 0.5f, 2.0f, nan, inf, -inf};
    RegressionCase c;
    const std::size_t n_rows = 1 + below(max_rows);
    const std::size_t n_cols = 1 + below(4);
    c.n_outputs = below(4) == 0 ? 1 + below(3) : 1;
    std::vector<std::size_t> kinds(n_cols);
    for (auto& kind : kinds) kind = below(3);
    const double scale = below(5) == 0 ? 1024.0 : 1.0;
    const int target_kind = static_cast<int>(below(4));  // 0: constant, 1: few values, else spread
    const int weighting = static_cast<int>(below(3));    // 0: ones, 1: all equal, 2: various
    const double equal_weight = 0.25 * static_cast<double>(1 + below(12));
    for (std::size_t r = 0; r < n_rows; ++r) {
        std::vector<float> row;
        for (std::size_t f = 0; f < n_cols; ++f)
            row.push_back(kinds[f] == 0   ? specials[below(std::size(specials))]
                          : kinds[f] == 1 ? static_cast<float>(static_cast<int>(below(5)) - 2)
                                          : static_cast<float>(below(1 << 20)) / 1024.0f - 512);
        c.set.rows.push_back(row);
        std::vector<double> targets;
        for (std::size_t o = 0; o < c.n_outputs; ++o) {
            const double low = poisson ? 0.0 : -16.0;
            const double y = target_kind == 0   ? 3.0
                             : target_kind == 1 ? static_cast<double>(below(3))
                                                : low + static_cast<double>(below(256)) / 8.0;
            targets.push_back(y * scale);
        }
        c.set.targets.push_back(targets);
        c.set.weights.push_back(weighting == 0   ? 1.0
                                : weighting == 1 ? equal_weight
                                                 : 0.25 * static_cast<double>(below(9)));
    }
    return c;
}

// The case's rows, targets and weights as the learner takes them: one row-major array each.
struct Flat {
    lindorf::FeatureMatrix matrix;
    std::vector<double> targets;
    std::vector<double> weights;
};

inline Flat flatten(const RegressionCase& c) {
    Flat flat{{c.set.rows.size(), c.set.rows.empty() ? 0 : c.set.rows[0].size(), {}}, {}, c.set.weights};
    for (std::size_t r = 0; r < c.set.rows.size(); ++r) {
        flat.matrix.values.insert(flat.matrix.values.end(), c.set.rows[r].begin(), c.set.rows[r].end());
        flat.targets.insert(flat.targets.end(), c.set.targets[r].begin(), c.set.targets[r].end());
    }
    return flat;
}

}  // namespace regression_testing
