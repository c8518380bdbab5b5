// The train/test cut: nine tenths by position for training, the rest held out, as views.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "io/holdout.hpp"
#include "support/error.hpp"

namespace lindorf {
namespace {

TEST(TrainingRowCount, KnownCounts) {
    struct Case {
        std::size_t rows, expected;
    };
    for (Case c : {Case{0, 0}, Case{1, 0}, Case{2, 1}, Case{5, 4}, Case{9, 8}, Case{10, 9},
                   Case{11, 9}, Case{19, 17}, Case{20, 18}, Case{100, 90}, Case{569, 512}}) {
        EXPECT_EQ(training_row_count(c.rows), c.expected) << c.rows << " rows";
    }
}

TEST(TrainingRowCount, IsNineTenthsRoundedDown) {
    // The double nearest 0.9 lies above 0.9 by about 2e-17, so for counts this small the
    // product never falls below a whole 9n/10 and never climbs past the next one.
    for (std::size_t n = 0; n <= 200000; ++n) {
        ASSERT_EQ(training_row_count(n), 9 * n / 10) << n << " rows";
    }
}

struct Data {
    FeatureMatrix rows;
    Labels labels;
};

// n rows of two features (i, -i) and `n_labels` labels 100 + i.
Data make_data(std::size_t n, std::size_t n_labels) {
    Data d{{n, 2, {}}, Labels(n_labels)};
    for (std::size_t i = 0; i < n; ++i) {
        d.rows.values.push_back(static_cast<float>(i));
        d.rows.values.push_back(-static_cast<float>(i));
    }
    std::iota(d.labels.begin(), d.labels.end(), Label{100});
    return d;
}

std::vector<Label> as_vector(std::span<const Label> s) {
    return {s.begin(), s.end()};
}

TEST(CutHoldout, TenRowsTrainOnNineAndHoldOutTheLast) {
    Data d = make_data(10, 10);
    Holdout h = cut_holdout(d.rows.view(), d.labels);
    EXPECT_EQ(h.train_rows.n_rows, 9u);
    EXPECT_EQ(h.train_rows.n_cols, 2u);
    EXPECT_EQ(h.train_rows.data, d.rows.values.data());  // views, not copies
    EXPECT_EQ(h.train_labels.data(), d.labels.data());
    EXPECT_EQ(h.train_labels.size(), 9u);
    ASSERT_EQ(h.test_rows.n_rows, 1u);
    EXPECT_EQ(h.test_rows.at(0, 0), 9.0f);
    EXPECT_EQ(h.test_rows.at(0, 1), -9.0f);
    EXPECT_EQ(as_vector(h.test_labels), (std::vector<Label>{109}));
}

TEST(CutHoldout, ExtraLabelsAllLandAmongTheTestLabels) {
    Data d = make_data(10, 12);
    Holdout h = cut_holdout(d.rows.view(), d.labels);
    EXPECT_EQ(h.train_labels.size(), 9u);
    EXPECT_EQ(h.test_rows.n_rows, 1u);
    EXPECT_EQ(as_vector(h.test_labels), (std::vector<Label>{109, 110, 111}));
}

TEST(CutHoldout, ExactlyEnoughLabelsLeavesNoTestLabels) {
    Data d = make_data(10, 9);
    Holdout h = cut_holdout(d.rows.view(), d.labels);
    EXPECT_EQ(h.train_labels.size(), 9u);
    EXPECT_EQ(h.test_rows.n_rows, 1u);
    EXPECT_TRUE(h.test_labels.empty());
}

TEST(CutHoldout, SingleRowTrainsOnNothing) {
    Data d = make_data(1, 1);
    Holdout h = cut_holdout(d.rows.view(), d.labels);
    EXPECT_EQ(h.train_rows.n_rows, 0u);
    EXPECT_TRUE(h.train_labels.empty());
    EXPECT_EQ(h.test_rows.n_rows, 1u);
    EXPECT_EQ(h.test_rows.at(0, 0), 0.0f);
    EXPECT_EQ(as_vector(h.test_labels), (std::vector<Label>{100}));
}

TEST(CutHoldout, TooFewLabelsForTheTrainingRows) {
    struct Case {
        std::size_t rows, labels;
        const char* message;
    };
    for (Case c : {Case{10, 8, "range end index 9 out of range for slice of length 8"},
                   Case{100, 0, "range end index 90 out of range for slice of length 0"},
                   Case{2, 0, "range end index 1 out of range for slice of length 0"}}) {
        Data d = make_data(c.rows, c.labels);
        try {
            (void)cut_holdout(d.rows.view(), d.labels);
            ADD_FAILURE() << "expected a failure for " << c.rows << " rows";
        } catch (const InternalError& error) {
            EXPECT_STREQ(error.what(), c.message);
        }
    }
}

}  // namespace
}  // namespace lindorf
