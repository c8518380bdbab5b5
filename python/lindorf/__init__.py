"""lindorf: exact decision trees and random forests for NumPy data, with a C++ core.

The learner lives in the extension module ``lindorf._lindorf``; see its two functions
``train_tree_np`` and ``train_forest_np``. ``lindorf.DecisionTreeClassifier`` and
``lindorf.RandomForestClassifier`` are scikit-learn estimators on the same learner; they are
imported on first use, so that lindorf itself needs only NumPy.
"""

from lindorf._lindorf import train_forest_np, train_tree_np

__all__ = ["train_tree_np", "train_forest_np", "DecisionTreeClassifier", "RandomForestClassifier"]

_ESTIMATORS = ("DecisionTreeClassifier", "RandomForestClassifier")


def __getattr__(name):
    if name in _ESTIMATORS:
        from lindorf import estimators

        return getattr(estimators, name)
    raise AttributeError(f"module 'lindorf' has no attribute {name!r}")
