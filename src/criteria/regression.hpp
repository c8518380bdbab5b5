// The regression criteria: what a node predicts, its impurity, and how a split search ranks the
// candidates, in double precision by these formulas (W: a set's weight, S_o: its weighted target
// sum of output o, O outputs, each sum compensated, criteria/compensated.hpp):
//
//   squared error  a node predicts the mean S_o / W; impurity (sum_o sum_i w_i (y_io - m_o)^2) /
//                  W / O, two passes, m_o the mean; a candidate scores
//                  ((sum_o L_o^2) W_R + (sum_o R_o^2) W_L) / (W_L W_R), L_o and R_o the sides'
//                  sums of w (y - c_o), c_o the node's mean rounded to 24 significant bits:
//                  scikit-learn's proxy L^2 / W_L + R^2 / W_R, without the cancellation of
//                  large targets;
//   absolute error a node predicts the weighted median (criteria/median_track.hpp); impurity
//                  (sum_o sum_i w_i |y_io - med_o|) / W / O; a candidate scores
//                  -(D_L + D_R), D a side's absolute deviations from its medians, summed over
//                  the outputs;
//   Poisson        a node predicts the mean; impurity (sum_o sum_i w_i y log(y / m_o)) / W / O,
//                  a term 0 where y is 0; a candidate scores
//                  sum_o (L_o log(L_o / W_L) + R_o log(R_o / W_R)), and a side whose targets of
//                  some output are all 0 (its mean would be 0) is not a candidate.
//
// Higher scores are better; they are compared as computed. A split's gain is the node's impurity
// less its children's, weighted by their shares of its weight (criteria/impurity.hpp), each
// impurity computed as above. An output whose targets in a node are all equal predicts that
// value exactly and adds exactly 0 to the impurity: a node whose outputs are all constant has
// impurity 0 and is a leaf, however the targets round.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>

namespace lindorf {

enum class Loss : std::uint8_t { squared_error, absolute_error, poisson };

// One side's part of a Poisson score: S log(S / W).
inline double poisson_term(double sum, double weight) {
    return sum * std::log(sum / weight);
}

// y log(y / mean), 0 where y is 0.
inline double poisson_deviance_term(double y, double mean) {
    return y == 0.0 ? 0.0 : y * std::log(y / mean);
}

}  // namespace lindorf
