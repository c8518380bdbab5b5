// Dense class indices: the distinct label values of a list, numbered in ascending label order,
// so that class counts are small arrays and visiting them in index order visits labels in
// ascending order.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "support/dataset.hpp"

namespace lindorf {

struct ClassIndex {
    std::vector<Label> labels;      // the distinct labels, ascending; class c is labels[c]
    std::vector<std::uint32_t> of;  // the class of each input label, in input order
};

ClassIndex index_classes(std::span<const Label> labels);

}  // namespace lindorf
