"""lindorf: exact decision trees and random forests for NumPy data, with a C++ core.

The learner lives in the extension module ``lindorf._lindorf``; see its two functions
``train_tree_np`` and ``train_forest_np``. The scikit-learn estimators live where scikit-learn
keeps its own: ``lindorf.tree`` and ``lindorf.ensemble``; the most used ones are also here at the
top level, with ``to_onnx`` (which needs the onnx package). They are imported on first use, so
that lindorf itself needs only NumPy.
"""

from lindorf._lindorf import train_forest_np, train_tree_np

_ESTIMATORS = {"DecisionTreeClassifier": "lindorf.tree",
               "ExtraTreeClassifier": "lindorf.tree",
               "RandomForestClassifier": "lindorf.ensemble",
               "ExtraTreesClassifier": "lindorf.ensemble",
               "DecisionTreeRegressor": "lindorf.tree",
               "ExtraTreeRegressor": "lindorf.tree",
               "RandomForestRegressor": "lindorf.ensemble",
               "ExtraTreesRegressor": "lindorf.ensemble",
               "to_onnx": "lindorf._onnx"}

__all__ = ["train_tree_np", "train_forest_np", *_ESTIMATORS]


def __getattr__(name):
    if name in _ESTIMATORS:
        import importlib

        return getattr(importlib.import_module(_ESTIMATORS[name]), name)
    raise AttributeError(f"module 'lindorf' has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(__all__))
