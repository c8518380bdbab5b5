"""lindorf: exact decision trees and random forests for NumPy data, with a C++ core.

The learner lives in the extension module ``lindorf._lindorf``; see its two functions
``train_tree_np`` and ``train_forest_np``.
"""

from lindorf._lindorf import train_forest_np, train_tree_np

__all__ = ["train_tree_np", "train_forest_np"]
