#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "metrics/report.hpp"

namespace lindorf {
namespace {

std::string report_text(const Labels& predicted, const Labels& actual) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    {
        LineWriter out(::fileno(file));
        classification_report(predicted, actual, out);
    }
    std::string text(4096, '\0');
    text.resize(static_cast<std::size_t>(::pread(::fileno(file), text.data(), text.size(), 0)));
    std::fclose(file);
    return text;
}

TEST(ClassificationReport, PrintsTheFiveLines) {
    struct Case {
        Labels predicted, actual;
        const char* scores[4];  // accuracy, precision, recall, F1
    };
    const Case cases[] = {
        // tp 2, fp 1, fn 0: precision 2/3, recall 1, F1 = (4/3 * 1) / (5/3).
        {{1, 0, 1, 1}, {1, 0, 0, 1}, {"0.75", "0.6666667", "1", "0.8"}},
        {{1, 1}, {1, 1}, {"1", "1", "1", "1"}},
        // An empty forest predicts nothing: no match out of three labels, every ratio 0/0.
        {{}, {3, 5, 7}, {"0", "NaN", "NaN", "NaN"}},
        {{0, 0}, {0, 0}, {"1", "NaN", "NaN", "NaN"}},
        // Only the overlapping position counts, but accuracy divides by every true label.
        {{0}, {0, 1, 1}, {"0.33333334", "NaN", "NaN", "NaN"}},
        // A prediction of 1 against a true 2 is neither a false positive nor a true one.
        {{2, 1}, {2, 2}, {"0.5", "NaN", "NaN", "NaN"}},
        {{}, {}, {"NaN", "NaN", "NaN", "NaN"}},
        // tp 0, fp 1, fn 1: precision and recall 0, F1 = 0/0.
        {{1, 0}, {0, 1}, {"0", "0", "0", "NaN"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(report_text(c.predicted, c.actual),
                  std::string("Classification Report:\n\tAccuracy:   ") + c.scores[0] +
                      "\n\tPrecision:  " + c.scores[1] + "\n\tRecall:     " + c.scores[2] +
                      "\n\tF1 Score:   " + c.scores[3] + "\n");
    }
}

TEST(FormatScore, ShortestRoundTripInPositionalNotation) {
    EXPECT_EQ(format_score(0.1f), "0.1");
    EXPECT_EQ(format_score(0.0f), "0");
    EXPECT_EQ(format_score(1e-7f), "0.0000001");
    EXPECT_EQ(format_score(-std::numeric_limits<float>::quiet_NaN()), "NaN");
    for (int num = 0; num <= 97; ++num) {
        float value = static_cast<float>(num) / 97.0f;
        std::string text = format_score(value);
        EXPECT_EQ(text.find('e'), std::string::npos) << text;
        EXPECT_EQ(std::strtof(text.c_str(), nullptr), value) << text;
    }
}

}  // namespace
}  // namespace lindorf
