// Sorting feature values: ascending, -0.0 equal to 0.0, NaN after everything, equal values kept
// in their input order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "splitting/working_set.hpp"

namespace lindorf {

// An unsigned key that orders values as `<` does, with both zeros equal and every NaN last.
inline std::uint32_t sort_key(float value) {
    if (value != value) return 0xFFFFFFFFu;
    if (value == 0.0f) return 0x80000000u;
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    return (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
}

// Columns are sorted on the pool only when each holds enough rows to be worth a thread.
inline constexpr std::size_t parallel_sort_rows = 4096;

// Stable sort of the entries by sort_key of their values.
void sort_entries(std::span<Entry> entries);

// The same with working memory from the caller, grown to the entries' size when shorter: for
// sorting many columns in turn. A fresh buffer per column of ten million rows (80 MB) is mapped
// afresh by the system every time, and its page faults cost a tenth of the sort.
void sort_entries(std::span<Entry> entries, std::vector<Entry>& buffer);

// The same with a buffer of at least as many entries from the caller: for the many short
// columns of nodes that sort their own features, where a fresh buffer per call would cost more
// than the entries themselves.
void sort_short_entries(std::span<Entry> entries, std::span<Entry> buffer);

}  // namespace lindorf
