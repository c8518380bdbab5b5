// Grows a class-weighted forest's trees on one thread, as RandomForestClassifier(class_weight=
// "balanced", max_features="sqrt") does, from two raw files (row-major float32 features and
// uint32 class indices):
//
//   weighted_forest_timing X_FILE Y_FILE ROWS COLS TREES
//
// It prints the time and the trees' node count: small enough to run under an instruction counter
// (valgrind --tool=callgrind) or a profiler.
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "forest/chunk.hpp"
#include "raw_file.hpp"
#include "support/parallel.hpp"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s X_FILE Y_FILE ROWS COLS TREES\n", argv[0]);
        return 2;
    }
    const std::size_t n_rows = std::strtoull(argv[3], nullptr, 10);
    const std::size_t n_cols = std::strtoull(argv[4], nullptr, 10);
    const auto n_trees = static_cast<std::uint32_t>(std::strtoul(argv[5], nullptr, 10));
    const std::vector<float> x = read_raw<float>(argv[1], n_rows * n_cols);
    const std::vector<lindorf::Label> y = read_raw<lindorf::Label>(argv[2], n_rows);
    std::uint32_t n_classes = 0;
    for (lindorf::Label label : y) n_classes = std::max<std::uint32_t>(n_classes, label + 1);
    // "balanced": rows / (classes * rows of the class).
    std::vector<double> per_class(n_classes, 0.0);
    for (lindorf::Label label : y) per_class[label] += 1.0;
    std::vector<double> weights(n_rows);
    for (std::size_t r = 0; r < n_rows; ++r)
        weights[r] = static_cast<double>(n_rows) / (n_classes * per_class[y[r]]);
    lindorf::WeightedData data{.rows = {x.data(), n_rows, n_cols},
                               .labels = y,
                               .weights = {},
                               .n_classes = n_classes,
                               .real_weights = weights};
    lindorf::ForestRules rules;
    // As the estimators set them: rows, not weight, bound the nodes.
    rules.tree.min_split = 0.0;
    rules.tree.min_leaf = 0.0;
    rules.tree.min_split_rows = 2;
    rules.tree.min_leaf_rows = 1;
    rules.tree.impurity = lindorf::Impurity::gini;
    rules.tree.max_features = static_cast<std::uint32_t>(std::sqrt(static_cast<double>(n_cols)));
    rules.tree.record_stats = true;
    rules.key[0] = 7;
    lindorf::WorkerPool pool(1);
    const auto start = std::chrono::steady_clock::now();
    const lindorf::ForestChunk chunk = lindorf::grow_forest_chunk(data, rules, 0, n_trees, &pool);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // A digest of every node and leaf value: a change that keeps the trees keeps it.
    std::size_t nodes = 0;
    std::uint64_t digest = 0xcbf29ce484222325u;
    auto mix = [&](const void* data, std::size_t size) {
        for (std::size_t k = 0; k < size; ++k)
            digest = (digest ^ static_cast<const unsigned char*>(data)[k]) * 0x100000001b3u;
    };
    for (const lindorf::Tree& tree : chunk.trees) {
        nodes += tree.nodes.size();
        for (const lindorf::Node& node : tree.nodes) {
            const std::uint32_t fields[] = {node.is_leaf, node.nan_left, node.feature,
                                            std::bit_cast<std::uint32_t>(node.threshold),
                                            node.prediction, node.left, node.right};
            mix(fields, sizeof fields);
        }
        for (const lindorf::LeafValue& value : tree.values) mix(&value.value, sizeof value.value);
    }
    std::printf("%u weighted trees, one thread: %.3f s, %zu nodes, digest %016llx\n", n_trees,
                seconds, nodes, static_cast<unsigned long long>(digest));
    return 0;
}
