"""Forests of decision trees, as ``sklearn.ensemble`` offers them.

The estimators need scikit-learn and are imported on first use, so that what needs NumPy alone
stays usable without it.
"""

_ESTIMATORS = {"RandomForestClassifier": "lindorf.ensemble._forest",
               "ExtraTreesClassifier": "lindorf.ensemble._forest",
               "RandomForestRegressor": "lindorf.ensemble._forest",
               "ExtraTreesRegressor": "lindorf.ensemble._forest"}

__all__ = sorted(_ESTIMATORS)


def __getattr__(name):
    if name in _ESTIMATORS:
        import importlib

        return getattr(importlib.import_module(_ESTIMATORS[name]), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(__all__))
