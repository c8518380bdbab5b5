#include "forest/vote.hpp"

#include <algorithm>
#include <vector>

#include "forest/forest.hpp"
#include "support/error.hpp"
#include "support/random.hpp"

namespace lindorf {

namespace {

// A bijection on 64-bit values that spreads every input bit over the whole output.
std::uint64_t mix64(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Rows voted on together: each tree predicts a block of rows at a time, so only this many rows'
// votes are held at once, however many rows there are.
constexpr std::size_t block_rows = 256;

}  // namespace

std::uint64_t fresh_vote_key() {
    return keyed_rng().next_u64();
}

std::uint64_t row_vote_key(std::uint64_t call_key, std::size_t row) {
    return mix64(call_key + 0x9e3779b97f4a7c15ULL * static_cast<std::uint64_t>(row));
}

std::uint64_t tie_rank(std::uint64_t row_key, Label label) {
    // An odd multiplier keeps distinct labels distinct, and mix64 is one-to-one.
    return mix64(row_key + 0xd6e8feb86659fd93ULL * label);
}

Label majority(std::span<Label> votes, std::uint64_t row_key) {
    LINDORF_CHECK(!votes.empty(), "cannot take the majority of no votes");
    std::sort(votes.begin(), votes.end());
    Label best = votes[0];
    std::size_t best_count = 0;
    std::uint64_t best_rank = 0;
    for (std::size_t begin = 0; begin < votes.size();) {
        std::size_t end = begin + 1;
        while (end < votes.size() && votes[end] == votes[begin]) ++end;
        const std::size_t count = end - begin;
        const std::uint64_t rank = tie_rank(row_key, votes[begin]);
        if (count > best_count || (count == best_count && rank > best_rank)) {
            best = votes[begin];
            best_count = count;
            best_rank = rank;
        }
        begin = end;
    }
    return best;
}

Label mode(std::span<const Label> votes) {
    if (votes.empty()) return 0;
    std::vector<Label> scratch(votes.begin(), votes.end());
    return majority(scratch, row_vote_key(fresh_vote_key(), 0));
}

Labels Forest::predict(MatrixView rows) const {
    Labels out;
    if (trees.empty() || rows.n_rows == 0) return out;
    const std::uint64_t call_key = fresh_vote_key();
    out.reserve(rows.n_rows);
    std::vector<Labels> tree_votes(trees.size());
    std::vector<Label> row_votes(trees.size());
    for (std::size_t begin = 0; begin < rows.n_rows; begin += block_rows) {
        const std::size_t end = std::min(rows.n_rows, begin + block_rows);
        const MatrixView block = rows.rows(begin, end);
        for (std::size_t t = 0; t < trees.size(); ++t)
            tree_votes[t] = lindorf::predict(block, trees[t]);
        for (std::size_t j = 0; j < end - begin; ++j) {
            for (std::size_t t = 0; t < trees.size(); ++t) row_votes[t] = tree_votes[t][j];
            out.push_back(majority(row_votes, row_vote_key(call_key, begin + j)));
        }
    }
    return out;
}

}  // namespace lindorf
