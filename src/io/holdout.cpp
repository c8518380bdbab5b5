#include "io/holdout.hpp"

#include <string>

#include "support/error.hpp"

namespace lindorf {

std::size_t training_row_count(std::size_t n_rows) {
    // The constant is the double nearest 0.9 (slightly above it), so exact products such as
    // 10 * 0.9 never round below the whole number.
    constexpr double training_share = 0.9;
    return static_cast<std::size_t>(static_cast<double>(n_rows) * training_share);
}

Holdout cut_holdout(MatrixView rows, std::span<const Label> labels) {
    std::size_t n_train = training_row_count(rows.n_rows);
    LINDORF_CHECK(n_train <= labels.size(), "range end index " + std::to_string(n_train) +
                                                " out of range for slice of length " +
                                                std::to_string(labels.size()));
    return Holdout{
        .train_rows = rows.rows(0, n_train),
        .train_labels = labels.first(n_train),
        .test_rows = rows.rows(n_train, rows.n_rows),
        .test_labels = labels.subspan(n_train),
    };
}

}  // namespace lindorf
