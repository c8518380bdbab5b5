"""Writes a classification data set for bench/tree_timing and times scikit-learn on it.

    python bench/tree_vs_sklearn.py ROWS COLS MAX_DEPTH OUT_DIR

Leaves OUT_DIR/x.f32 (row-major float32) and OUT_DIR/y.u32, and prints the time of
DecisionTreeClassifier(criterion="entropy") on the same data.
"""

import os
import sys
import time

import numpy as np
from sklearn.datasets import make_classification
from sklearn.tree import DecisionTreeClassifier


def main() -> None:
    rows, cols, max_depth = (int(v) for v in sys.argv[1:4])
    out_dir = sys.argv[4]
    os.makedirs(out_dir, exist_ok=True)
    x, y = make_classification(n_samples=rows, n_features=cols, n_informative=max(2, cols // 2),
                               n_redundant=0, random_state=0)
    x = np.ascontiguousarray(x, dtype=np.float32)
    y = y.astype(np.uint32)
    x.tofile(os.path.join(out_dir, "x.f32"))
    y.tofile(os.path.join(out_dir, "y.u32"))
    model = DecisionTreeClassifier(criterion="entropy", max_depth=max_depth, random_state=0)
    start = time.perf_counter()
    model.fit(x, y)
    elapsed = time.perf_counter() - start
    print(f"scikit-learn: {elapsed:.3f} s  ({model.tree_.node_count} nodes, depth "
          f"{model.get_depth()}, training accuracy {model.score(x, y):.4f})")


if __name__ == "__main__":
    main()
