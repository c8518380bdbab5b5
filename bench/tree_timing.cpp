// Times tree growth on a data set read from two raw files (row-major float32 features and
// uint32 labels, as bench/tree_vs_sklearn.py writes them):
//
//   tree_timing X_FILE Y_FILE ROWS COLS MAX_DEPTH [all | tree | tree2 | samples]
//
// It prints one line per configuration: a single tree on one and on two threads, and two trees
// on bootstrap-like samples grown at once from one shared feature order, as a forest would.
// `tree` runs only the single tree on one thread, `tree2` only on two, `samples` only the
// sampled trees: handy under a profiler or an instruction counter.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "raw_file.hpp"
#include "support/dataset.hpp"
#include "support/parallel.hpp"
#include "tree/grow.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double accuracy(const lindorf::Tree& tree, lindorf::MatrixView rows, const lindorf::Labels& y) {
    lindorf::Labels predicted = lindorf::predict(rows, tree);
    std::size_t right = 0;
    for (std::size_t i = 0; i < y.size(); ++i) right += predicted[i] == y[i];
    return static_cast<double>(right) / static_cast<double>(y.size());
}

void time_single_tree(lindorf::MatrixView rows, const lindorf::Labels& y, std::uint32_t max_depth,
                      unsigned threads) {
    lindorf::WorkerPool pool(threads);
    auto start = Clock::now();
    lindorf::Tree tree = lindorf::grow_tree_(rows, y, max_depth, 0, &pool);
    double elapsed = seconds_since(start);
    std::printf(
        "single tree, %u thread(s): %.3f s  (%zu nodes, depth %u, training accuracy %.4f)\n",
        threads, elapsed, tree.nodes.size(), lindorf::depth(tree), accuracy(tree, rows, y));
}

void time_two_sampled_trees(lindorf::MatrixView rows, const lindorf::Labels& y,
                            std::uint32_t max_depth) {
    lindorf::WorkerPool pool(2);
    auto start = Clock::now();
    lindorf::FeatureOrder order = lindorf::sort_features(rows, &pool);
    double sorted = seconds_since(start);
    std::vector<std::vector<std::uint32_t>> samples(2);
    std::mt19937_64 rng(1);
    for (auto& sample : samples) {
        sample.resize(rows.n_rows);
        for (auto& row : sample) row = static_cast<std::uint32_t>(rng() % rows.n_rows);
    }
    std::vector<lindorf::Tree> trees(2);
    auto grow_start = Clock::now();
    pool.parallel_for(2, [&](std::size_t t) {
        trees[t] = lindorf::grow_tree_on_sample(rows, y, order, samples[t], max_depth, &pool);
    });
    std::printf("feature order: %.3f s; two sampled trees at once: %.3f s\n", sorted,
                seconds_since(grow_start));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 7 ? argv[6] : "all";
    if ((argc != 6 && argc != 7) ||
        (mode != "all" && mode != "tree" && mode != "tree2" && mode != "samples")) {
        std::fprintf(stderr, "usage: %s X_FILE Y_FILE ROWS COLS MAX_DEPTH [all|tree|tree2|samples]\n",
                     argv[0]);
        return 2;
    }
    std::size_t n_rows = std::stoul(argv[3]);
    std::size_t n_cols = std::stoul(argv[4]);
    auto max_depth = static_cast<std::uint32_t>(std::stoul(argv[5]));
    std::vector<float> x = read_raw<float>(argv[1], n_rows * n_cols);
    lindorf::Labels y = read_raw<lindorf::Label>(argv[2], n_rows);
    lindorf::MatrixView rows{x.data(), n_rows, n_cols};
    if (mode == "all" || mode == "tree") time_single_tree(rows, y, max_depth, 1);
    if (mode == "all" || mode == "tree2") time_single_tree(rows, y, max_depth, 2);
    if (mode == "all" || mode == "samples") time_two_sampled_trees(rows, y, max_depth);
    return 0;
}
