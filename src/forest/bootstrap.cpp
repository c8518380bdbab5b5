#include "forest/bootstrap.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "support/error.hpp"

namespace lindorf {

namespace {

void check_row_count(std::size_t n_rows) {
    LINDORF_CHECK(n_rows > 0, "cannot draw a bootstrap sample from an empty training set");
    LINDORF_CHECK(n_rows <= std::numeric_limits<std::uint32_t>::max(),
                  "cannot draw a bootstrap sample from " + std::to_string(n_rows) +
                      " rows: at most 4294967295 rows are supported");
}

}  // namespace

std::size_t sample_size(std::size_t n_rows) {
    constexpr std::size_t most_draws = std::numeric_limits<std::uint32_t>::max() - 1;
    return std::min(static_cast<std::size_t>(static_cast<float>(n_rows)), most_draws);
}

std::vector<std::uint32_t> bootstrap_sample(std::size_t n_rows, ChaChaRng& rng) {
    check_row_count(n_rows);
    const DrawRange range = draw_range(n_rows);
    const std::size_t m = sample_size(n_rows);
    std::vector<std::uint32_t> sample;
    sample.reserve(m);
    for (std::size_t k = 0; k < m; ++k)
        sample.push_back(static_cast<std::uint32_t>(draw_below(rng, range)));
    return sample;
}

std::vector<std::uint32_t> bootstrap_sample(std::size_t n_rows) {
    // Checked before a generator is keyed, so that a bad call never takes entropy.
    check_row_count(n_rows);
    ChaChaRng rng = keyed_rng();
    return bootstrap_sample(n_rows, rng);
}

}  // namespace lindorf
