// The classification report printed at the end of every training call: accuracy over all labels,
// and precision, recall and F1 with label 1 as the positive class and label 0 as the negative one.
#pragma once

#include <span>
#include <string>

#include "support/dataset.hpp"
#include "support/output.hpp"

namespace lindorf {

// Shortest decimal that reads back as the same single-precision value, in positional notation
// ("0.6666667", "1", "0.1"); not-a-number is "NaN".
std::string format_score(float value);

// Compares the first min(len) positions; accuracy divides by the length of `actual`. Division by
// zero is deliberately unguarded and prints "NaN".
void classification_report(std::span<const Label> predicted, std::span<const Label> actual,
                           LineWriter& out);

}  // namespace lindorf
