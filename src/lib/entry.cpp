#include "lib/entry.hpp"

#include <string>

#include "forest/forest.hpp"
#include "io/holdout.hpp"
#include "io/numpy_input.hpp"
#include "metrics/report.hpp"
#include "support/output.hpp"
#include "support/parallel.hpp"
#include "tree/grow.hpp"
#include "tree/tree.hpp"

namespace lindorf {

// The interpreter lock stays held throughout: the learner's threads never touch a Python
// object, and the arrays are copied before any of them takes work of this call. The pool is a
// handle on the process's shared threads, capped at the usable cores.

void train_tree(PyObject* features, PyObject* labels, std::uint32_t max_depth) {
    FeatureMatrix rows = numpy_to_x(features);
    Labels all_labels = numpy_to_y(labels);
    Holdout parts = cut_holdout(rows.view(), all_labels);
    WorkerPool pool;
    Tree tree = grow_tree_(parts.train_rows, parts.train_labels, max_depth, 0, &pool);
    stdout_writer().write("Tree depth: " + std::to_string(depth(tree)) + "\n");
    Labels predicted = predict(parts.test_rows, tree);
    classification_report(predicted, parts.test_labels, stdout_writer());
}

void train_forest(PyObject* features, PyObject* labels, std::uint32_t max_depth,
                  std::uint32_t n_trees) {
    FeatureMatrix rows = numpy_to_x(features);
    Labels all_labels = numpy_to_y(labels);
    Holdout parts = cut_holdout(rows.view(), all_labels);
    WorkerPool pool;
    Forest forest = grow_forest(parts.train_rows, parts.train_labels, max_depth, n_trees, &pool);
    Labels predicted = forest.predict(parts.test_rows);
    classification_report(predicted, parts.test_labels, stdout_writer());
}

}  // namespace lindorf
