// Grows a forest's trees as the estimators do, from two raw files (row-major float32 features and
// uint32 class indices):
//
//   weighted_forest_timing X_FILE Y_FILE ROWS COLS TREES [balanced | plain] [THREADS] [MAX_DEPTH]
//
// balanced (the default): RandomForestClassifier(class_weight="balanced", max_features="sqrt",
// criterion="gini"); plain: RandomForestClassifier(max_features=None), entropy, as
// bench/model_hash.py's labelsN forests. One thread and unlimited depth unless THREADS and
// MAX_DEPTH say otherwise. It prints the time, the trees' node count and a digest: small enough
// to run under an instruction counter (valgrind --tool=callgrind) or a profiler.
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "forest/chunk.hpp"
#include "raw_file.hpp"
#include "support/parallel.hpp"

int main(int argc, char** argv) {
    const std::string mode = argc > 6 ? argv[6] : "balanced";
    if (argc < 6 || argc > 9 || (mode != "balanced" && mode != "plain")) {
        std::fprintf(
            stderr,
            "usage: %s X_FILE Y_FILE ROWS COLS TREES [balanced|plain] [THREADS] [MAX_DEPTH]\n",
            argv[0]);
        return 2;
    }
    const bool balanced = mode == "balanced";
    const unsigned threads =
        argc > 7 ? static_cast<unsigned>(std::strtoul(argv[7], nullptr, 10)) : 1;
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
    std::vector<double> weights(balanced ? n_rows : 0);
    for (std::size_t r = 0; r < weights.size(); ++r)
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
    if (balanced) {
        rules.tree.impurity = lindorf::Impurity::gini;
        rules.tree.max_features =
            static_cast<std::uint32_t>(std::sqrt(static_cast<double>(n_cols)));
    }
    rules.tree.record_stats = true;
    if (argc > 8)
        rules.tree.max_depth = static_cast<std::uint32_t>(std::strtoul(argv[8], nullptr, 10));
    rules.key[0] = 7;
    lindorf::WorkerPool pool(threads);
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
    std::printf("%u %s trees, %u thread(s): %.3f s, %zu nodes, digest %016llx\n", n_trees,
                mode.c_str(), threads, seconds, nodes, static_cast<unsigned long long>(digest));
    return 0;
}
