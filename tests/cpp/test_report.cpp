#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "metrics/report.hpp"

namespace lindorf {
namespace {

std::string report_text(const Labels& predicted, const Labels& actual) {
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    {
        LineWriter out(fileno(file));
        classification_report(predicted, actual, out);
    }
    std::string text;
    std::rewind(file);
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) text.push_back(char(c));
    std::fclose(file);
    return text;
}

std::string lines(const char* accuracy, const char* precision, const char* recall,
                  const char* f1) {
    return std::string("Classification Report:\n") + "\tAccuracy:   " + accuracy + "\n" +
           "\tPrecision:  " + precision + "\n" + "\tRecall:     " + recall + "\n" +
           "\tF1 Score:   " + f1 + "\n";
}

struct ReportCase {
    Labels predicted;
    Labels actual;
    std::string expected;
};

class ReportTest : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ReportTest, PrintsTheFiveLines) {
    EXPECT_EQ(report_text(GetParam().predicted, GetParam().actual), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReportTest,
    ::testing::Values(
        // tp 2, fp 1, fn 0: precision 2/3, recall 1, F1 = (4/3 * 1) / (5/3).
        ReportCase{{1, 0, 1, 1}, {1, 0, 0, 1}, lines("0.75", "0.6666667", "1", "0.8")},
        ReportCase{{1, 1}, {1, 1}, lines("1", "1", "1", "1")},
        // An empty forest predicts nothing: no match out of three labels, every ratio 0/0.
        ReportCase{{}, {3, 5, 7}, lines("0", "NaN", "NaN", "NaN")},
        ReportCase{{0, 0}, {0, 0}, lines("1", "NaN", "NaN", "NaN")},
        // Only the overlapping position counts, but accuracy divides by every true label.
        ReportCase{{0}, {0, 1, 1}, lines("0.33333334", "NaN", "NaN", "NaN")},
        // A prediction of 1 against a true 2 is neither a false positive nor a true one.
        ReportCase{{2, 1}, {2, 2}, lines("0.5", "NaN", "NaN", "NaN")},
        ReportCase{{}, {}, lines("NaN", "NaN", "NaN", "NaN")},
        // tp 0, fp 1, fn 1: precision and recall 0, F1 = 0/0.
        ReportCase{{1, 0}, {0, 1}, lines("0", "0", "0", "NaN")}));

TEST(FormatScore, ShortestRoundTripInPositionalNotation) {
    EXPECT_EQ(format_score(0.75f), "0.75");
    EXPECT_EQ(format_score(2.0f / 3.0f), "0.6666667");
    EXPECT_EQ(format_score(1.0f / 3.0f), "0.33333334");
    EXPECT_EQ(format_score(0.1f), "0.1");
    EXPECT_EQ(format_score(1.0f), "1");
    EXPECT_EQ(format_score(0.0f), "0");
    EXPECT_EQ(format_score(1e-7f), "0.0000001");
    EXPECT_EQ(format_score(std::numeric_limits<float>::quiet_NaN()), "NaN");
    EXPECT_EQ(format_score(-std::numeric_limits<float>::quiet_NaN()), "NaN");
}

TEST(FormatScore, EveryPrintedScoreReadsBackExactly) {
    for (int num = 0; num <= 97; ++num) {
        float value = static_cast<float>(num) / 97.0f;
        std::string text = format_score(value);
        EXPECT_EQ(text.find('e'), std::string::npos) << text;
        EXPECT_EQ(std::strtof(text.c_str(), nullptr), value) << text;
    }
}

}  // namespace
}  // namespace lindorf
