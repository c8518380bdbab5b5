#include "metrics/report.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "support/error.hpp"

namespace lindorf {

namespace {

struct Tally {
    // Wider than the counts can get in practice, so that no count can wrap.
    std::uint64_t matches = 0;
    std::uint64_t tp = 0;
    std::uint64_t fp = 0;
    std::uint64_t fn = 0;
};

Tally tally(std::span<const Label> predicted, std::span<const Label> actual) {
    Tally t;
    std::size_t n = std::min(predicted.size(), actual.size());
    for (std::size_t i = 0; i < n; ++i) {
        Label p = predicted[i];
        Label a = actual[i];
        t.matches += p == a;
        t.tp += p == 1 && a == 1;
        t.fp += p == 1 && a == 0;
        t.fn += p == 0 && a == 1;
    }
    return t;
}

}  // namespace

std::string format_score(float value) {
    if (std::isnan(value)) return "NaN";
    // Fixed notation of a float needs at most 39 integral digits plus sign, point and the
    // shortest fraction (at most 45 digits for the smallest subnormal).
    char buffer[128];
    auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    LINDORF_CHECK(error == std::errc(), "cannot format a score");
    return std::string(buffer, end);
}

void classification_report(std::span<const Label> predicted, std::span<const Label> actual,
                           LineWriter& out) {
    out.write("Classification Report:\n");
    Tally t = tally(predicted, actual);
    float accuracy = static_cast<float>(t.matches) / static_cast<float>(actual.size());
    out.write("\tAccuracy:   " + format_score(accuracy) + "\n");
    float precision = static_cast<float>(t.tp) / static_cast<float>(t.tp + t.fp);
    out.write("\tPrecision:  " + format_score(precision) + "\n");
    float recall = static_cast<float>(t.tp) / static_cast<float>(t.tp + t.fn);
    out.write("\tRecall:     " + format_score(recall) + "\n");
    float f1 = ((precision + precision) * recall) / (precision + recall);
    out.write("\tF1 Score:   " + format_score(f1) + "\n");
}

}  // namespace lindorf
