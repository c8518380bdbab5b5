#include "criteria/gain_proxy.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "support/error.hpp"

namespace lindorf {

CountLog count_log_table(std::uint64_t largest) {
    LINDORF_CHECK(largest < (std::uint64_t{1} << 40), "a count of " + std::to_string(largest) +
                                                          " is too large for the count table");
    CountLog table;
    const double top = largest < 2 ? 1.0 : static_cast<double>(largest) * std::log2(largest);
    // Sums of entries never exceed f(largest) and proxies never fall below -2 f(largest): keep
    // both, and a window as wide as their range, within 2^62, and the scale where double still
    // resolves the entries.
    table.scale = std::min(52, 60 - static_cast<int>(std::ceil(std::log2(top))));
    table.values.resize(largest + 1);
    table.values[0] = 0;
    for (std::uint64_t c = 1; c <= largest; ++c) {
        double f = static_cast<double>(c) * std::log2(static_cast<double>(c));
        table.values[c] = std::llround(std::ldexp(f, table.scale));
    }
    return table;
}

// The bound between gain_from_counts and the real gain hP + T/n, for a node with k classes.
//
// Notation: u = 2^-24 (unit roundoff of float); gamma(j) = j*u / (1 - j*u); H a side's real
// entropy, H <= log2(k) =: Hmax; w = m/n a side's real weight, wL + wR <= 1. The platform's
// log2f is taken to be within A = 2 ulp (glibc's is within 1); an ulp of x is at most 2u|x|.
//
// 1. One term. p = c/m is computed as fl(fl(c)/fl(m)) = p(1+a), |a| <= gamma(3). Then
//    |log2(p(1+a)) - log2(p)| <= gamma(3)/ln 2 <= 4.33u; log2f adds at most A ulp, 2A*u relative;
//    the product rounds once more. With L = -log2 p, to first order the relative errors of p,
//    of log2f and of the product give (3 + 2A + 1)u = 8u on p*L, and the shifted argument 4.33u
//    on p:  |t - p*log2 p| <= u*(8*p*L + 5*p). Summed over a side: u*(8H + 5).
// 2. The side's sum. Terms are all <= 0 (p <= 1, so log2f(p) <= 0); summing k terms of one sign
//    in order errs by at most gamma(k-1) times the sum of their magnitudes, which step 1 bounds
//    by H + u*(8H + 5). So a side's computed entropy is within
//        e = u*(8H + 5) + gamma(k-1)*(H + u*(8H + 5)).
// 3. The weighted side. fl(fl(m)/n) = w(1+b), |b| <= gamma(2), and the product rounds once:
//    |fl(w^ * H^) - w*H| <= w*((1 + gamma(3))*e + gamma(3)*H).
// 4. The two subtractions, (hP - A) - C with A, C the weighted sides, each round once:
//    at most u*(2+u)*(hP + A) + u*C on top of the errors of A and C.
// Adding up with H <= Hmax and wL + wR <= 1:
//        eps = D*(1 + 3u) + u*(2+u)*(hP + Hmax),  D = (1 + gamma(3))*e(Hmax) + gamma(3)*Hmax.
// Second-order terms are covered by a 1 % margin. A pure side (k = 1) has p = 1 exactly and adds
// nothing, which the bound over-covers. For one candidate, each side's k, Hmax and w are its own:
//        eps = (wL*DL + wR*DR)*(1 + 3u) + u*(2+u)*(hP + max(HmaxL, HmaxR)),
// about half the node's bound for a balanced split of many classes.
//
// The table's part: each entry is round(f(c) * 2^s) with f(c) computed in double (log2 within
// 1 ulp, one product: 3 * 2^-53 relative), so it errs by 2^-(s+1) + 3*2^-53*f(c). T sums at most
// k + 2 entries whose f add up to at most 2*f(total).
namespace {

constexpr double u = 0x1p-24;

double gamma(double j) { return j * u / (1.0 - j * u); }

// The largest entropy of k classes, rounded up.
double top_entropy(double k) { return std::log2(k) * (1.0 + 0x1p-40) + 0x1p-40; }

// Steps 1 to 3 for one side of k classes, per unit of its weight w.
double side_per_weight(double k) {
    const double h_max = top_entropy(k);
    const double term = u * (8.0 * h_max + 5.0);
    const double side = term + gamma(k - 1.0) * (h_max + term);
    return (1.0 + gamma(3.0)) * side + gamma(3.0) * h_max;
}

// Steps 1 to 3 for one side of k classes weighing w: |fl(w^ * H^) - w * H|.
double weighted_side(double k, double w) { return w * side_per_weight(k); }

// The sum of steps 1 to 4 for a candidate, from each side's parts.
double candidate_sum(double left_weighted, double right_weighted, double h_parent, double h_max) {
    const double weighted = left_weighted + right_weighted;
    return (weighted * (1.0 + 3.0 * u) + u * (2.0 + u) * (h_parent + h_max)) * 1.01;
}

}  // namespace

ProxyBounds proxy_bounds(std::size_t classes, std::uint64_t total, float parent_entropy,
                         float parent_size, const CountLog& table) {
    constexpr double infinite = std::numeric_limits<double>::infinity();
    const double k = static_cast<double>(std::max<std::size_t>(classes, 1));
    const double n = parent_size;
    if (!(n > 0.0) || !std::isfinite(parent_entropy) || (k + 3.0) * u >= 0.5)
        return {infinite, infinite};
    const double h_max = top_entropy(k);
    const double h_parent = std::abs(static_cast<double>(parent_entropy));
    const double exact =
        weighted_side(k, 1.0) * (1.0 + 3.0 * u) + u * (2.0 + u) * (h_parent + h_max);
    const double t = static_cast<double>(total);
    const double f_total = t < 2.0 ? 0.0 : t * std::log2(t);
    const double entries =
        (k + 2.0) * std::ldexp(0.5, -table.scale) + 6.0 * 0x1p-53 * f_total * (1.0 + 1e-9);
    return {exact * 1.01, entries / n * 1.01};
}

double candidate_bound(std::size_t left_classes, std::size_t right_classes, double left_size,
                       double right_size, float parent_entropy, float parent_size) {
    const double k_left = static_cast<double>(std::max<std::size_t>(left_classes, 1));
    const double k_right = static_cast<double>(std::max<std::size_t>(right_classes, 1));
    const double n = parent_size;
    if (!(n > 0.0) || !std::isfinite(parent_entropy) ||
        (std::max(k_left, k_right) + 3.0) * u >= 0.5)
        return std::numeric_limits<double>::infinity();
    return candidate_sum(weighted_side(k_left, left_size / n), weighted_side(k_right, right_size / n),
                         std::abs(static_cast<double>(parent_entropy)),
                         top_entropy(std::max(k_left, k_right)));
}

double CandidateBounds::operator()(std::size_t left_classes, std::size_t right_classes,
                                   double left_size, double right_size, float parent_entropy,
                                   float parent_size) {
    const std::size_t k_left = std::max<std::size_t>(left_classes, 1);
    const std::size_t k_right = std::max<std::size_t>(right_classes, 1);
    const std::size_t k = std::max(k_left, k_right);
    const double n = parent_size;
    if (!(n > 0.0) || !std::isfinite(parent_entropy) ||
        (static_cast<double>(k) + 3.0) * u >= 0.5)
        return std::numeric_limits<double>::infinity();
    if (k >= sides_.size()) {
        // A node's first candidate asks for about all its classes: a little more is room enough.
        const std::size_t from = std::max<std::size_t>(sides_.size(), 1);
        sides_.resize(k + 1 + k / 8);
        for (std::size_t i = from; i < sides_.size(); ++i) {
            const auto classes = static_cast<double>(i);
            sides_[i] = {top_entropy(classes), side_per_weight(classes)};
        }
    }
    return candidate_sum(left_size / n * sides_[k_left].per_weight,
                         right_size / n * sides_[k_right].per_weight,
                         std::abs(static_cast<double>(parent_entropy)), sides_[k].top_entropy);
}

}  // namespace lindorf
