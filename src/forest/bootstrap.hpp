// Bootstrap samples: which rows of the training set one tree is grown from, drawn uniformly with
// replacement. A sample is a list of row indices in draw order; rows are never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/random.hpp"

namespace lindorf {

// Draws in a sample of n rows: n rounded through single precision, so equal to n up to 2^24 and
// the nearest float above that (2^24 + 1 rows give 2^24 draws, 2^24 + 3 rows give 2^24 + 4),
// but never more than 2^32 - 2, so that a tree's draw count, its nodes' weights and its draw
// positions all fit in 32 bits (rounding would make 2^32 of anything from 2^32 - 128 up).
std::size_t sample_size(std::size_t n_rows);

// sample_size(n_rows) indices, each uniform in [0, n_rows), in draw order. No rows, or more rows
// than 32-bit indices can name, is an internal failure raised before any draw.
std::vector<std::uint32_t> bootstrap_sample(std::size_t n_rows, ChaChaRng& rng);

// The same, on a generator keyed afresh for this sample.
std::vector<std::uint32_t> bootstrap_sample(std::size_t n_rows);

}  // namespace lindorf
