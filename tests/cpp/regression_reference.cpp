#include "regression_reference.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <utility>

namespace reference {

using lindorf::Loss;

double weighted_median(std::vector<std::pair<double, double>> sorted) {
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    long double total = 0.0L;
    for (const auto& item : sorted) total += item.second;
    long double below = 0.0L;
    for (std::size_t k = 0; k < sorted.size(); ++k) {
        if (2 * (below + sorted[k].second) > total) {
            if (k > 0 && 2 * below == total) {
                const double a = sorted[k - 1].first, b = sorted[k].first;
                return std::isfinite(a + b) ? (a + b) / 2 + 0.0 : a / 2 + b / 2 + 0.0;
            }
            return sorted[k].first + 0.0;
        }
        below += sorted[k].second;
    }
    throw std::runtime_error("no median");
}

double absolute_deviation(const std::vector<std::pair<double, double>>& items) {
    const double m = weighted_median(items);
    long double sum = 0.0L;
    for (const auto& [y, w] : items) sum += w * std::fabs(y - m);
    return static_cast<double>(sum);
}

namespace {
using Rows = std::vector<std::size_t>;

// Equal weights score as weights of 1, so that scaling them changes no choice.
std::vector<double> scoring_weights(const RegressionSet& set) {
    std::vector<double> weights = set.weights;
    double first = 0.0;
    for (double w : set.weights)
        if (first == 0.0) first = w;
    bool equal = true;
    for (double w : set.weights) equal = equal && (w == 0.0 || w == first);
    if (equal)
        for (double& w : weights) w = w > 0.0 ? 1.0 : 0.0;
    return weights;
}

// The set with its scoring weights, which every sum below uses.
struct Scored {
    const RegressionSet& set;
    std::vector<double> w;
    const std::vector<std::vector<double>>& targets = set.targets;
};

std::size_t outputs(const Scored& set) {
    return set.targets.empty() ? 1 : set.targets[0].size();
}

double weight_of(const Scored& set, const Rows& rows) {
    long double total = 0.0L;
    for (std::size_t r : rows) total += set.w[r];
    return static_cast<double>(total);
}

bool constant(const Scored& set, const Rows& rows, std::size_t o) {
    for (std::size_t r : rows)
        if (!(set.targets[r][o] == set.targets[rows[0]][o])) return false;
    return true;
}

double mean(const Scored& set, const Rows& rows, std::size_t o) {
    if (constant(set, rows, o)) return set.targets[rows[0]][o] + 0.0;
    long double sum = 0.0L;
    for (std::size_t r : rows)
        sum += static_cast<double>(set.w[r] * set.targets[r][o]);
    return static_cast<double>(sum) / weight_of(set, rows);
}

std::vector<std::pair<double, double>> pairs(const Scored& set, const Rows& rows, std::size_t o) {
    std::vector<std::pair<double, double>> out;
    for (std::size_t r : rows) out.emplace_back(set.targets[r][o], set.w[r]);
    return out;
}

double median(const Scored& set, const Rows& rows, std::size_t o) {
    return weighted_median(pairs(set, rows, o));
}

double absolute_deviation(const Scored& set, const Rows& rows, std::size_t o) {
    return reference::absolute_deviation(pairs(set, rows, o));
}

// The node's mean rounded to 24 significant bits: what squared-error sums are centred on.
double centre(double m) {
    if (m == 0.0) return 0.0;
    int exponent = 0;
    const double fraction = std::frexp(m, &exponent);
    return std::ldexp(std::nearbyint(std::ldexp(fraction, 24)), exponent - 24);
}

double centred_sum(const Scored& set, const Rows& rows, std::size_t o, double c) {
    long double sum = 0.0L;
    for (std::size_t r : rows) {
        const double t = set.targets[r][o] - c;
        sum += static_cast<double>(set.w[r] * t);
    }
    return static_cast<double>(sum);
}

double plain_sum(const Scored& set, const Rows& rows, std::size_t o) {
    long double sum = 0.0L;
    for (std::size_t r : rows)
        sum += static_cast<double>(set.w[r] * set.targets[r][o]);
    return static_cast<double>(sum);
}

// The score of a candidate; false when it is not one (Poisson: a side without a positive sum).
bool score_of(const Scored& set, const Rows& node, const Rows& left, const Rows& right,
              Loss loss, double& score) {
    const double wl = weight_of(set, left), wr = weight_of(set, right);
    const std::size_t n_out = outputs(set);
    if (loss == Loss::squared_error) {
        double ls = 0.0, rs = 0.0;
        for (std::size_t o = 0; o < n_out; ++o) {
            const double c = centre(mean(set, node, o));
            const double l = centred_sum(set, left, o, c), r = centred_sum(set, right, o, c);
            ls += l * l;
            rs += r * r;
        }
        score = (ls * wr + rs * wl) / (wl * wr);
        return true;
    }
    if (loss == Loss::absolute_error) {
        double total = 0.0;
        for (std::size_t o = 0; o < n_out; ++o)
            total += absolute_deviation(set, left, o) + absolute_deviation(set, right, o);
        score = -total;
        return true;
    }
    double ls = 0.0, rs = 0.0;
    for (std::size_t o = 0; o < n_out; ++o) {
        const double l = plain_sum(set, left, o), r = plain_sum(set, right, o);
        if (!(l > 0.0) || !(r > 0.0)) return false;
        ls += l * std::log(l / wl);
        rs += r * std::log(r / wr);
    }
    score = ls + rs;
    return true;
}

std::vector<double> value_in(const Scored& set, const Rows& rows, Loss loss) {
    std::vector<double> value;
    for (std::size_t o = 0; o < outputs(set); ++o)
        value.push_back(loss == Loss::absolute_error ? median(set, rows, o) : mean(set, rows, o));
    return value;
}

double impurity_in(const Scored& set, const Rows& rows, Loss loss) {
    const std::size_t n_out = outputs(set);
    const double w = weight_of(set, rows);
    double total = 0.0;
    for (std::size_t o = 0; o < n_out; ++o) {
        if (constant(set, rows, o)) continue;
        long double sum = 0.0L;
        if (loss == Loss::absolute_error) {
            sum = absolute_deviation(set, rows, o);
        } else {
            const double m = mean(set, rows, o);
            for (std::size_t r : rows) {
                const double y = set.targets[r][o];
                const double d = y - m;
                sum += loss == Loss::squared_error
                           ? set.w[r] * (d * d)
                           : set.w[r] * (y == 0.0 ? 0.0 : y * std::log(y / m));
            }
        }
        total += static_cast<double>(sum) / w;
    }
    return total / static_cast<double>(n_out);
}

constexpr float inf = std::numeric_limits<float>::infinity();

// What a monotonic constraint compares of a side (one output): its median, or its mean as
// centre + (sum of w (y - centre)) / W for squared error, and S / W for Poisson.
double side_value(const Scored& set, const Rows& node, const Rows& side, Loss loss) {
    if (loss == Loss::absolute_error) return median(set, side, 0);
    const double w = weight_of(set, side);
    if (loss == Loss::poisson) return plain_sum(set, side, 0) / w;
    const double c = centre(mean(set, node, 0));
    return c + centred_sum(set, side, 0, c) / w;
}

struct Candidate {
    float threshold;
    bool nan_left;
    Rows left;
};

template <class Keep>
Rows rows_where(const Rows& rows, Keep&& keep) {
    Rows out;
    for (std::size_t r : rows)
        if (keep(r)) out.push_back(r);
    return out;
}

// Every candidate of feature f, in the order of the earliest row of its group of equal values:
// the rows strictly below each value go left, NaN right; with NaN sides learned, also the same
// with NaN left, "every number left" (threshold +inf) and, when a value is +inf, NaN alone left
// of the least value. Without NaN rows, a learned side sends NaN to the side of more rows.
std::vector<Candidate> candidates(const Scored& set, const Rows& rows, std::uint32_t f,
                                  bool learn) {
    const auto& x = set.set.rows;
    std::size_t n_nan = 0;
    float least = inf, largest = -inf;
    for (std::size_t r : rows) {
        if (std::isnan(x[r][f])) {
            ++n_nan;
            continue;
        }
        least = std::min(least, x[r][f]);
        largest = std::max(largest, x[r][f]);
    }
    std::vector<Candidate> out;
    std::vector<float> seen;
    bool nan_seen = false;
    for (std::size_t r : rows) {
        const float v = x[r][f];
        if (std::isnan(v)) {
            if (learn && !nan_seen && n_nan < rows.size() && largest < inf)
                out.push_back({inf, false, rows_where(rows, [&](std::size_t q) {
                                   return !std::isnan(x[q][f]);
                               })});
            nan_seen = true;
            continue;
        }
        if (std::find(seen.begin(), seen.end(), v) != seen.end()) continue;
        seen.push_back(v);
        const Rows below = rows_where(rows, [&](std::size_t q) { return x[q][f] < v; });
        out.push_back({v, learn && n_nan == 0 && below.size() > rows.size() - below.size(), below});
        if (learn && n_nan > 0 && !below.empty())
            out.push_back({v, true, rows_where(rows, [&](std::size_t q) {
                               return x[q][f] < v || std::isnan(x[q][f]);
                           })});
        if (learn && n_nan > 0 && !(largest < inf) && v == least)
            out.push_back(
                {v, true, rows_where(rows, [&](std::size_t q) { return std::isnan(x[q][f]); })});
    }
    return out;
}

// The random candidate of feature f: a cut drawn uniformly between the least and the largest
// value (the least again when it lands on the largest), the rows at or below it left.
std::vector<Candidate> random_candidate(const Scored& set, const Rows& rows, std::uint32_t f,
                                        bool learn, std::uint64_t threshold_draw,
                                        std::uint64_t side_draw) {
    const auto& x = set.set.rows;
    std::vector<float> numbers;
    for (std::size_t r : rows)
        if (!std::isnan(x[r][f])) numbers.push_back(x[r][f]);
    if (numbers.empty()) return {};
    std::sort(numbers.begin(), numbers.end());
    const float least = numbers.front(), largest = numbers.back();
    double cut = least;
    if (least < largest) {
        const double u = static_cast<double>(threshold_draw >> 11) * 0x1p-53;
        cut = static_cast<double>(least) + u * (static_cast<double>(largest) - least);
        if (!(cut < largest)) cut = least;
    }
    const auto n_left = static_cast<std::size_t>(
        std::count_if(numbers.begin(), numbers.end(), [&](float v) { return v <= cut; }));
    const bool has_nan = numbers.size() < rows.size();
    const bool above_all = n_left == numbers.size();
    const bool nan_left = learn && (has_nan ? (side_draw & 1) != 0 : n_left > rows.size() - n_left);
    if (above_all && (!has_nan || nan_left || !(largest < inf))) return {};
    float threshold = inf;
    if (!above_all)
        for (std::size_t r : rows)
            if (x[r][f] == numbers[n_left]) {
                threshold = x[r][f];
                break;
            }
    return {{threshold, nan_left, rows_where(rows, [&](std::size_t q) {
                 return x[q][f] <= cut || (nan_left && std::isnan(x[q][f]));
             })}};
}

RegressionSplit split_in(const Scored& set, const Rows& rows, const RegressionRules& rules,
                         std::vector<std::uint32_t> features,
                         const std::vector<std::uint64_t>& draws) {
    const auto& x = set.set.rows;
    if (rows.empty() || x.empty()) throw std::runtime_error("no rows");
    if (features.empty())
        for (std::uint32_t f = 0; f < x[0].size(); ++f) features.push_back(f);
    RegressionSplit best;
    for (std::size_t k = 0; k < features.size(); ++k) {
        const std::uint32_t f = features[k];
        const std::vector<Candidate> all =
            draws.empty() ? candidates(set, rows, f, rules.learn_nan)
                          : random_candidate(set, rows, f, rules.learn_nan, draws[2 * k],
                                             draws[2 * k + 1]);
        for (const Candidate& candidate : all) {
            const Rows& left = candidate.left;
            Rows right;
            std::set_difference(rows.begin(), rows.end(), left.begin(), left.end(),
                                std::back_inserter(right));
            if (left.empty() || right.empty() || left.size() < rules.min_leaf_rows ||
                right.size() < rules.min_leaf_rows)
                continue;
            long double wl = 0.0L, wr = 0.0L;
            for (std::size_t r : left) wl += set.set.weights[r];
            for (std::size_t r : right) wr += set.set.weights[r];
            if (wl < rules.min_leaf_weight || wr < rules.min_leaf_weight) continue;
            if (!rules.monotonic.empty() && rules.monotonic[f] != 0) {
                const double l = side_value(set, rows, left, rules.loss);
                const double r = side_value(set, rows, right, rules.loss);
                if (!(l >= rules.lower && r >= rules.lower && l <= rules.upper &&
                      r <= rules.upper && (l - r) * rules.monotonic[f] <= 0.0))
                    continue;
            }
            double score = 0.0;
            if (!score_of(set, rows, left, right, rules.loss, score)) continue;
            if (!best.found || score > best.score)
                best = {true, f, candidate.threshold, candidate.nan_left, score};
        }
    }
    return best;
}

}  // namespace

std::vector<double> node_value(const RegressionSet& set, const Rows& rows, Loss loss) {
    return value_in(Scored{set, scoring_weights(set)}, rows, loss);
}

double node_impurity(const RegressionSet& set, const Rows& rows, Loss loss) {
    return impurity_in(Scored{set, scoring_weights(set)}, rows, loss);
}

RegressionSplit best_regression_split(const RegressionSet& set, const Rows& rows,
                                      const RegressionRules& rules,
                                      const std::vector<std::uint32_t>& features,
                                      const std::vector<std::uint64_t>& draws) {
    return split_in(Scored{set, scoring_weights(set)}, rows, rules, features, draws);
}

std::vector<RegressionNode> grow_regression(const RegressionSet& set,
                                            const RegressionRules& rules) {
    const Scored scored{set, scoring_weights(set)};
    std::vector<RegressionNode> nodes;
    Rows all;
    for (std::size_t r = 0; r < set.rows.size(); ++r)
        if (set.weights[r] > 0.0) all.push_back(r);
    std::function<std::uint32_t(const Rows&, std::uint32_t)> grow = [&](const Rows& rows,
                                                                        std::uint32_t depth) {
        const auto index = static_cast<std::uint32_t>(nodes.size());
        RegressionNode node;
        long double weight = 0.0L;
        for (std::size_t r : rows) weight += set.weights[r];
        node.weight = static_cast<double>(weight);
        node.impurity = impurity_in(scored, rows, rules.loss);
        node.value = value_in(scored, rows, rules.loss);
        node.rows = static_cast<std::uint32_t>(rows.size());
        nodes.push_back(node);
        bool all_constant = true;
        for (std::size_t o = 0; o < outputs(scored); ++o)
            all_constant = all_constant && constant(scored, rows, o);
        if (depth == rules.max_depth || all_constant || rows.size() < rules.min_split_rows ||
            rows.size() < 2 * static_cast<std::size_t>(rules.min_leaf_rows) ||
            node.weight < 2 * rules.min_leaf_weight)
            return index;
        const RegressionSplit split = split_in(scored, rows, rules, {}, {});
        if (!split.found) return index;
        Rows left, right;
        for (std::size_t r : rows) {
            const float v = set.rows[r][split.feature];
            (v < split.threshold || (split.nan_left && std::isnan(v)) ? left : right).push_back(r);
        }
        nodes[index].leaf = false;
        nodes[index].feature = split.feature;
        nodes[index].threshold = split.threshold;
        nodes[index].nan_left = split.nan_left;
        const std::uint32_t l = grow(left, depth + 1);
        const std::uint32_t r = grow(right, depth + 1);
        nodes[index].left = l;
        nodes[index].right = r;
        return index;
    };
    if (!all.empty()) grow(all, 0);
    return nodes;
}

}  // namespace reference
