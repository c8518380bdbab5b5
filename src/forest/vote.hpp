// Counting votes. Ties between the most-voted labels are broken by a keyed ranking of the labels:
// each call takes a fresh random key, so which tied label wins follows neither the label values
// nor the order of the trees, and differs between rows and between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "support/dataset.hpp"

namespace lindorf {

// A fresh key from a newly keyed generator.
std::uint64_t fresh_vote_key();

// The key that ranks tied labels in row `row` of a call keyed with `call_key`.
std::uint64_t row_vote_key(std::uint64_t call_key, std::size_t row);

// The rank of `label` under `row_key`: distinct labels always get distinct ranks.
std::uint64_t tie_rank(std::uint64_t row_key, Label label);

// A label with the most votes; among tied labels, the one of highest tie_rank. `votes` must not be
// empty; it is reordered.
Label majority(std::span<Label> votes, std::uint64_t row_key);

}  // namespace lindorf
