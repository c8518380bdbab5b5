// Reading the general path's rows: each coded row's weight in units and its class slot in each
// output, for one layout fixed at compile time so that loops over entries carry no test of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "splitting/working_set.hpp"

namespace lindorf {

// One output: the class comes from the entry, as on the exact path, the weight from the table
// by row or, `ByCode`, from the small one by the coded row's low bits (GeneralRows::by_code),
// which stays in the nearest cache where the rows are read at random.
template <bool Packed, bool ByCode = false>
struct OneOutputRows {
    explicit OneOutputRows(const WorkingSet& set)
        : rows(set),
          units(ByCode ? set.general.by_code.data() : set.general.units.data()),
          shift(set.coding.row_shift()),
          low((std::uint32_t{1} << shift) - 1) {}

    std::uint64_t weight(std::uint32_t coded) const {
        if constexpr (ByCode)
            return units[coded & low];
        else
            return units[coded >> shift];
    }
    // Asks for a row's weight ahead of its use.
    void fetch(std::uint32_t coded) const {
        if constexpr (!ByCode) __builtin_prefetch(units + (coded >> shift));
    }
    template <class Add>
    void each_slot(std::uint32_t coded, Add&& add) const {
        add(rows.cls(coded));
    }

    RowReader<Packed> rows;
    const std::uint64_t* units;
    unsigned shift;
    std::uint32_t low;  // the class and draw bits of a coded row
};

// Several outputs: classes and weights from the tables.
struct ManyOutputRows {
    explicit ManyOutputRows(const WorkingSet& set)
        : units(set.general.units.data()),
          classes(set.general.classes.data()),
          n_outputs(set.general.n_outputs),
          shift(set.coding.row_shift()) {}

    std::uint64_t weight(std::uint32_t coded) const { return units[coded >> shift]; }
    void fetch(std::uint32_t coded) const { __builtin_prefetch(units + (coded >> shift)); }
    template <class Add>
    void each_slot(std::uint32_t coded, Add&& add) const {
        const std::uint32_t* own = classes + std::size_t{coded >> shift} * n_outputs;
        for (std::size_t o = 0; o < n_outputs; ++o) add(own[o]);
    }

    const std::uint64_t* units;
    const std::uint32_t* classes;
    std::size_t n_outputs;
    unsigned shift;
};

// Calls body(rows) with the reader of the set's layout.
template <class Body>
decltype(auto) with_general_rows(const WorkingSet& set, Body&& body) {
    if (set.general.n_outputs > 1) return body(ManyOutputRows(set));
    if (set.coding.packed && !set.general.by_code.empty())
        return body(OneOutputRows<true, true>(set));
    if (set.coding.packed) return body(OneOutputRows<true>(set));
    return body(OneOutputRows<false>(set));
}

}  // namespace lindorf
