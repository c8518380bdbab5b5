// The train/test cut of a training call: the first nine tenths of the rows, by position and
// without shuffling, train the model; the rest are held out to score it. The parts are views
// into the converted input, so the cut copies nothing.
#pragma once

#include <cstddef>
#include <span>

#include "support/dataset.hpp"

namespace lindorf {

struct Holdout {
    MatrixView train_rows;
    std::span<const Label> train_labels;  // as many as train_rows
    MatrixView test_rows;
    std::span<const Label> test_labels;  // every label past the training ones
};

// trunc(n * 0.9) in double precision: 1 row gives 0, 5 give 4, 10 give 9.
std::size_t training_row_count(std::size_t n_rows);

// Labels beyond the last row all land among the test labels. Fewer labels than training rows is
// an internal failure ("range end index N out of range for slice of length M").
Holdout cut_holdout(MatrixView rows, std::span<const Label> labels);

}  // namespace lindorf
